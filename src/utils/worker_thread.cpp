#include "worker_thread.h"

#include <QObject>
#include <QThread>

namespace AppStore {

QThread *startWorkerThread(QObject *worker, const char *name)
{
    auto *thread = new QThread();
    thread->setObjectName(QString::fromLatin1(name));
    worker->moveToThread(thread);
    thread->start();
    return thread;
}

void stopWorkerThread(QThread *thread)
{
    if (!thread) {
        return;
    }
    thread->requestInterruption();
    thread->quit();
    thread->wait();
}

} // namespace AppStore
