#include "cachedatabase.h"

#include "utils/worker_thread.h"

#include <QThread>

CacheDatabase *CacheDatabase::instance()
{
    return AppStore::LazySingleton<CacheDatabase>::instance();
}

CacheDatabase::CacheDatabase() {}

void CacheDatabase::stop()
{
    AppStore::stopWorkerThread(m_thread);
}
