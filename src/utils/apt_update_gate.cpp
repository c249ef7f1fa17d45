#include "apt_update_gate.h"

#include "common/daemon_log.h"

#include <QMutex>
#include <QMutexLocker>

#include <atomic>

namespace AppStore {

namespace {

// After this many failed updates in a row the gate pauses further updates.
constexpr int kFailuresBeforePause = 3;
constexpr qint64 kPauseSeconds = 299;

QMutex statusMutex;
AptUpdateStatus status{QDateTime::currentDateTime(), 2, false, 0};

QMutex wineMutex;
bool wineInstalling = false;

// Written from the main thread when the setting changes, read by workers.
std::atomic<bool> keepArchives{false};

const char *boolText(bool value)
{
    return value ? "true" : "false";
}

} // namespace

AptUpdateStatus AptUpdateGate::aptUpdateStatus()
{
    QMutexLocker locker(&statusMutex);
    return status;
}

void AptUpdateGate::startAptUpdateTask()
{
    AptUpdateStatus copy;
    {
        QMutexLocker locker(&statusMutex);
        status.state = Enum_AptUpdate_State::Running;
        status.success = false;
        copy = status;
    }
    qCDebug(daemonLogCategory) << "Enum_AptUpdate_State::Running" << copy.lastTime
                               << boolText(copy.success);
}

void AptUpdateGate::AptUpdateFinish(const QDateTime &finishTime, bool success)
{
    {
        QMutexLocker locker(&statusMutex);
        status.state = Enum_AptUpdate_State::Finished;
        status.success = success;
        status.failCount = success ? 0 : status.failCount + 1;
        status.lastTime = finishTime;
    }
    qCDebug(daemonLogCategory) << "Enum_AptUpdate_State::Finished" << finishTime
                               << boolText(success);
}

bool AptUpdateGate::isAptUpdateNeeded()
{
    return isAptUpdateNeededAt(QDateTime::currentDateTime());
}

bool AptUpdateGate::isAptUpdateNeededAt(const QDateTime &now)
{
    const AptUpdateStatus copy = aptUpdateStatus();
    const qint64 elapsed = now.toSecsSinceEpoch() - copy.lastTime.toSecsSinceEpoch();
    qCDebug(daemonLogCategory) << "static bool AppStore::Utils::isAptUpdateNeeded()" << copy.state
                               << boolText(copy.success) << copy.failCount << copy.lastTime
                               << elapsed;

    bool needed = false;
    switch (copy.state) {
    case Enum_AptUpdate_State::Finished:
        needed = copy.success || copy.failCount < kFailuresBeforePause || elapsed > kPauseSeconds;
        break;
    case 2:
        needed = true;
        break;
    default:
        needed = false;
        break;
    }

    if (needed) {
        // The first update after a pause starts a fresh count.
        QMutexLocker locker(&statusMutex);
        status.failCount %= kFailuresBeforePause;
    }
    return needed;
}

void AptUpdateGate::setWineInstalling(bool installing)
{
    QMutexLocker locker(&wineMutex);
    wineInstalling = installing;
}

bool AptUpdateGate::isWineInstalling()
{
    QMutexLocker locker(&wineMutex);
    return wineInstalling;
}

void AptUpdateGate::setKeepArchives(bool keep)
{
    keepArchives.store(keep);
}

bool AptUpdateGate::isKeepArchives()
{
    return keepArchives.load();
}

} // namespace AppStore
