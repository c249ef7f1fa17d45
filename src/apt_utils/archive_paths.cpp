#include "apt_utils/archive_paths.h"

#include "common/daemon_log.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace AppStore {

QString ArchivePaths::archivesDir(const QString &cacheDir)
{
    return cacheDir + QStringLiteral("archives/");
}

QString ArchivePaths::unpackErrorArchive(const QString &line)
{
    const QStringList words = line.split(QLatin1Char(' '));
    for (const QString &word : words) {
        if (word.endsWith(QLatin1String(".deb")))
            return word;
    }
    return QString();
}

QString ArchivePaths::inArchives(const QString &path, const QString &cacheDir)
{
    return archivesDir(cacheDir) + path.section(QLatin1Char('/'), -1);
}

QString ArchivePaths::withoutOrderPrefix(const QString &path, const QString &cacheDir)
{
    const QString dir = archivesDir(cacheDir);
    const QString name = path.startsWith(dir) ? path.mid(dir.size()) : path;
    const qsizetype dash = name.indexOf(QLatin1Char('-'));
    return dir + (dash < 0 ? QString() : name.mid(dash + 1));
}

bool ArchivePaths::isCachedArchive(const QString &path, const QString &cacheDir)
{
    if (path.isEmpty())
        return false;
    const QString archives = QFileInfo(archivesDir(cacheDir)).canonicalFilePath();
    const QFileInfo entry(path);
    const QString name = entry.fileName();
    // The entry itself is judged, not what a link at it points to: removing
    // a link removes only the link.
    return !archives.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           (entry.isSymLink() || entry.isFile()) &&
           QFileInfo(entry.absolutePath()).canonicalFilePath() == archives;
}

bool ArchivePaths::removeCachedArchive(const QString &path, const QString &cacheDir)
{
    bool removed = false;
    if (isCachedArchive(path, cacheDir)) {
        removed = QFile::remove(QFileInfo(path).absoluteFilePath());
    } else if (QFileInfo::exists(path)) {
        qCWarning(daemonLogCategory).noquote()
            << path << "is not an archive of the package cache, not removed";
    }
    qCDebug(daemonLogCategory).noquote() << QStringLiteral("Remove %1:").arg(path) << removed;
    return removed;
}

} // namespace AppStore
