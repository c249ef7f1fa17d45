#pragma once

#include "common/app_brief_info.h"
#include "common/apt_task.h"
#include "common/local_package_entry.h"

#include <QMap>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

class PreDownloadManager;
class QThread;

// The daemon's upgrade checks: the store client's own package and every
// installed application against the store; keeps the upgradable cache, asks
// for silent upgrades of forced updates and feeds the pre-download queue.
// Lives on a worker thread of its own; every slot and invokable runs there,
// except onAptInstRmReceived, which any thread may call.
class AppUpgradeCheck : public QObject
{
    Q_OBJECT

public:
    AppUpgradeCheck();
    ~AppUpgradeCheck() override;

    void start();
    // Bounded: stops the pre-download queue and the worker thread (an
    // interrupted check ends at its next step).
    void stop();
    void startLocalAppsUpgradeCheck();
    bool getCheckStatus();
    void setFreeDownload(bool on);
    void removePreDownloadTask(Apt_Task task);

    bool isUpgradeNeeded(const StoreService::AppBriefInfo &info);
    bool isChannelUpgradeNeeded(const StoreService::AppBriefInfo &info, QString &newVersion);

    // For tests: a queue made elsewhere (start() then makes none); the
    // pause after each store request; the bounds of the apt update waits.
    void setPreDownloadManager(PreDownloadManager *manager);
    void setBatchPause(int milliseconds);
    // The step of both apt update waits.
    void setAptWaitStep(int milliseconds);
    // How long a check waits for an apt update to start, then to end.
    void setAptWaitBounds(int startMilliseconds, int finishMilliseconds);

Q_SIGNALS:
    void sigAppstoreUpgradeNotify(QString info);
    void sigLocalAppsUpgradeNotify(QStringList infos);
    void sigSilentUpgrade(QString id, QString packageName, QString version, QString appName,
                          int packageMode, QString iconUrl);
    void sigAptUpdate(bool isStartup = false);
    void sigLocalOnTheShelvesAppChanged(QStringList infoList);

public Q_SLOTS:
    void updateUpgradableCacheItem(QStringList packageInfoList);
    void removeUpgradableCacheItem(QString packageName, QString version);
    void onAppStoreClientUpgradeCheckSlot();
    void OnLocalAppsUpgradeCheckSlot();
    // Reached by direct connections from the manager's and the hook cache's
    // threads.
    void onAptInstRmReceived(QString packageName, bool operation);

public:
    Q_INVOKABLE void getCacheData();
    Q_INVOKABLE void initUpgradableAppBriefInfos();

private:
    using InstalledMap = QMap<QString, LocalPackageEntry>;
    using RecordMap = QMap<QString, StoreService::AppBriefInfo>;

    // The local-apps check once the gate passed; false when the thread was
    // asked to stop before it ended.
    bool runLocalAppsCheck();
    QStringList queryNames(const LocalPackageList &kapla, const LocalPackageList &noChannelDebs,
                           const LocalPackageList &desktopDebs,
                           const LocalPackageList &channelDebs);
    bool versionPass(const QStringList &names, const InstalledMap &installed,
                     RecordMap &storeInfos);
    bool channelPass(const LocalPackageList &channelDebs, RecordMap &storeInfos);
    // Asks the store about names in batches with a pause after each; every
    // record about a name of its batch goes to storeInfos and to take. False
    // when the thread was asked to stop in a pause.
    bool askStoreInBatches(const QStringList &names, RecordMap &storeInfos,
                           const std::function<void(const StoreService::AppBriefInfo &)> &take);
    void takeVersionRecord(const StoreService::AppBriefInfo &record, const InstalledMap &installed);
    void takeChannelRecord(StoreService::AppBriefInfo record, const InstalledMap &installed);
    void applyInstallsAndRemovals(RecordMap &storeInfos);
    void updateOnTheShelvesTable(const RecordMap &storeInfos);
    QStringList cacheJsons() const;
    void queuePreDownload(const StoreService::AppBriefInfo &record);
    void announceUpgrade(const StoreService::AppBriefInfo &record);
    void emitSilentUpgrade(const StoreService::AppBriefInfo &record);
    // Apt's upgradable packages once a needed index update has ended; empty
    // when none ended within the bounds or it failed.
    QStringList getAptUpgradableList();
    bool waitForAptUpdate();
    // At the start of each check or cache change.
    void readHeldPackages();
    bool isHeld(const QString &packageName) const;
    // One wait step or batch pause; false when the thread is to stop.
    bool pause(int milliseconds);

    bool ownsPreDownloadManager = false;
    QThread *workerThread = nullptr;
    PreDownloadManager *preDownloadManager = nullptr;
    std::atomic_bool freeDownload{false};
    QMap<QString, StoreService::AppBriefInfo> upgradableCache;
    QSet<QString> heldPackages;
    bool heldListRead = false;
    QMap<QString, bool> instRmDuringCheck;
    QMutex statusMutex;
    QMutex checkMutex;
    QMutex instRmMutex;
    std::atomic_bool checkRunning{false};
    bool checkPending = false; // guarded by checkMutex

    std::atomic_int batchPauseMs{500};
    std::atomic_int aptWaitStepMs{1000};
    std::atomic_int aptStartWaitMs{60 * 1000};
    std::atomic_int aptFinishWaitMs{30 * 60 * 1000};
};
