#include "apt_utils/package_archives.h"

#include "apt_utils/aptcache.h"
#include "apt_utils/archive_paths.h"
#include "apt_utils/dpkg_query.h"
#include "common/common.h"
#include "common/daemon_log.h"
#include "utils/package_name_validator.h"
#include "utils/process_runner.h"
#include "utils/utils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>

namespace AppStore {

namespace {

constexpr int kProbeTimeoutMs = 30000;
constexpr int kInstalledMode = 1;
constexpr int kBrokenMode = 2;
constexpr int kFullCleanMode = 3;
constexpr int kAnyPackageSystem = 0;
// Older than this many days (counted in midnights) is no longer worth keeping.
constexpr qint64 kMaxAgeDays = 6;
// A file that is not (yet) a readable archive may be a download still being
// written or waiting to be resumed.
constexpr qint64 kUnreadableGraceSecs = 3600;

QMutex clockMutex;
std::function<QDateTime()> clockSource;

QDateTime now()
{
    QMutexLocker locker(&clockMutex);
    return clockSource ? clockSource() : QDateTime::currentDateTime();
}

// File systems that keep no birth time give an invalid one; the last change
// is then the best guess at when the download arrived.
qint64 ageInDays(const QFileInfo &file, const QDateTime &at)
{
    QDateTime born = file.birthTime();
    if (!born.isValid())
        born = file.lastModified();
    return born.date().daysTo(at.date());
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// "%" and two hexadecimal digits stand for one byte; any other "%" is kept.
QString decodePercentEscapes(const QString &text)
{
    const QByteArray in = text.toUtf8();
    QByteArray out;
    out.reserve(in.size());
    for (qsizetype i = 0; i < in.size(); ++i) {
        const int high = i + 2 < in.size() && in.at(i) == '%' ? hexValue(in.at(i + 1)) : -1;
        const int low = high >= 0 ? hexValue(in.at(i + 2)) : -1;
        if (low >= 0) {
            out.append(char(high * 16 + low));
            i += 2;
        } else {
            out.append(in.at(i));
        }
    }
    return QString::fromUtf8(out);
}

QString lastWord(const QString &line)
{
    return line.section(QLatin1Char(' '), -1);
}

enum class RecordEnd { NextRecord, Answered };

// Reads one record of "apt-cache show"; Answered when a "Size:" line settled
// the query (result in answer).
RecordEnd readDownloadRecord(const QString &record, const QString &version, Package_Info &info,
                             bool &answer)
{
    const QStringList lines = record.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("Version:"))) {
            info.version = lastWord(line);
            if (!version.isEmpty() && version != info.version)
                return RecordEnd::NextRecord;
        } else if (line.startsWith(QLatin1String("Installed-Size:"))) {
            info.installedSize = lastWord(line).toLongLong();
        } else if (line.startsWith(QLatin1String("Filename:"))) {
            // An escaped "/" must not smuggle a directory into the name.
            const QString name = decodePercentEscapes(lastWord(line).section(QLatin1Char('/'), -1))
                                     .section(QLatin1Char('/'), -1);
            if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) {
                qCWarning(daemonLogCategory) << "unusable archive name in the index:" << line;
                answer = false;
                return RecordEnd::Answered;
            }
            info.debPath = name;
        } else if (line.startsWith(QLatin1String("Size:"))) {
            info.size = lastWord(line).toLongLong();
            answer = version.isEmpty() || version == info.version;
            return RecordEnd::Answered;
        }
    }
    return RecordEnd::NextRecord;
}

void removeInstalledArchives(const QString &output, const QString &cacheDir)
{
    qCDebug(daemonLogCategory) << "Delete installed packages cache";
    const QStringList lines = output.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (!line.contains(QLatin1String("Preparing to unpack")) &&
            !line.contains(QStringLiteral("准备解压")))
            continue;
        const QString fileName = line.section(QLatin1Char('/'), -1).section(QLatin1Char(' '), 0, 0);
        QString path = ArchivePaths::archivesDir(cacheDir) + fileName;
        qCDebug(daemonLogCategory).noquote() << "Try to remove:" << path;
        if (!QFileInfo(path).isFile()) {
            path = ArchivePaths::withoutOrderPrefix(path, cacheDir);
            qCDebug(daemonLogCategory).noquote() << "Try to remove:" << path;
        }
        ArchivePaths::removeCachedArchive(path, cacheDir);
    }
}

void removeBrokenArchives(const QString &output, const QString &cacheDir)
{
    qCDebug(daemonLogCategory) << "Delete broken package cache";
    const QStringList lines = output.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (!line.contains(QLatin1String("dpkg: error processing archive")) ||
            !line.contains(QLatin1String("(--unpack)")))
            continue;
        qCDebug(daemonLogCategory).noquote() << "Dpkg unpack error:" << line;
        QString path = ArchivePaths::unpackErrorArchive(line);
        // The named file may be anywhere (a local archive of the user's, say):
        // only its copy in the cache is ever removed.
        if (!ArchivePaths::isCachedArchive(path, cacheDir)) {
            qCDebug(daemonLogCategory).noquote()
                << path << "not exists, assume using /tmp/apt-dpkg-install-XXXXXX/ path";
            path = ArchivePaths::inArchives(path, cacheDir);
            if (!QFileInfo(path).isFile()) {
                qCDebug(daemonLogCategory).noquote() << path << "not exists, assume with prefix";
                path = ArchivePaths::withoutOrderPrefix(path, cacheDir);
            }
        }
        ArchivePaths::removeCachedArchive(path, cacheDir);
    }
}

// Whether an archive in "archives/" has had its day: not a readable archive
// (once nothing can still be writing it), no newer than the installed
// version, or too old to be a pending download.
bool isArchiveDone(const QFileInfo &file, const QDateTime &at)
{
    Package_Info archive;
    if (!PackageArchives::getDebInfo(file.absoluteFilePath(), archive)) {
        if (file.lastModified().secsTo(at) < kUnreadableGraceSecs) {
            qCDebug(daemonLogCategory).noquote()
                << file.absoluteFilePath() << "is no archive yet, kept for now";
            return false;
        }
        return true;
    }
    Package_Info installed;
    if (AptCache::getLocalPackageInfo(archive.packageName, installed, kAnyPackageSystem) &&
        Utils::compareVersion(installed.version, archive.version) >= 0)
        return true;
    return ageInDays(file, at) > kMaxAgeDays;
}

QFileInfoList cachedDebFiles(const QString &dir)
{
    return QDir(dir).entryInfoList({QStringLiteral("*.deb")}, QDir::Files | QDir::Readable,
                                   QDir::Name);
}

bool interrupted()
{
    return QThread::currentThread()->isInterruptionRequested();
}

void removeUnneededArchives(const QString &cacheDir)
{
    qCDebug(daemonLogCategory) << "Clean packages cache";
    const QString archivesDir = ArchivePaths::archivesDir(cacheDir);
    if (!QFileInfo(archivesDir).isDir())
        return;
    for (const QFileInfo &file : cachedDebFiles(archivesDir)) {
        if (interrupted())
            return;
        qCDebug(daemonLogCategory).noquote() << "Check:" << file.absoluteFilePath();
        if (isArchiveDone(file, now()))
            ArchivePaths::removeCachedArchive(file.absoluteFilePath(), cacheDir);
    }
    for (const QFileInfo &file : cachedDebFiles(archivesDir + QStringLiteral("partial/"))) {
        qCDebug(daemonLogCategory).noquote() << "Check:" << file.absoluteFilePath();
        if (ageInDays(file, now()) > kMaxAgeDays) {
            const bool removed = QFile::remove(file.absoluteFilePath());
            qCDebug(daemonLogCategory).noquote()
                << QStringLiteral("Remove %1:").arg(file.absoluteFilePath()) << removed;
        }
    }
    qCDebug(daemonLogCategory) << "Clean packages cache finished";
}

} // namespace

bool PackageArchives::getDebInfo(const QString &debPath, Package_Info &info)
{
    info.debPath = debPath;
    if (debPath.isEmpty())
        return false;
    ProcessSpec spec;
    spec.program = QStringLiteral("dpkg-deb");
    // Absolute, so that no path is ever read as an option.
    spec.arguments = {QStringLiteral("-W"),
                      QStringLiteral("--showformat=${Package} ${Architecture} ${Version}"),
                      QFileInfo(debPath).absoluteFilePath()};
    spec.timeoutMs = kProbeTimeoutMs;
    const ProcessResult result = ProcessRunner::run(spec);
    if (!result.succeeded()) {
        if (result.timedOut)
            qCWarning(daemonLogCategory).noquote() << "dpkg-deb timed out on" << debPath;
        return false;
    }
    const QStringList fields = result.outputText().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    info.packageName = fields.value(0);
    info.architecture = fields.value(1);
    info.version = fields.value(2);
    qCDebug(daemonLogCategory) << info.packageName << info.architecture << info.version;
    return !info.packageName.isEmpty() && !info.version.isEmpty() && !info.architecture.isEmpty();
}

bool PackageArchives::getPackageDownloadInfo(const QString &packageName, Package_Info &info,
                                             const QString &version)
{
    info.packageName = packageName;
    if (!PackageNameValidator::isValidPackageName(packageName) ||
        (!version.isEmpty() && !PackageNameValidator::isValidVersion(version))) {
        qCWarning(daemonLogCategory) << "refusing to ask apt-cache about" << packageName << version;
        return false;
    }
    // "+" and "." in a name would otherwise be read as a regular expression.
    QString pattern = packageName;
    AptCache::escapeRegexChars(pattern);
    pattern = QLatin1Char('^') + pattern + QLatin1Char('$');
    // apt reads "name=" as an empty version and shows nothing.
    if (!version.isEmpty())
        pattern += QLatin1Char('=') + version;

    ProcessSpec spec;
    spec.program = QStringLiteral("apt-cache");
    spec.arguments = {QStringLiteral("-c"), Utils::aptConfigFilePath(), QStringLiteral("show"),
                      pattern};
    spec.timeoutMs = kProbeTimeoutMs;
    const ProcessResult result = ProcessRunner::run(spec);
    if (!result.started || result.timedOut || result.crashed) {
        if (result.timedOut)
            qCWarning(daemonLogCategory) << "apt-cache show timed out for" << pattern;
        return false;
    }
    const QStringList records = result.outputText().split(QStringLiteral("\n\n"));
    for (const QString &record : records) {
        bool answer = false;
        if (readDownloadRecord(record, version, info, answer) == RecordEnd::Answered)
            return answer;
    }
    return !info.version.isEmpty() && !info.debPath.isEmpty();
}

bool PackageArchives::isPackageInstalled(const QString &packageName)
{
    const ProcessResult result = DpkgQuery::runForPackage(
        {QStringLiteral("-W"), QStringLiteral("-f=${db:Status-Status}")}, packageName);
    return result.succeeded() && result.outputText() == QLatin1String("installed");
}

void PackageArchives::delTheInstallationPacakge(const QString &output, int mode,
                                                const QString &cacheDir)
{
    switch (mode) {
    case kInstalledMode:
        removeInstalledArchives(output, cacheDir);
        break;
    case kBrokenMode:
        removeBrokenArchives(output, cacheDir);
        break;
    case kFullCleanMode:
        removeUnneededArchives(cacheDir);
        break;
    default:
        break;
    }
}

bool PackageArchives::cleanPackagesCache()
{
    Utils::checkCustomCacheDir();
    if (Utils::isKeepArchives())
        return true;
    delTheInstallationPacakge(QString(), kFullCleanMode, Utils::cacheDir());
    return true;
}

void PackageArchives::setClock(std::function<QDateTime()> now)
{
    QMutexLocker locker(&clockMutex);
    clockSource = std::move(now);
}

} // namespace AppStore
