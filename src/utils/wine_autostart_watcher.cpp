#include "wine_autostart_watcher.h"

#include "utils/worker_thread.h"

#include <QThread>

WineAutoStartWatcher *WineAutoStartWatcher::instance()
{
    return AppStore::LazySingleton<WineAutoStartWatcher>::instance();
}

WineAutoStartWatcher::WineAutoStartWatcher()
{
    m_thread = AppStore::startWorkerThread(this, "WineAutoStart");
}

void WineAutoStartWatcher::stop()
{
    AppStore::stopWorkerThread(m_thread);
}
