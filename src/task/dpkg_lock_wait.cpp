#include "task/dpkg_lock_wait.h"

#include "common/daemon_log.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QString>
#include <QThread>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>

namespace AppStore {

namespace {

const QString kDpkgAdminDir = QStringLiteral("/var/lib/dpkg/");

// Another process holds a write lock on the file (dpkg and apt take fcntl
// locks on their lock files).
bool isLockedByOther(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    const bool locked = ::fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    ::close(fd);
    return locked;
}

// A holder may also unlock and keep its file open, which no event tells:
// the locks are looked at again after this long at the latest.
constexpr int kRecheckMs = 1000;

// An inotify descriptor that becomes readable when a writer closes one of
// the lock files; -1 when there is none, and the wait falls back to looking
// again after kRecheckMs.
int watchLockFileCloses()
{
    const int fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0)
        return -1;
    for (const char *name : {"lock-frontend", "lock"}) {
        const QByteArray path = QFile::encodeName(kDpkgAdminDir + QLatin1String(name));
        ::inotify_add_watch(fd, path.constData(), IN_CLOSE_WRITE);
    }
    return fd;
}

// Returns after a close or after timeoutMs, whichever comes first.
void waitForClose(int watch, int timeoutMs)
{
    if (watch < 0) {
        QThread::msleep(timeoutMs);
        return;
    }
    struct pollfd ready = {watch, POLLIN, 0};
    if (::poll(&ready, 1, timeoutMs) <= 0)
        return;
    char events[4096];
    while (::read(watch, events, sizeof events) > 0) {
    }
}

} // namespace

bool DpkgLockWait::isHeldByOther()
{
    return isLockedByOther(kDpkgAdminDir + QStringLiteral("lock-frontend")) ||
           isLockedByOther(kDpkgAdminDir + QStringLiteral("lock"));
}

bool DpkgLockWait::waitForRelease(int limitMs)
{
    if (!isHeldByOther())
        return true;
    QDeadlineTimer deadline(limitMs);
    // Watched before the locks are looked at again: a release in between is
    // seen by that look.
    const int watch = watchLockFileCloses();
    bool released = true;
    while (isHeldByOther()) {
        if (deadline.hasExpired()) {
            released = false;
            break;
        }
        qCDebug(daemonLogCategory) << "other dpkg is running...";
        const qint64 left = deadline.remainingTime(); // -1: no limit
        waitForClose(watch, left < 0 ? kRecheckMs : int(std::min<qint64>(left, kRecheckMs)));
    }
    if (watch >= 0)
        ::close(watch);
    return released;
}

int DpkgLockWait::aptLockTimeoutSeconds(int limitMs)
{
    return std::max(limitMs / 1000, 1);
}

} // namespace AppStore
