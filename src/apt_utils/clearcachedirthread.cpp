#include "apt_utils/clearcachedirthread.h"

#include "common/daemon_log.h"

#include <utility>

ClearCacheDirThread::ClearCacheDirThread(Job job, QObject *parent)
    : MaintenanceThread(std::move(job), parent)
{
    connect(this, &ClearCacheDirThread::sigStartClearCacheDir, this,
            &ClearCacheDirThread::OnStartClearCacheDirSlot, Qt::QueuedConnection);
}

void ClearCacheDirThread::OnStartClearCacheDirSlot()
{
    qCDebug(daemonLogCategory) << "Clear cache dir";
    startJob();
}
