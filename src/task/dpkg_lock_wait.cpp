#include "task/dpkg_lock_wait.h"

#include "common/daemon_log.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QString>
#include <QThread>

#include <fcntl.h>
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

} // namespace

bool DpkgLockWait::isHeldByOther()
{
    return isLockedByOther(kDpkgAdminDir + QStringLiteral("lock-frontend")) ||
           isLockedByOther(kDpkgAdminDir + QStringLiteral("lock"));
}

bool DpkgLockWait::waitForRelease(int limitMs)
{
    QDeadlineTimer deadline(limitMs);
    while (isHeldByOther()) {
        if (deadline.hasExpired())
            return false;
        qCDebug(daemonLogCategory) << "other dpkg is running...";
        QThread::sleep(1);
    }
    return true;
}

int DpkgLockWait::aptLockTimeoutSeconds(int limitMs)
{
    return std::max(limitMs / 1000, 1);
}

} // namespace AppStore
