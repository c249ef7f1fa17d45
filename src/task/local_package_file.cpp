#include "task/local_package_file.h"

#include "common/daemon_log.h"
#include "utils/process_runner.h"
#include "utils/version_compare.h"

#include <QFile>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// "dpkg-deb -f" reads one archive header; anything slower is no archive of ours.
constexpr int kFieldReadTimeoutMs = 30000;
constexpr QFile::Permissions kArchivePermissions =
    QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;

QString systemError(const QString &what, const QString &path)
{
    return what + u' ' + path + QStringLiteral(": ") + QString::fromLocal8Bit(strerror(errno));
}

// A link could point at any file root can read; a FIFO would block the
// open, a device would never end.
int openSource(const QString &path, qint64 &size, QString &error)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = systemError(QStringLiteral("cannot open"), path);
        return -1;
    }
    struct stat info = {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = QStringLiteral("not a regular file: ") + path;
        ::close(fd);
        return -1;
    }
    size = info.st_size;
    return fd;
}

bool copyFrom(int fd, QFile &copy)
{
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count == 0)
            return copy.flush();
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 || copy.write(buffer, count) != count)
            return false;
    }
}

struct ControlFields
{
    QString package;
    QString version;
};

// false when path is no Debian archive.
bool readControlFields(const QString &path, ControlFields &fields)
{
    AppStore::ProcessSpec spec;
    spec.program = QStringLiteral("dpkg-deb");
    spec.arguments = {QStringLiteral("--field"), QStringLiteral("--"), path,
                      QStringLiteral("Package"), QStringLiteral("Version")};
    spec.timeoutMs = kFieldReadTimeoutMs;
    const AppStore::ProcessResult result = AppStore::ProcessRunner::run(spec);
    if (!result.succeeded())
        return false;
    const QStringList lines = result.outputText().split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("Package: ")))
            fields.package = line.mid(9).trimmed();
        else if (line.startsWith(QLatin1String("Version: ")))
            fields.version = line.mid(9).trimmed();
    }
    return !fields.package.isEmpty();
}

QString mismatch(const ControlFields &fields, const QString &packageName, const QString &version)
{
    if (fields.package != packageName)
        return QStringLiteral("the archive holds the package ") + fields.package;
    // dpkg-deb prints the version without a zero epoch: "0:1.0" names 1.0.
    if (!version.isEmpty() &&
        AppStore::VersionCompare::compareVersion(fields.version, version) != 0)
        return QStringLiteral("the archive holds the version ") + fields.version;
    return QString();
}

// Replaces whatever older file lies at target, so that only this copy can
// be installed.
bool place(QTemporaryFile &copy, const QString &target, QString &error)
{
    if (::rename(QFile::encodeName(copy.fileName()).constData(),
                 QFile::encodeName(target).constData()) != 0) {
        error = systemError(QStringLiteral("cannot move the copy to"), target);
        return false;
    }
    copy.setAutoRemove(false);
    return true;
}

} // namespace

LocalPackageFile::ArchiveCheck LocalPackageFile::checkArchive(const QString &path,
                                                              const QString &packageName,
                                                              const QString &version)
{
    ArchiveCheck check;
    ControlFields fields;
    check.debianArchive = readControlFields(path, fields);
    if (check.debianArchive)
        check.mismatch = mismatch(fields, packageName, version);
    return check;
}

LocalPackageFile::Result LocalPackageFile::takeIntoCache(const QString &source,
                                                         const QString &cacheDir,
                                                         const QString &packageName,
                                                         const QString &version)
{
    Result result;
    const int fd = openSource(source, result.size, result.error);
    if (fd < 0)
        return result;
    // Private until it is known to be an archive of the package asked for.
    QTemporaryFile copy(cacheDir + QLatin1Char('.') + packageName + QStringLiteral(".XXXXXX"));
    const bool copied = copy.open() && copyFrom(fd, copy);
    ::close(fd);
    if (!copied) {
        result.error = QStringLiteral("cannot copy ") + source + QStringLiteral(" to ") +
                       copy.fileName() + QStringLiteral(": ") + copy.errorString();
        return result;
    }

    const ArchiveCheck check = checkArchive(copy.fileName(), packageName, version);
    result.debianArchive = check.debianArchive;
    if (result.debianArchive) {
        result.error = check.mismatch;
        if (!result.error.isEmpty())
            return result;
        if (fchown(copy.handle(), geteuid(), getegid()) != 0 ||
            !copy.setPermissions(kArchivePermissions)) {
            result.error = systemError(QStringLiteral("cannot hand over"), copy.fileName());
            return result;
        }
        result.path = cacheDir + QStringLiteral("archives/") + packageName + QStringLiteral(".deb");
    } else {
        result.path = cacheDir + packageName + QStringLiteral(".tar");
    }
    if (!place(copy, result.path, result.error))
        result.path.clear();
    else
        qCInfo(daemonLogCategory) << "local package file" << source << "taken as" << result.path;
    return result;
}
