#include "app_brief_info_interface.h"

#include "common/app_brief_info.h"

#include "utils/worker_thread.h"
#include <QMetaType>

#include <QThread>

AppBriefInfoInterface *AppBriefInfoInterface::instance()
{
    return AppStore::LazySingleton<AppBriefInfoInterface>::instance();
}

AppBriefInfoInterface::AppBriefInfoInterface()
{
    qRegisterMetaType<StoreService::AppBriefInfo>("StoreService::AppBriefInfo");
    m_thread = AppStore::startWorkerThread(this, "AppBriefInfo");
}

void AppBriefInfoInterface::stopThread()
{
    AppStore::stopWorkerThread(m_thread);
}
