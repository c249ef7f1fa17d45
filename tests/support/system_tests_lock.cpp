#include "system_tests_lock.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>

namespace SystemTestsLock {

bool acquire()
{
    // The same file the CTest runs lock with flock(1).
    const int fd =
        ::open("/run/lock/tarnwick-daemon-system-tests.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) {
        std::perror("the system tests' lock");
        return false;
    }
    return true;
}

} // namespace SystemTestsLock
