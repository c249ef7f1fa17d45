#include "task/predownloadmanager.h"

#include "common/daemon_log.h"
#include "task/aptdownload.h"
#include "utils/worker_thread.h"

#include <QMetaObject>
#include <QMutexLocker>
#include <QSemaphore>
#include <QThread>
#include <QTimer>

#include <memory>

PreDownloadManager::PreDownloadManager(QObject *parent, WorkerFactory workerFactory,
                                       int idealThreadCount)
    : QObject(parent)
    , m_workerFactory(std::move(workerFactory))
    , m_maxParallel(
          workerCountFor(idealThreadCount >= 0 ? idealThreadCount : QThread::idealThreadCount()))
{}

PreDownloadManager::~PreDownloadManager()
{
    // The owner stops the queue first; this only makes sure of it.
    if (m_running || m_thread)
        stop();
}

int PreDownloadManager::workerCountFor(int idealThreadCount)
{
    return qBound(1, idealThreadCount / 2, 10);
}

void PreDownloadManager::start()
{
    {
        QMutexLocker locker(&m_taskLock);
        m_halted = false;
    }
    if (m_running)
        return;
    m_running = true;
    {
        QMutexLocker locker(&m_taskLock);
        m_taskQueue.clear();
    }
    if (!m_thread) {
        m_thread = new QThread();
        m_thread->setObjectName(QStringLiteral("PreDownloadManager"));
        moveToThread(m_thread);
    }
    if (!m_pollTimer) {
        m_pollTimer = new QTimer();
        connect(m_pollTimer, &QTimer::timeout, this, &PreDownloadManager::OnProcessTaskSlot,
                Qt::QueuedConnection);
        m_pollTimer->setInterval(m_pollInterval);
    }
    for (int i = 0; i < m_maxParallel; ++i) {
        AptDownload *worker = makeWorker();
        connect(worker, &AptDownload::sigDownloadProgress, this,
                &PreDownloadManager::OnDownloadProgressSlot, Qt::QueuedConnection);
        connect(worker, &AptDownload::sigAptUpdate, this, &PreDownloadManager::sigAptUpdate,
                Qt::QueuedConnection);
        QMutexLocker locker(&m_taskLock);
        m_workers.append(worker);
    }
    m_thread->start();
    m_pollTimer->start();
}

AptDownload *PreDownloadManager::makeWorker()
{
    return m_workerFactory ? m_workerFactory() : new AptDownload();
}

void PreDownloadManager::stop()
{
    stopPollTimer();
    stopWorkers();
    stopThread();
    m_running = false;
}

void PreDownloadManager::halt()
{
    QMutexLocker locker(&m_taskLock);
    m_halted = true;
    for (AptDownload *worker : std::as_const(m_workers))
        worker->stop();
    m_taskQueue.clear();
}

void PreDownloadManager::stopPollTimer()
{
    if (!m_pollTimer)
        return;
    disconnect(m_pollTimer, &QTimer::timeout, this, &PreDownloadManager::OnProcessTaskSlot);
    if (m_pollTimer->thread() == QThread::currentThread()) {
        delete m_pollTimer;
    } else {
        QMetaObject::invokeMethod(m_pollTimer, &QTimer::stop, Qt::QueuedConnection);
        m_pollTimer->deleteLater();
    }
    m_pollTimer = nullptr;
}

// Each worker's destructor ends its apt-get and joins its thread, both within
// a bound, so nothing the queue started outlives this.
void PreDownloadManager::stopWorkers()
{
    QMutexLocker locker(&m_taskLock);
    for (AptDownload *worker : std::as_const(m_workers)) {
        worker->stop();
        delete worker;
    }
    m_workers.clear();
    m_taskQueue.clear();
}

void PreDownloadManager::stopThread()
{
    if (!m_thread)
        return;
    // Back on the caller's thread the manager can be started again, or
    // destroyed, once its own thread is gone.
    if (!returnToThread(QThread::currentThread()))
        return;
    if (AppStore::stopWorkerThread(m_thread))
        delete m_thread;
    m_thread = nullptr;
}

bool PreDownloadManager::returnToThread(QThread *target)
{
    if (thread() == target)
        return true;
    if (!m_thread->isRunning()) {
        qCWarning(daemonLogCategory) << "PreDownloadManager: its thread ended unexpectedly";
        return false;
    }
    auto moved = std::make_shared<QSemaphore>();
    QMetaObject::invokeMethod(
        this,
        [this, target, moved] {
            moveToThread(target);
            moved->release();
        },
        Qt::QueuedConnection);
    if (moved->tryAcquire(1, AppStore::kWorkerStopWaitMs))
        return true;
    qCWarning(daemonLogCategory) << "PreDownloadManager: its thread did not answer in time";
    return false;
}

bool PreDownloadManager::isRunning() const
{
    return m_running;
}

void PreDownloadManager::addTask(const Apt_Task &task)
{
    QMutexLocker locker(&m_taskLock);
    // A check that looked at the setting before it was switched off.
    if (m_halted)
        return;
    for (const Apt_Task &queued : std::as_const(m_taskQueue)) {
        if (queued.packageName == task.packageName)
            return;
    }
    m_taskQueue.append(task);
}

void PreDownloadManager::removeTask(Apt_Task task)
{
    QMutexLocker locker(&m_taskLock);
    for (AptDownload *worker : std::as_const(m_workers)) {
        if (worker->getTask().packageName == task.packageName) {
            worker->stop();
            break;
        }
    }
    for (qsizetype i = 0; i < m_taskQueue.size(); ++i) {
        if (m_taskQueue.at(i).packageName == task.packageName) {
            m_taskQueue.removeAt(i);
            break;
        }
    }
}

void PreDownloadManager::OnProcessTaskSlot()
{
    QMutexLocker locker(&m_taskLock);
    for (Apt_Task &task : m_taskQueue) {
        if (task.isStarted != 0 || m_workers.isEmpty())
            continue;
        for (AptDownload *worker : std::as_const(m_workers)) {
            if (worker->isBusy())
                continue;
            task.isStarted = 1;
            worker->startDownload(task);
            break;
        }
    }
}

void PreDownloadManager::OnDownloadProgressSlot(QString id, QString packageName, qlonglong total,
                                                qlonglong cursize)
{
    if (cursize != -1 && cursize < total)
        return;
    QMutexLocker locker(&m_taskLock);
    for (qsizetype i = 0; i < m_taskQueue.size(); ++i) {
        const Apt_Task &task = m_taskQueue.at(i);
        if (task.sourceId == id && task.packageName == packageName) {
            m_taskQueue.removeAt(i);
            return;
        }
    }
}
