#include "apt_utils/updatesrcdirthread.h"

#include "common/daemon_log.h"

#include <utility>

UpdateSrcDirThread::UpdateSrcDirThread(Job job, QObject *parent)
    : MaintenanceThread(std::move(job), parent)
{
    connect(this, &UpdateSrcDirThread::sigStartUpdateSrcDir, this,
            &UpdateSrcDirThread::OnStartUpdateSrcDirSlot, Qt::QueuedConnection);
}

void UpdateSrcDirThread::OnStartUpdateSrcDirSlot()
{
    qCDebug(daemonLogCategory) << "Update source dir";
    startJob();
}
