#include "engine_recorder.h"

#include "task/apt_install_manager.h"
#include "test_env.h"

#include <algorithm>

void EngineRecorder::attach(AptInstallManager *manager)
{
    connect(manager, &AptInstallManager::sigIntallProgress, this,
            [this](QString id, QString package, int state, qlonglong total, qlonglong done,
                   QString status) {
                progress.append({id, package, state, total, done, status});
            });
    connect(manager, &AptInstallManager::sigSendSystemNotification, this,
            [this](QString notice) { notifications.append(notice); });
    connect(manager, &AptInstallManager::sigRemoveHookCacheData, this,
            [this](QStringList names) { hookReleases.append(names); });
    connect(manager, &AptInstallManager::sigStartPurge, this,
            [this](QString, QString package) { purgeStarts.append(package); });
    connect(manager, &AptInstallManager::sigPurgeFinished, this,
            [this](QString, QString, bool ok) { purgeResults.append(ok); });
}

EngineProgress EngineRecorder::finalOf(const QString &package) const
{
    for (const EngineProgress &p : progress) {
        if (p.package == package && p.status.contains(QLatin1String("[Session Complete...]")))
            return p;
    }
    return {QString(), package, -1, 0, 0, QString()};
}

bool EngineRecorder::hasProgress(const QString &package, int state) const
{
    return std::any_of(progress.cbegin(), progress.cend(), [&](const EngineProgress &p) {
        return p.package == package && p.state == state;
    });
}

bool EngineRecorder::waitForFinal(const QString &package, int timeoutMs) const
{
    return TestEnv::waitFor([&] { return finalOf(package).state == 1; }, timeoutMs);
}
