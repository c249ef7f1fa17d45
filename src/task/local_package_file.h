#pragma once

#include <QString>

// A package file that a caller names on this machine, taken into the package
// cache for an install. Root installs what lies in the cache later, so the
// copy is root's own from its creation on and is the file that gets checked
// and installed; the caller's file is read once and never used again.
class LocalPackageFile
{
public:
    struct Result
    {
        QString error; // empty on success
        bool debianArchive = false;
        QString path;    // the copy in the cache
        qint64 size = 0; // of the source, once it could be opened
    };

    struct ArchiveCheck
    {
        bool debianArchive = false;
        QString mismatch; // empty when the archive is the package asked for
    };

    LocalPackageFile() = delete;

    // Whether path is a Debian archive and, when it is, whether its control
    // fields name packageName and version (any version when it is empty),
    // versions compared as dpkg orders them.
    static ArchiveCheck checkArchive(const QString &path, const QString &packageName,
                                     const QString &version);

    // Opens source without following a link, requires a regular file and
    // copies it into cacheDir: a Debian archive, mode 0644, as
    // "archives/<packageName>.deb" when its control fields name packageName
    // (and version, unless empty); any other file, private, as
    // "<packageName>.tar". A Debian archive of another package or version is
    // an error and leaves nothing behind.
    static Result takeIntoCache(const QString &source, const QString &cacheDir,
                                const QString &packageName, const QString &version);
};
