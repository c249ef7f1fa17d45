#include "package_desktop_files.h"

#include "apt_utils/aptcache.h"
#include "apt_utils/dpkg_query.h"
#include "apt_utils/kapla_cli.h"
#include "common/daemon_log.h"
#include "utils/package_name_validator.h"
#include "utils/utils.h"

#include <bdesktopentry.h>

#include <QFileInfo>
#include <QJsonArray>
#include <QMetaEnum>

using Bexa::Core::BDesktopEntry;

namespace AppStore {

namespace {

constexpr int kDebianMode = 1;
constexpr int kKaplaMode = 2;
constexpr int kProbeTimeoutMs = 30000;
const QString kKaplaEntries = QStringLiteral("/var/lib/kapla/entries/share/applications");

// "kapla-cli --json content": the application's exported desktop files.
bool kaplaDesktopFiles(const QString &name, QStringList &files)
{
    const ProcessResult result = KaplaCli::query(QStringLiteral("content"), name);
    if (!result.succeeded())
        return false;
    QJsonObject content;
    QJsonParseError error{};
    if (!KaplaCli::objectOf(result, content, &error)) {
        qCWarning(daemonLogCategory)
            << "Parse kapla-cli content output error:" << error.errorString()
            << result.standardOutput;
        return false;
    }
    const QJsonArray entries = content.value(QLatin1String("content")).toArray();
    for (const QJsonValue &entry : entries) {
        const QString path = entry.toString().trimmed();
        if (path.startsWith(kKaplaEntries) && path.endsWith(QLatin1String(".desktop")))
            files.append(path);
    }
    return true;
}

// "dpkg-query --listfiles": one installed path per line.
bool debianFileList(const QString &name, QStringList &paths)
{
    const ProcessResult result = DpkgQuery::runForPackage({QStringLiteral("--listfiles")}, name);
    if (!result.succeeded())
        return false;
    paths = result.outputText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return true;
}

bool hasDesktopSuffix(const QString &path)
{
    return QFileInfo(path).suffix() == QLatin1String("desktop");
}

// The program an entry's Exec key starts, "" when the entry cannot be read.
QString execProgram(const QString &desktopFile)
{
    const BDesktopEntry entry(desktopFile);
    const BDesktopEntry::Status status = entry.status();
    if (status == BDesktopEntry::AccessError || status == BDesktopEntry::FormatError) {
        qCWarning(daemonLogCategory).noquote()
            << QStringLiteral("BDesktopEntry %1 Status Error:").arg(desktopFile)
            << QMetaEnum::fromType<BDesktopEntry::Status>().valueToKey(status);
        return QString();
    }
    if (status != BDesktopEntry::NoError)
        qCWarning(daemonLogCategory).noquote()
            << QStringLiteral("BDesktopEntry %1 Unknown Status:").arg(desktopFile) << int(status);
    if (!entry.contains(QStringLiteral("Exec")))
        return QString();
    QString exec = entry.stringValue(QStringLiteral("Exec"));
    BDesktopEntry::unescape(exec, false);
    return exec.section(QLatin1Char(' '), 0, 0);
}

} // namespace

bool PackageDesktopFiles::getPackageDesktopFiles(const QString &name, QStringList &desktopFiles,
                                                 int installMode)
{
    QStringList kapla;
    const bool kaplaOk = kaplaDesktopFiles(name, kapla);
    if (installMode == kKaplaMode) {
        desktopFiles = kapla;
        return kaplaOk;
    }

    QStringList debian;
    QStringList paths;
    const bool debOk = debianFileList(name, paths);
    if (debOk) {
        debian = DpkgQuery::applicationDesktopFiles(paths);
        AptCache::removeRepeatedDesktops(debian);
    }
    if (installMode == kDebianMode) {
        desktopFiles = debian;
        return debOk;
    }
    desktopFiles = kaplaOk ? kapla : debian;
    return debOk || kaplaOk;
}

bool PackageDesktopFiles::getDebDesktopFiles(const QString &name, QStringList &desktopFiles,
                                             int installMode)
{
    QStringList kapla;
    const bool kaplaOk = getPackageDesktopFiles(name, kapla, kKaplaMode);
    if (installMode == kKaplaMode) {
        desktopFiles = kapla;
        return kaplaOk;
    }

    QStringList names;
    QStringList paths;
    const bool debOk = debianFileList(name, paths);
    for (const QString &path : std::as_const(paths)) {
        const QString trimmed = path.trimmed();
        if (!hasDesktopSuffix(trimmed))
            continue;
        const QString fileName = trimmed.section(QLatin1Char('/'), -1);
        if (!names.contains(fileName))
            names.append(fileName);
    }
    if (installMode == kDebianMode) {
        desktopFiles = names;
        return debOk;
    }
    desktopFiles = kaplaOk ? kapla : names;
    return debOk || kaplaOk;
}

bool PackageDesktopFiles::isDesktopExecExists(const QString &desktopFile)
{
    QString exec = Utils::getDesktopExecInfo(desktopFile.trimmed());
    for (const QLatin1String code :
         {QLatin1String("%f"), QLatin1String("%F"), QLatin1String("%u"), QLatin1String("%U")}) {
        if (exec.endsWith(code))
            exec = exec.chopped(2).trimmed();
    }
    exec.remove(QLatin1Char('"'));
    exec.remove(QLatin1Char('\''));
    exec = exec.trimmed();
    if (exec.isEmpty())
        return false;

    return !Utils::findProgram(exec.split(QLatin1Char(' '), Qt::SkipEmptyParts).first()).isEmpty();
}

bool PackageDesktopFiles::getDependsDesktopFiles(const QString &name, QStringList &desktopFiles)
{
    const ProcessResult depends =
        DpkgQuery::runForPackage({QStringLiteral("-W"), QStringLiteral("-f=${Depends}")}, name);
    if (!depends.started || depends.timedOut || depends.crashed)
        return false;
    QString dependency = depends.outputText();
    // Only a package with exactly one relation is a wrapper of another one.
    if (dependency.contains(QLatin1Char(',')) || dependency == name || dependency.isEmpty())
        return false;
    dependency = dependency.section(QLatin1Char(' '), 0, 0);
    if (!PackageNameValidator::isValidArchQualifiedName(dependency))
        return false;

    const ProcessResult files =
        DpkgQuery::runForPackage({QStringLiteral("--listfiles")}, dependency);
    if (!files.started || files.timedOut || files.crashed)
        return false;
    const QStringList paths = files.outputText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &path : paths) {
        if (hasDesktopSuffix(path) && !QFileInfo(path).isSymLink() && isDesktopExecExists(path))
            desktopFiles.append(path);
    }
    AptCache::removeRepeatedDesktops(desktopFiles);
    return true;
}

bool PackageDesktopFiles::isPackageRunning(const QString &name, QStringList &runningPrograms)
{
    QStringList entries;
    if (!getDebDesktopFiles(name, entries, 0) || entries.isEmpty())
        return false;
    bool running = false;
    for (const QString &entry : std::as_const(entries)) {
        const QString program = execProgram(entry);
        if (program.isEmpty())
            continue;
        ProcessSpec spec;
        spec.program = QStringLiteral("ps");
        spec.arguments = {QStringLiteral("-ef")};
        spec.timeoutMs = kProbeTimeoutMs;
        const QStringList processes =
            ProcessRunner::run(spec).outputText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString &process : processes) {
            if (process.contains(program) && !process.contains(QLatin1String("grep"))) {
                runningPrograms.append(program);
                running = true;
                break;
            }
        }
    }
    return running;
}

} // namespace AppStore
