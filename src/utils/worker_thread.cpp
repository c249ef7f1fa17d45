#include "worker_thread.h"

#include "common/daemon_log.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QThread>

#include <atomic>

namespace AppStore {

namespace {

std::atomic<bool> threadLeftRunning{false};

} // namespace

QThread *startWorkerThread(QObject *worker, const char *name)
{
    auto *thread = new QThread();
    thread->setObjectName(QString::fromLatin1(name));
    worker->moveToThread(thread);
    thread->start();
    return thread;
}

bool stopWorkerThread(QThread *thread, int waitMs)
{
    if (!thread) {
        return true;
    }
    thread->requestInterruption();
    thread->quit();
    if (thread->wait(QDeadlineTimer(waitMs))) {
        return true;
    }
    qCWarning(daemonLogCategory).noquote()
        << "worker thread" << thread->objectName() << "did not stop within" << waitMs << "ms";
    noteThreadLeftRunning();
    return false;
}

void noteThreadLeftRunning()
{
    threadLeftRunning = true;
}

bool anyThreadLeftRunning()
{
    return threadLeftRunning;
}

} // namespace AppStore
