#include "launchability_fix.h"

#include "apt_utils/aptcache.h"
#include "common/daemon_log.h"
#include "utils/utils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QSaveFile>

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

// A bare name is looked up in PATH; one that is found nowhere is not taken
// relative to the daemon's working directory.
QString programPath(const QString &program, const QStringList &searchPath)
{
    if (program.contains(QLatin1Char('/')))
        return program;
    for (const QString &directory : searchPath) {
        const QDir dir(directory);
        const QFileInfo entry(dir, program);
        if (dir.exists() && (entry.exists() || entry.isSymLink()))
            return dir.absoluteFilePath(program);
    }
    return QString();
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

void fixScript(const QString &path)
{
    struct stat original = {};
    // The program itself, never what a link points to: the link's target
    // may be anything.
    if (lstat(QFile::encodeName(path).constData(), &original) != 0 || !S_ISREG(original.st_mode))
        return;
    if (QMimeDatabase().mimeTypeForFile(path).name() != QLatin1String("application/x-shellscript"))
        return;
    QFile script(path);
    if (!script.open(QIODevice::ReadOnly | QIODevice::Text))
        return;
    const QByteArray body = script.readAll().trimmed();
    script.close();
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

    const QStringList searchPath =
        qEnvironmentVariable("PATH").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString &desktopFile : std::as_const(desktopFiles)) {
        const QString entry = desktopFile.trimmed();
        Utils::checkDesktopTryExecInfo(entry);
        const QString program = execProgram(entry);
        if (program.isEmpty())
            continue;
        const QString path = programPath(program, searchPath);
        if (!path.isEmpty())
            fixScript(path);
    }
}

} // namespace AppStore
