#include "task/cached_archive.h"

#include "apt_utils/aptcache.h"
#include "common/daemon_log.h"
#include "task/apt_get_arguments.h"
#include "utils/process_runner.h"
#include "utils/utils.h"

#include <QDir>
#include <QFileInfo>

namespace AppStore {

namespace {

constexpr int kUriQueryTimeoutMs = 120000;

// apt names its copy <name>_<version, ":" escaped>_<architecture>.deb.
QString archiveNamePrefix(const Apt_Task &task)
{
    QString version = task.version;
    version.replace(QLatin1Char(':'), QLatin1String("%3a"));
    return task.packageName + u'_' + version + u'_';
}

// One line of "--print-uris": "'URI' file-name size hash". apt quotes the URI
// as it is, blanks and all (a "cdrom:" disc label, a "file:" folder with a
// blank), so the line is read from its end.
bool readUriLine(const QString &line, QString &uri, QString &fileName)
{
    QString rest = line.trimmed();
    for (int field = 0; field < 3; ++field) {
        const qsizetype blank = rest.lastIndexOf(QLatin1Char(' '));
        if (blank < 0)
            return false;
        fileName = rest.mid(blank + 1);
        rest = rest.left(blank).trimmed();
    }
    if (rest.size() < 2 || !rest.startsWith(QLatin1Char('\'')) || !rest.endsWith(QLatin1Char('\'')))
        return false;
    uri = rest.mid(1, rest.size() - 2);
    return true;
}

} // namespace

// "--print-uris" on the download's own command line names the source of each
// archive it needs.
bool CachedArchive::isReadInPlace(const Apt_Task &task)
{
    ProcessSpec spec;
    spec.program = QStringLiteral("apt-get");
    spec.arguments =
        aptGetDownloadArguments(aptExactPackagePattern(task.packageName, task.version));
    spec.arguments.prepend(QStringLiteral("--print-uris"));
    spec.environmentMode = ProcessSpec::Environment::Replace;
    spec.environment = {QStringLiteral("LANGUAGE=en_US")};
    spec.timeoutMs = kUriQueryTimeoutMs;
    const ProcessResult result = ProcessRunner::run(spec);
    if (!result.succeeded())
        return false;
    const QString prefix = archiveNamePrefix(task);
    const QStringList lines = result.outputText().split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        QString uri;
        QString fileName;
        if (!readUriLine(line, uri, fileName) || !fileName.startsWith(prefix))
            continue;
        qCInfo(daemonLogCategory) << task.packageName << "comes from" << uri;
        return uri.startsWith(QLatin1String("file:")) || uri.startsWith(QLatin1String("cdrom:"));
    }
    return false;
}

bool CachedArchive::isPresent(const Apt_Task &task, const QString &archiveFileName)
{
    if (task.version.isEmpty())
        return true;
    const QDir archives(Utils::cacheDir() + QStringLiteral("archives/"));
    if (!archiveFileName.isEmpty() && QFileInfo(archives.filePath(archiveFileName)).isFile())
        return true;
    if (!archives.entryList({archiveNamePrefix(task) + QStringLiteral("*.deb")}, QDir::Files)
             .isEmpty())
        return true;
    Package_Info installed;
    return AptCache::getLocalPackageInfo(task.packageName, installed, 1) &&
           Utils::compareVersion(installed.version, task.version) == 0;
}

} // namespace AppStore
