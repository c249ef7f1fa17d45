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
// A step that asks for the configuration after all must not wait for itself.
thread_local bool inStep = false;

} // namespace

void PrivateListsGate::runAside(std::function<void()> step)
{
    {
        QMutexLocker locker(&gateMutex);
        ++stepsRunning;
    }
    QThreadPool::globalInstance()->start([step = std::move(step)] {
        inStep = true;
        step();
        inStep = false;
        QMutexLocker locker(&gateMutex);
        if (--stepsRunning == 0)
            gateOpened.wakeAll();
    });
}

void PrivateListsGate::waitUntilOpen()
{
    if (inStep)
        return;
    QMutexLocker locker(&gateMutex);
    while (stepsRunning > 0)
        gateOpened.wait(&gateMutex);
}

} // namespace AppStore
