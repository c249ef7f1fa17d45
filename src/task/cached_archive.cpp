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

} // namespace

// "--print-uris" on the download's own command line names the source of each
// archive it needs: "'URI' file-name size hash".
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
        const QStringList fields = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (fields.size() < 2 || !fields.at(1).startsWith(prefix))
            continue;
        const bool local = fields.at(0).startsWith(QLatin1String("'file:")) ||
                           fields.at(0).startsWith(QLatin1String("'cdrom:"));
        qCInfo(daemonLogCategory) << task.packageName << "comes from" << fields.at(0);
        return local;
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
