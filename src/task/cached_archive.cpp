#include "task/cached_archive.h"

#include "apt_utils/aptcache.h"
#include "utils/utils.h"

#include <QDir>
#include <QFileInfo>

namespace AppStore {

bool CachedArchive::isPresent(const Apt_Task &task, const QString &archiveFileName)
{
    if (task.version.isEmpty())
        return true;
    const QDir archives(Utils::cacheDir() + QStringLiteral("archives/"));
    if (!archiveFileName.isEmpty() && QFileInfo(archives.filePath(archiveFileName)).isFile())
        return true;
    // apt names its copy <name>_<version, ":" escaped>_<architecture>.deb.
    QString version = task.version;
    version.replace(QLatin1Char(':'), QLatin1String("%3a"));
    const QString pattern = task.packageName + u'_' + version + QStringLiteral("_*.deb");
    if (!archives.entryList({pattern}, QDir::Files).isEmpty())
        return true;
    Package_Info installed;
    return AptCache::getLocalPackageInfo(task.packageName, installed, 1) &&
           Utils::compareVersion(installed.version, task.version) == 0;
}

} // namespace AppStore
