#include "systemdaemonapplication.h"

#include "database/cachedatabase.h"
#include "dbus/app_store_interface.h"
#include "service/app_brief_info_interface.h"
#include "service/thread_pool_manager.h"
#include "utils/caller_log_budget.h"
#include "utils/proxy_system.h"
#include "utils/system_info_storer.h"
#include "utils/utils.h"
#include "utils/wine_autostart_watcher.h"

#include <blogmanager.h>

using Bexa::Core::BLogManager;

SystemDaemonApplication::SystemDaemonApplication(int &argc, char **argv)
    : QCoreApplication(argc, argv)
{
    setOrganizationName(QStringLiteral("velkor"));
    setApplicationName(QStringLiteral("tarnwick-daemon"));
    setApplicationVersion(QStringLiteral(TARNWICK_VERSION));
    connect(this, &QCoreApplication::aboutToQuit, this, &SystemDaemonApplication::slotAboutToQuit);
}

void SystemDaemonApplication::initLog()
{
    BLogManager::registerConsoleAppender();
    BLogManager::registerJournalAppender();
    // What a bus caller's call writes is logged within that caller's budget.
    AppStore::CallerLogBudget::filterLines();
}

// The log file is shared with any daemon that already runs: rotating it
// before the name is owned would move the running daemon's log aside.
void SystemDaemonApplication::initLogFile()
{
    const QString logPath = AppStore::Utils::initLogFilePath();
    if (!logPath.isEmpty()) {
        BLogManager::setlogFilePath(logPath);
    }
    // Past its bound the running log is moved aside as a start moves it.
    BLogManager::setFileSizeBound(AppStore::Utils::MAX_LOG_FILE_BYTES,
                                  &AppStore::Utils::rotateRunningLog);
    BLogManager::registerFileAppender();
}

void SystemDaemonApplication::slotAboutToQuit()
{
    // Only workers that exist are stopped: none is created just for that.
    if (AppBriefInfoInterface *lookup = AppBriefInfoInterface::existingInstance())
        lookup->stopThread();
    CacheDatabase::instance()->stop();
    SystemInfoStorer::instance()->stopThread();
    if (ThreadPoolManager *statistics = ThreadPoolManager::existingInstance())
        statistics->stopThread();
    WineAutoStartWatcher::instance()->stop();
    AppStoreInterface::instance()->stopWorkers();
    ProxySystem::saveProxy();
    AppStore::CallerLogBudget::tellOpenWindows();
}
