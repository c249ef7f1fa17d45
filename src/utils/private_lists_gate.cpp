#include "private_lists_gate.h"

#include <QMutex>
#include <QMutexLocker>
#include <QThreadPool>
#include <QWaitCondition>

namespace AppStore {

namespace {

QMutex gateMutex;
QWaitCondition gateOpened;
int stepsRunning = 0;

} // namespace

void PrivateListsGate::runAside(std::function<void()> step)
{
    {
        QMutexLocker locker(&gateMutex);
        ++stepsRunning;
    }
    QThreadPool::globalInstance()->start([step = std::move(step)] {
        step();
        QMutexLocker locker(&gateMutex);
        if (--stepsRunning == 0)
            gateOpened.wakeAll();
    });
}

void PrivateListsGate::waitUntilOpen()
{
    QMutexLocker locker(&gateMutex);
    while (stepsRunning > 0)
        gateOpened.wait(&gateMutex);
}

} // namespace AppStore
