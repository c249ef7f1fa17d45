#include "dpkg_query.h"

#include "apt_utils/aptcache.h"
#include "common/daemon_log.h"
#include "utils/package_name_validator.h"

#include <QFileInfo>

namespace AppStore {

namespace {

const QString kProgram = QStringLiteral("dpkg-query");
constexpr int kProbeTimeoutMs = 30000;
constexpr int kListingTimeoutMs = 120000;

ProcessSpec dpkgQuerySpec(const QStringList &arguments, int timeoutMs)
{
    ProcessSpec spec;
    spec.program = kProgram;
    spec.arguments = arguments;
    spec.timeoutMs = timeoutMs;
    // A listing of every package with its file list runs to tens of MB on a
    // full desktop; a cut listing would silently drop packages.
    spec.maxStoredOutput = 512 * 1024 * 1024;
    return spec;
}

ProcessResult runDpkgQuery(const QStringList &arguments, int timeoutMs)
{
    return ProcessRunner::run(dpkgQuerySpec(arguments, timeoutMs));
}

bool isApplicationLocation(const QString &path)
{
    return path.startsWith(QLatin1String("/usr/share/applications/")) ||
           path.startsWith(QLatin1String("/usr/local/share/applications/")) ||
           (path.startsWith(QLatin1String("/opt/apps/")) &&
            path.contains(QLatin1String("/entries/applications/")));
}

// "dpkg-query --listfiles" also prints the diversions of the files it lists
// and a note for a package without files; the file database's list holds
// paths only, and every path starts at the root.
QStringList listedPaths(const QString &listing)
{
    QStringList paths;
    const QStringList lines = listing.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1Char('/')))
            paths.append(line);
    }
    return paths;
}

// Of a package's instances, one per architecture, the one that tells most:
// an installed one, then one whose files are at least partly there.
int instanceRank(const QString &status)
{
    if (status == QLatin1String("installed"))
        return 2;
    return DpkgQuery::isRemovedStatus(status) ? 0 : 1;
}

} // namespace

bool DpkgQuery::isRemovedStatus(const QString &status)
{
    return status == QLatin1String("config-files") || status == QLatin1String("not-installed");
}

DpkgQuery::Lookup DpkgQuery::lookUpPackage(const QString &name, Record &record, bool withFiles)
{
    // Loading every package's file list costs dpkg a hundred times more than
    // the one list needed here. A name without architecture gets one line
    // per instance; ${binary:Package} names the very instance chosen.
    const ProcessResult fields = runForPackage(
        {QStringLiteral("-W"),
         QStringLiteral("-f=${Package} ${Version} ${Installed-Size} ${db:Status-Status} "
                        "${binary:Package}\n")},
        name);
    // dpkg-query ends with 1 for a package it does not know, with 2 when it
    // could not read its database.
    if (fields.started && !fields.timedOut && !fields.crashed && fields.exitCode == 1)
        return Lookup::Unknown;
    if (!fields.succeeded())
        return Lookup::Failed;
    QStringList values;
    int bestRank = -1;
    const QStringList lines = fields.outputText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        const QStringList instance = line.split(QLatin1Char(' '));
        if (instance.size() != 5)
            return Lookup::Unreadable;
        const int rank = instanceRank(instance.at(3));
        if (rank > bestRank) {
            bestRank = rank;
            values = instance;
        }
    }
    if (values.isEmpty())
        return Lookup::Unreadable;
    record.name = values.at(0);
    record.version = values.at(1);
    record.installedSize = values.at(2);
    record.status = values.at(3);
    record.files.clear();
    if (!withFiles || record.status != QLatin1String("installed"))
        return Lookup::Found;
    const ProcessResult files = runForPackage({QStringLiteral("--listfiles")}, values.at(4));
    if (!files.succeeded())
        return Lookup::Failed;
    record.files = listedPaths(files.outputText());
    return Lookup::Found;
}

ProcessResult DpkgQuery::runForPackage(const QStringList &arguments, const QString &name)
{
    if (!PackageNameValidator::isValidArchQualifiedName(name)) {
        // A kapla id is no Debian name, but no reason for alarm either.
        if (PackageNameValidator::isValidKaplaId(name))
            qCDebug(daemonLogCategory) << "not a Debian package name:" << name;
        else
            qCWarning(daemonLogCategory) << "refusing to ask dpkg-query about" << name;
        ProcessResult refused;
        refused.errorString = QStringLiteral("not a package name");
        return refused;
    }
    return runDpkgQuery(arguments + QStringList{name}, kProbeTimeoutMs);
}

ProcessResult DpkgQuery::runListing(const QStringList &arguments)
{
    return runDpkgQuery(arguments, kListingTimeoutMs);
}

bool DpkgQuery::streamListing(const QStringList &arguments,
                              const std::function<void(QByteArrayView)> &take)
{
    ProcessSpec spec = dpkgQuerySpec(arguments, kListingTimeoutMs);
    // The unfinished last line of each piece waits for the next one.
    QByteArray pending;
    spec.standardOutputSink = [&pending, &take](const QByteArray &chunk) {
        pending += chunk;
        const qsizetype lastBreak = pending.lastIndexOf('\n');
        if (lastBreak < 0)
            return;
        forEachLine(pending.left(lastBreak), take);
        pending.remove(0, lastBreak + 1);
    };
    const ProcessResult result = ProcessRunner::run(spec);
    forEachLine(pending, take);
    return isCompleteListing(result);
}

void DpkgQuery::forEachLine(const QByteArray &output,
                            const std::function<void(QByteArrayView)> &take)
{
    qsizetype start = 0;
    while (start < output.size()) {
        qsizetype end = output.indexOf('\n', start);
        if (end < 0)
            end = output.size();
        if (end > start)
            take(QByteArrayView(output.constData() + start, end - start));
        start = end + 1;
    }
}

namespace {

QChar fieldMark(int index)
{
    return QChar(u'A' + index);
}

} // namespace

QString DpkgQuery::fieldListingFormat(const QStringList &fields)
{
    QString format = QStringLiteral("-f=");
    for (int i = 0; i < fields.size(); ++i)
        format += fieldMark(i) + QStringLiteral("${") + fields.at(i) + QStringLiteral("}\\n");
    return format;
}

void DpkgQuery::forEachFieldRecord(
    const QByteArray &listing, int fieldCount,
    const std::function<void(const QStringList &values, bool readable)> &take)
{
    QStringList values;
    bool readable = true;
    const auto finish = [&] {
        if (!values.isEmpty())
            take(values, readable && values.size() == fieldCount);
        values.clear();
        readable = true;
    };
    forEachLine(listing, [&](QByteArrayView bytes) {
        const QString line = QString::fromUtf8(bytes);
        const QChar first = line.at(0);
        if (first == fieldMark(0)) {
            finish();
            values.append(line.mid(1));
        } else if (values.isEmpty()) {
            // Before the first record: a record whose name is lost.
            values.append(QString());
            readable = false;
        } else if (!readable) {
            // The rest of a record already spoilt.
        } else if (first == QLatin1Char(' ') || first == QLatin1Char('\t')) {
            values.last() += QLatin1Char('\n') + line;
        } else if (values.size() < fieldCount && first == fieldMark(values.size())) {
            values.append(line.mid(1));
        } else {
            readable = false;
        }
    });
    finish();
}

bool DpkgQuery::isCompleteListing(const ProcessResult &result)
{
    if (result.succeeded())
        return true;
    // The output is left out: a listing runs to megabytes.
    qCWarning(daemonLogCategory) << "dpkg-query listing failed:" << result.errorString
                                 << "exit code:" << result.exitCode
                                 << "timed out:" << result.timedOut << "crashed:" << result.crashed
                                 << "error:" << result.errorText();
    return false;
}

bool DpkgQuery::parseRecord(const QString &text, int fixedFieldCount, bool withChannel,
                            Record &record)
{
    const QStringList lines = text.split(QLatin1Char('\n'));
    const QString &head = lines.first();
    QStringList fields;
    qsizetype from = 0;
    for (int i = 0; i < fixedFieldCount; ++i) {
        const qsizetype blank = head.indexOf(QLatin1Char(' '), from);
        if (blank < 0)
            return false;
        fields.append(head.mid(from, blank - from));
        from = blank + 1;
    }
    if (fields.size() < 4)
        return false;
    record.name = fields.at(0);
    record.version = fields.at(1);
    record.installedSize = fields.at(2);
    record.status = fields.at(3);

    // What follows the fixed fields: [channel] " " then the first file line,
    // which itself starts with a blank.
    const QString rest = head.mid(from);
    QString firstFile;
    if (withChannel) {
        const qsizetype filesAt = rest.indexOf(QLatin1String("  /"));
        if (filesAt >= 0) {
            record.channel = rest.left(filesAt);
            firstFile = rest.mid(filesAt + 2);
        } else if (rest.endsWith(QLatin1Char(' '))) {
            record.channel = rest.chopped(1);
        } else {
            return false;
        }
    } else {
        firstFile = rest.startsWith(QLatin1Char(' ')) ? rest.mid(1) : rest;
    }

    record.files.clear();
    if (!firstFile.isEmpty())
        record.files.append(firstFile);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        if (line.isEmpty())
            continue;
        // A line without the leading blank belongs to the next record (a
        // second architecture of the same package).
        if (!line.startsWith(QLatin1Char(' ')))
            break;
        record.files.append(line.mid(1));
    }
    return true;
}

QStringList DpkgQuery::applicationDesktopFiles(const QStringList &paths)
{
    QStringList desktopFiles;
    for (const QString &path : paths) {
        if (isShippedDesktopEntry(path) && AptCache::isDesktopExecExists(path))
            desktopFiles.append(path);
    }
    return desktopFiles;
}

bool DpkgQuery::isShippedDesktopEntry(const QString &path)
{
    if (path.isEmpty() || !isApplicationLocation(path))
        return false;
    const QFileInfo info(path);
    return info.suffix() == QLatin1String("desktop") && !info.isSymLink() && info.isFile();
}

void DpkgQuery::preferPackageNamedDesktopFile(const QString &packageName, QStringList &files)
{
    if (files.size() <= 1)
        return;
    for (const QString &file : std::as_const(files)) {
        if (QFileInfo(file).fileName().remove(QLatin1String(".desktop")) == packageName) {
            const QString chosen = file;
            files = QStringList{chosen};
            return;
        }
    }
}

} // namespace AppStore
