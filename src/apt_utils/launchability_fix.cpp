#include "launchability_fix.h"

#include "apt_utils/aptcache.h"
#include "common/daemon_log.h"
#include "utils/folder_trust.h"
#include "utils/utils.h"

#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QSaveFile>

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

namespace AppStore {

namespace {

// The heap is trimmed however the operation ends: it reads whole files and
// desktop entries, and the daemon lives long.
struct HeapTrimOnExit
{
    HeapTrimOnExit() = default;
    HeapTrimOnExit(const HeapTrimOnExit &) = delete;
    HeapTrimOnExit &operator=(const HeapTrimOnExit &) = delete;
    ~HeapTrimOnExit()
    {
        const int trimmed = malloc_trim(0);
        qCDebug(daemonLogCategory)
            << "AptCache::ensurePkgDesktopFilesLaunchable malloc_trim:" << trimmed;
    }
};

// The first word of the Exec value, without quotes; empty when there is none.
QString execProgram(const QString &desktopFile)
{
    const QStringList words =
        Utils::getDesktopExecInfo(desktopFile).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return QString();
    QString program = words.first();
    program.remove(QLatin1Char('"'));
    program.remove(QLatin1Char('\''));
    return program;
}

// Replaces the script as a whole, so that a reader never sees half of it,
// with the owner and mode it had.
bool writeWithShebang(const QString &path, const QByteArray &body, const struct stat &original)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return false;
    if (fchown(file.handle(), original.st_uid, original.st_gid) != 0 ||
        fchmod(file.handle(), original.st_mode & 07777) != 0) {
        file.cancelWriting();
        return false;
    }
    file.write(QByteArrayLiteral("#!/usr/bin/env bash\n") + body + '\n');
    return file.commit();
}

// The script's text and status, through one handle opened without following
// a link (nor waiting on a pipe); false for anything but a regular file in a
// folder only root may change.
bool readScript(const QString &path, QByteArray &body, struct stat &info)
{
    const QFileInfo entry(path);
    const int folder = ::open(QFile::encodeName(entry.absolutePath()).constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return false;
    int fd = -1;
    // Only root may change a script in such a folder: no one can swap it for
    // a link to another file between the read and the rewrite.
    if (FolderTrust::isRootsOwn(folder))
        fd = openat(folder, QFile::encodeName(entry.fileName()).constData(),
                    O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    else
        qCDebug(daemonLogCategory) << "folder not root's alone, leaving" << path << "alone";
    ::close(folder);
    if (fd < 0)
        return false;
    QFile script;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        !script.open(fd, QIODevice::ReadOnly | QIODevice::Text, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    body = script.readAll();
    return true;
}

void fixScript(const QString &path)
{
    struct stat original = {};
    QByteArray text;
    if (!readScript(path, text, original))
        return;
    if (QMimeDatabase().mimeTypeForFileNameAndData(path, text).name() !=
        QLatin1String("application/x-shellscript"))
        return;
    const QByteArray body = text.trimmed();
    if (body.startsWith("#!"))
        return;
    qCDebug(daemonLogCategory).noquote()
        << QStringLiteral("Prepending shebang for %1...").arg(path);
    if (!writeWithShebang(path, body, original))
        qCDebug(daemonLogCategory) << "could not rewrite" << path;
}

} // namespace

void LaunchabilityFix::ensurePkgDesktopFilesLaunchable(const QString &name)
{
    QStringList desktopFiles;
    if (!AptCache::getPackageDesktopFiles(name, desktopFiles, 0))
        return;
    const HeapTrimOnExit trim;

    for (const QString &desktopFile : std::as_const(desktopFiles)) {
        const QString entry = desktopFile.trimmed();
        Utils::checkDesktopTryExecInfo(entry);
        const QString program = execProgram(entry);
        if (program.isEmpty())
            continue;
        const QString path = Utils::findProgram(program);
        if (!path.isEmpty())
            fixScript(path);
    }
}

} // namespace AppStore
