#include "thread_pool_manager.h"

#include "netretrytask.h"
#include "uploaddownloadstatustask.h"

#include "common/daemon_log.h"
#include "database/appstoredb.h"
#include "utils/worker_thread.h"

#include <QMetaType>
#include <QThread>
#include <QTimer>

namespace {

// A report task sends at most three requests of 5 s each.
constexpr int kPoolStopWaitMs = 20000;

} // namespace

ThreadPoolManager *ThreadPoolManager::instance()
{
    return AppStore::LazySingleton<ThreadPoolManager>::instance();
}

ThreadPoolManager *ThreadPoolManager::existingInstance()
{
    return AppStore::LazySingleton<ThreadPoolManager>::existingInstance();
}

ThreadPoolManager::ThreadPoolManager()
    : QObject(nullptr)
{
    qRegisterMetaType<DownloadStateBiData>("DownloadStateBiData");
    pool.setMaxThreadCount(maxThreadCount);
    connect(this, &ThreadPoolManager::sigAddUploadDownloadTask, this,
            &ThreadPoolManager::onAddUploadDownloadTaskSlot, Qt::QueuedConnection);
    connect(this, &ThreadPoolManager::uploadDownloadTaskResult, this,
            &ThreadPoolManager::onUploadResult, Qt::DirectConnection);
    startThread();
}

ThreadPoolManager::~ThreadPoolManager()
{
    if (thread)
        thread->deleteLater();
    thread = nullptr;
}

void ThreadPoolManager::startThread()
{
    if (thread)
        return;
    thread = AppStore::startWorkerThread(this, "ThreadPoolManager");
    // The timer must belong to a thread with an event loop, whichever thread
    // asked for the manager first (a pool thread has none).
    QMetaObject::invokeMethod(this, &ThreadPoolManager::startReplayTimer, Qt::QueuedConnection);
}

void ThreadPoolManager::startReplayTimer()
{
    if (!timer) {
        timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, &ThreadPoolManager::onReportBiTask);
    }
    timer->start(interval.load());
}

void ThreadPoolManager::setReplayInterval(int milliseconds)
{
    interval = milliseconds;
    QMetaObject::invokeMethod(this, &ThreadPoolManager::startReplayTimer, Qt::QueuedConnection);
}

void ThreadPoolManager::stopThread()
{
    stopping = true;
    AppStore::stopWorkerThread(thread);
    // Reports not started yet are lost with the process; say so.
    if (pool.activeThreadCount() > 0)
        qCInfo(daemonLogCategory) << "Statistics still queued or running at shut-down";
    pool.clear();
    if (!pool.waitForDone(kPoolStopWaitMs)) {
        qCWarning(daemonLogCategory) << "Statistics reports still running at shut-down";
        AppStore::noteThreadLeftRunning();
    }
}

void ThreadPoolManager::addUploadDownloadTask(DownloadStateBiData data)
{
    Q_EMIT sigAddUploadDownloadTask(data);
}

void ThreadPoolManager::onAddUploadDownloadTaskSlot(DownloadStateBiData downloadBiData)
{
    auto *task = new uploadDownloadStatusTask(downloadBiData);
    connect(task, &uploadDownloadStatusTask::taskResult, this,
            &ThreadPoolManager::uploadDownloadTaskResult, Qt::QueuedConnection);
    pool.start(task, 0);
}

void ThreadPoolManager::onReportBiTask()
{
    // Two passes at once would send rows twice.
    if (replayRunning.exchange(true))
        return;
    auto *task = new NetRetryTask();
    connect(
        task, &NetRetryTask::netRetryTaskFinish, this,
        [this] {
            replayRunning = false;
            Q_EMIT netRetryTaskFinish();
        },
        Qt::DirectConnection);
    pool.start(task, 0);
}

void ThreadPoolManager::onUploadResult(bool result)
{
    if (result && AppstoreDb::instance()->getCountReportBi() != 0)
        onReportBiTask();
}
