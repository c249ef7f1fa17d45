#include "hardware_info_saver.h"

#include "utils/utils.h"
#include "utils/worker_thread.h"

#include <QDeadlineTimer>
#include <QMutexLocker>
#include <QThread>

#include <algorithm>

namespace {

constexpr int kPauseStepMs = 100;

} // namespace

HardwareInfoSaver::HardwareInfoSaver(QObject *parent)
    : QObject(parent)
{
    startThread();
}

HardwareInfoSaver::~HardwareInfoSaver()
{
    // A thread that has ended runs no deletion any more; one still running
    // (its stop timed out) is left to the process's end.
    if (thread && thread->isFinished())
        delete thread;
    else if (thread)
        thread->deleteLater();
    thread = nullptr;
}

void HardwareInfoSaver::startThread()
{
    if (!thread)
        thread = AppStore::startWorkerThread(this, "HardwareInfoSaver");
}

void HardwareInfoSaver::stopThread()
{
    AppStore::stopWorkerThread(thread);
}

bool HardwareInfoSaver::isBusy()
{
    QMutexLocker locker(&mutex);
    return busy;
}

void HardwareInfoSaver::setBusy(bool value)
{
    QMutexLocker locker(&mutex);
    busy = value;
}

void HardwareInfoSaver::setStartDelay(int milliseconds)
{
    QMutexLocker locker(&mutex);
    startDelayMs = milliseconds;
}

void HardwareInfoSaver::saveHardwareInfo()
{
    QMetaObject::invokeMethod(this, "slotSaveHardwareInfo", Qt::QueuedConnection);
}

void HardwareInfoSaver::slotSaveHardwareInfo()
{
    setBusy(true);
    pauseBeforeRun();
    // Each log is kept only from a complete run of its tool, mode 0600; with
    // no cache folder nothing is written, and the end is announced all the
    // same.
    if (!QThread::currentThread()->isInterruptionRequested())
        AppStore::Utils::saveHardwareInfoFiles();
    setBusy(false);
    Q_EMIT sigSaveAllFileFinished();
}

void HardwareInfoSaver::pauseBeforeRun()
{
    int delayMs = 0;
    {
        QMutexLocker locker(&mutex);
        delayMs = startDelayMs;
    }
    const QDeadlineTimer deadline(delayMs);
    QThread *self = QThread::currentThread();
    while (!deadline.hasExpired() && !self->isInterruptionRequested())
        QThread::msleep(std::min<qint64>(kPauseStepMs, deadline.remainingTime()));
}
