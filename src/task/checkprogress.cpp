#include "checkprogress.h"

#include "common/daemon_log.h"

#include <QCoreApplication>
#include <QFile>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>

CheckProgress::CheckProgress(QObject *parent)
    : QObject(nullptr)
    , thread(new QThread)
{
    // An object with a parent cannot change threads, so the parent's
    // ownership is kept by deleting this object when the parent goes. The
    // call must be direct: a queued one would land on the worker thread,
    // whose end the destructor waits for.
    if (parent)
        connect(
            parent, &QObject::destroyed, this, [this] { delete this; }, Qt::DirectConnection);
    moveToThread(thread);
    createTimer();
    thread->start(QThread::InheritPriority);
}

CheckProgress::~CheckProgress()
{
    releaseTimer();
    endThread();
    delete thread;
}

void CheckProgress::start(const QString &id, const QString &packageName, const QString &filePath,
                          qint64 total)
{
    {
        QMutexLocker locker(&valuesMutex);
        this->id = id;
        this->packageName = packageName;
        this->filePath = filePath;
        this->total = total;
    }
    if (!thread->isRunning())
        thread->start(QThread::InheritPriority);
    if (!timer)
        createTimer();
    timer->start();
}

void CheckProgress::stop()
{
    releaseTimer();
    endThread();
}

void CheckProgress::OnCheckProgressSlot()
{
    QMutexLocker locker(&valuesMutex);
    if (!QFile::exists(filePath))
        return;
    const QString currentId = id;
    const QString currentName = packageName;
    const qint64 currentTotal = total;
    locker.unlock();
    // Only the file's presence is told: cursize 1 stands for "being written".
    Q_EMIT sigDownloadProgress(currentId, currentName, currentTotal, 1);
}

void CheckProgress::createTimer()
{
    timer = new QTimer;
    timer->setInterval(interval);
    connect(timer, &QTimer::timeout, this, &CheckProgress::OnCheckProgressSlot,
            Qt::QueuedConnection);
}

void CheckProgress::releaseTimer()
{
    if (!timer)
        return;
    timer->disconnect(this);
    timer->stop();
    // Deleted at once on its own thread, so that no timer is left behind
    // when the owner's event loop has already ended.
    delete timer;
    timer = nullptr;
}

void CheckProgress::endThread()
{
    if (!thread->isRunning())
        return;
    thread->requestInterruption();
    thread->quit();
    thread->wait();
    // Ticks queued before the timer went would otherwise fire after a restart.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
}
