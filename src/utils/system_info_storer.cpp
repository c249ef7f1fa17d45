#include "system_info_storer.h"

#include "utils/worker_thread.h"

#include <QThread>

SystemInfoStorer *SystemInfoStorer::instance()
{
    return AppStore::LazySingleton<SystemInfoStorer>::instance();
}

SystemInfoStorer::SystemInfoStorer() {}

void SystemInfoStorer::stopThread()
{
    AppStore::stopWorkerThread(m_thread);
}
