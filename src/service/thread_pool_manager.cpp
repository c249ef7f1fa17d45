#include "thread_pool_manager.h"

#include "common/download_state_bi_data.h"

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
}

void ThreadPoolManager::stopThread()
{
    AppStore::stopWorkerThread(m_thread);
}
