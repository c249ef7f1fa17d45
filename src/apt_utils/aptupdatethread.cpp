#include "apt_utils/aptupdatethread.h"

#include "common/daemon_log.h"
#include "utils/utils.h"

#include <utility>

AptUpdateThread::AptUpdateThread(Job job, QObject *parent)
    : MaintenanceThread(std::move(job), parent)
{
    connect(this, &AptUpdateThread::sigStartAptUpdate, this, &AptUpdateThread::OnStartAptUpdateSlot,
            Qt::QueuedConnection);
}

void AptUpdateThread::OnStartAptUpdateSlot(bool isStartup)
{
    qCDebug(daemonLogCategory) << "AptUpdateThread start, isClientStartup:" << isStartup;
    if (!isStartup && !AppStore::Utils::isAptUpdateNeeded()) {
        qCDebug(daemonLogCategory) << "No need to run apt-get update";
        return;
    }
    qCInfo(daemonLogCategory) << "Run apt-get update";
    startJob();
}
