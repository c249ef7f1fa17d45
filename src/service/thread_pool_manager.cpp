#include "thread_pool_manager.h"

#include "common/daemon_log.h"
#include "utils/worker_thread.h"
#include <QMetaType>

#include <QThread>

ThreadPoolManager *ThreadPoolManager::instance()
{
    return AppStore::LazySingleton<ThreadPoolManager>::instance();
}

ThreadPoolManager::ThreadPoolManager()
{
    qRegisterMetaType<DownloadStateBiData>("DownloadStateBiData");
    m_thread = AppStore::startWorkerThread(this, "ThreadPoolManager");
    connect(this, &ThreadPoolManager::sigAddUploadDownloadTask, this,
            &ThreadPoolManager::onAddUploadDownloadTaskSlot, Qt::QueuedConnection);
}

void ThreadPoolManager::addUploadDownloadTask(DownloadStateBiData data)
{
    emit sigAddUploadDownloadTask(data);
}

// Reports travel through the store-server client; without it the record is
// only logged.
void ThreadPoolManager::onAddUploadDownloadTaskSlot(DownloadStateBiData data)
{
    qCInfo(daemonLogCategory) << "statistics record" << data.type << data.code << data.package_name
                              << data.package_version << data.session_id
                              << "waits for the store-server client";
}

void ThreadPoolManager::stopThread()
{
    AppStore::stopWorkerThread(m_thread);
}
