#pragma once

#include <QString>

namespace AppStore {

// Where the archives that apt and dpkg name in their output are in the
// daemon's cache, and their removal. Every path here ends up in a file
// removal done as root, and the names come from tool output: a removal is
// only ever done on a regular file directly in the cache's "archives/".
class ArchivePaths
{
public:
    ArchivePaths() = delete;

    static QString archivesDir(const QString &cacheDir);
    // The first blank-separated word of a dpkg unpack-error line that ends in
    // ".deb"; empty when there is none.
    static QString unpackErrorArchive(const QString &line);
    // The file name of path (its last "/" part) in the cache's "archives/".
    static QString inArchives(const QString &path, const QString &cacheDir);
    // apt hands dpkg links named "<order>-<archive>"; the archive itself is
    // in "archives/" without that prefix. path is in "archives/".
    static QString withoutOrderPrefix(const QString &path, const QString &cacheDir);
    // Whether path names a file (or a link) directly in the cache's
    // "archives/", after resolving the links and ".." of its directory.
    static bool isCachedArchive(const QString &path, const QString &cacheDir);
    // Removes the archive at path when it is a cached archive; logs
    // "Remove <path>:" with the outcome.
    static bool removeCachedArchive(const QString &path, const QString &cacheDir);
};

} // namespace AppStore
