#include "termination_signal_notifier.h"

#include "common/daemon_log.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Read by the signal handler; an int that a single load reads whole.
volatile std::sig_atomic_t g_writeFd = -1;

void onTerminationSignal(int)
{
    const int savedErrno = errno;
    const int fd = g_writeFd;
    if (fd >= 0) {
        const char byte = 1;
        // A full pipe already holds a pending request.
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

} // namespace

TerminationSignalNotifier::TerminationSignalNotifier(QObject *parent)
    : QObject(parent)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        qCWarning(daemonLogCategory) << "no pipe for SIGTERM:" << qt_error_string(errno);
        return;
    }
    m_readFd = fds[0];
    m_writeFd = fds[1];
    g_writeFd = m_writeFd;
    m_notifier = new QSocketNotifier(m_readFd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignalNotifier::onReadable);

    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    // Interrupted system calls of other threads carry on.
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, &m_previous);
}

TerminationSignalNotifier::~TerminationSignalNotifier()
{
    if (!m_notifier)
        return;
    ::sigaction(SIGTERM, &m_previous, nullptr);
    g_writeFd = -1;
    delete m_notifier;
    ::close(m_readFd);
    ::close(m_writeFd);
}

void TerminationSignalNotifier::onReadable()
{
    char bytes[64];
    while (::read(m_readFd, bytes, sizeof bytes) > 0) {
    }
    if (m_requested) {
        qCInfo(daemonLogCategory) << "SIGTERM again: already stopping";
        return;
    }
    m_requested = true;
    qCInfo(daemonLogCategory) << "SIGTERM: stopping";
    emit terminationRequested();
}
