#include "task/app_upgrade_check.h"

#include "apt_utils/aptcache.h"
#include "apt_utils/package_protection.h"
#include "common/daemon_log.h"
#include "common/package_info.h"
#include "database/appstoredb.h"
#include "database/OnTheShelvesAppTableManager.h"
#include "dbus/children_guard_account_interface.h"
#include "dbus/hierarchical_control_interface.h"
#include "service/service.h"
#include "task/abstract_task.h"
#include "task/predownloadmanager.h"
#include "utils/utils.h"
#include "utils/worker_thread.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QMutexLocker>
#include <QScopeGuard>
#include <QThread>

#include <malloc.h>

using AppStore::Utils;

namespace {

constexpr int kNamesPerRequest = 50;
constexpr int kForcedUpdate = 2;
constexpr int kDebInstallMode = 1;
constexpr int kKaplaInstallMode = 2;
constexpr int kNoPreDownloadSpecific = 2;
// The apt-update thread is asked again only this often while a check waits.
constexpr qint64 kAptUpdateRequestIntervalMs = 10 * 1000;
const QString kStoreClientPackage = QStringLiteral("velkor-app-store");
const QString kSilentUpgradeId = QStringLiteral("SilentUpgrade");
// Installed-package reads answer in the Debian database unless told otherwise.
constexpr int kAnyPackageMode = 0;

bool interruptionRequested()
{
    return QThread::currentThread()->isInterruptionRequested();
}

// The installed package's channel, or none when the package is not installed.
bool installedPackage(const QString &name, Package_Info &info)
{
    return AptCache::getLocalPackageInfo(name, info, kAnyPackageMode);
}

QString channelVersion(const StoreService::AppBriefInfo &record, const QString &channel)
{
    return record.channelPkgMap.value(channel).pkgVer;
}

} // namespace

AppUpgradeCheck::AppUpgradeCheck()
    : QObject(nullptr)
{
    QString value = QStringLiteral("0");
    AppstoreDb::instance()->selectSettingByColumnName(QStringLiteral("freeDownload"), value);
    freeDownload = value != QLatin1String("0");
}

AppUpgradeCheck::~AppUpgradeCheck()
{
    // A thread that did not stop in time still runs a job of this object: it
    // is left alone rather than destroyed while running.
    if (workerThread && workerThread->isFinished())
        delete workerThread;
}

void AppUpgradeCheck::start()
{
    if (!preDownloadManager) {
        preDownloadManager = new PreDownloadManager();
        ownsPreDownloadManager = true;
        connect(preDownloadManager, &PreDownloadManager::sigAptUpdate, this,
                &AppUpgradeCheck::sigAptUpdate, Qt::QueuedConnection);
        preDownloadManager->start();
    }
    if (!workerThread)
        workerThread = AppStore::startWorkerThread(this, "AppUpgradeCheck");
    QMetaObject::invokeMethod(this, "onAppStoreClientUpgradeCheckSlot", Qt::QueuedConnection);
    QMetaObject::invokeMethod(this, "initUpgradableAppBriefInfos", Qt::QueuedConnection);
}

void AppUpgradeCheck::stop()
{
    // The worker goes first: a check it runs may still hand tasks to the
    // queue, which must not be released under it. As its last act the
    // worker hands this object back, so the caller may delete it.
    if (workerThread && !workerThread->isFinished()) {
        QThread *home = QThread::currentThread();
        connect(
            workerThread, &QThread::finished, this, [this, home] { moveToThread(home); },
            Qt::DirectConnection);
    }
    const bool workerStopped = AppStore::stopWorkerThread(workerThread);
    if (!preDownloadManager)
        return;
    preDownloadManager->stop();
    if (!workerStopped)
        return;
    if (ownsPreDownloadManager)
        preDownloadManager->deleteLater();
    preDownloadManager = nullptr;
}

void AppUpgradeCheck::startLocalAppsUpgradeCheck()
{
    QMutexLocker locker(&checkMutex);
    if (checkPending)
        return;
    checkPending = true;
    QMetaObject::invokeMethod(this, "OnLocalAppsUpgradeCheckSlot", Qt::QueuedConnection);
}

bool AppUpgradeCheck::getCheckStatus()
{
    QMutexLocker locker(&statusMutex);
    return checkRunning;
}

void AppUpgradeCheck::setFreeDownload(bool on)
{
    freeDownload = on;
    if (!preDownloadManager)
        return;
    // Called from the bus thread: switching off only halts, so that the
    // thread never waits on a worker's end.
    if (!on)
        preDownloadManager->halt();
    else
        preDownloadManager->start();
}

void AppUpgradeCheck::removePreDownloadTask(Apt_Task task)
{
    if (preDownloadManager)
        preDownloadManager->removeTask(task);
}

bool AppUpgradeCheck::isUpgradeNeeded(const StoreService::AppBriefInfo &info)
{
    Package_Info installed;
    if (!installedPackage(info.package_name, installed))
        return false;
    return Utils::compareVersion(installed.version, info.package_version) < 0;
}

bool AppUpgradeCheck::isChannelUpgradeNeeded(const StoreService::AppBriefInfo &info,
                                             QString &newVersion)
{
    Package_Info installed;
    if (!installedPackage(info.package_name, installed) || info.channelPkgMap.isEmpty())
        return false;
    const auto channel = info.channelPkgMap.constFind(installed.channel);
    if (channel == info.channelPkgMap.constEnd())
        return false;
    if (Utils::compareVersion(installed.version, channel->pkgVer) >= 0)
        return false;
    newVersion = channel->pkgVer;
    return true;
}

void AppUpgradeCheck::setPreDownloadManager(PreDownloadManager *manager)
{
    preDownloadManager = manager;
    ownsPreDownloadManager = false;
}

void AppUpgradeCheck::setBatchPause(int milliseconds)
{
    batchPauseMs = milliseconds;
}

void AppUpgradeCheck::setAptWaitStep(int milliseconds)
{
    aptWaitStepMs = milliseconds;
}

void AppUpgradeCheck::setAptWaitBounds(int startMilliseconds, int finishMilliseconds)
{
    aptStartWaitMs = startMilliseconds;
    aptFinishWaitMs = finishMilliseconds;
}

void AppUpgradeCheck::updateUpgradableCacheItem(QStringList packageInfoList)
{
    AbstractTask busy;
    const QList<StoreService::AppBriefInfo> records = parseAppBriefInfoList(packageInfoList);
    readHeldPackages();
    for (StoreService::AppBriefInfo record : records) {
        Package_Info installed;
        if (isHeld(record.package_name) || !installedPackage(record.package_name, installed)) {
            upgradableCache.remove(record.package_name);
            continue;
        }
        record.channelId = installed.channel;
        const auto cached = upgradableCache.constFind(record.package_name);
        bool newer = false;
        if (cached == upgradableCache.constEnd())
            newer = Utils::compareVersion(record.package_version, installed.version) > 0;
        else if (!installed.channel.isEmpty())
            newer = Utils::compareVersion(channelVersion(record, installed.channel),
                                          channelVersion(*cached, installed.channel)) > 0;
        else
            newer = Utils::compareVersion(record.package_version, cached->package_version) > 0;
        if (newer)
            upgradableCache.insert(record.package_name, record);
    }
}

void AppUpgradeCheck::removeUpgradableCacheItem(QString packageName, QString version)
{
    AbstractTask busy;
    const auto cached = upgradableCache.constFind(packageName);
    if (cached == upgradableCache.constEnd())
        return;
    Package_Info installed;
    // A package that is gone can no longer be upgraded, whatever was cached.
    if (version.isEmpty() || !installedPackage(packageName, installed)) {
        upgradableCache.remove(packageName);
        return;
    }
    StoreService::AppBriefInfo record = *cached;
    if (!installed.channel.isEmpty()) {
        record.channelId = installed.channel;
        upgradableCache.insert(packageName, record);
        const QString offered = channelVersion(record, installed.channel);
        if (offered.isEmpty() || Utils::compareVersion(offered, installed.version) < 1)
            upgradableCache.remove(packageName);
        return;
    }
    if (Utils::compareVersion(record.package_version, installed.version) < 1) {
        upgradableCache.remove(packageName);
        return;
    }
    record.channelId.clear();
    upgradableCache.insert(packageName, record);
}

void AppUpgradeCheck::onAppStoreClientUpgradeCheckSlot()
{
    AbstractTask busy;
    const QStringList names{kStoreClientPackage};
    QVector<StoreService::AppBriefInfo> records;
    Service::instance()->appUpgradeInfos(names, records);
    Service::instance()->getLocalPackagesInfo(names, records);
    if (!HierarchicalControlInterface::instance()->isAllowed())
        return;
    readHeldPackages();
    for (const StoreService::AppBriefInfo &record : std::as_const(records)) {
        if (!isUpgradeNeeded(record) || isHeld(record.package_name))
            continue;
        if (record.is_forced_update == kForcedUpdate) {
            emitSilentUpgrade(record);
            continue;
        }
        if (record.package_name == kStoreClientPackage)
            emit sigAppstoreUpgradeNotify(appBriefInfoToJsonString(record));
        queuePreDownload(record);
    }
}

void AppUpgradeCheck::OnLocalAppsUpgradeCheckSlot()
{
    AbstractTask busy;
    {
        QMutexLocker locker(&checkMutex);
        checkPending = false;
    }
    if (!HierarchicalControlInterface::instance()->isAllowed() || checkRunning)
        return;
    {
        // Reports left from an earlier check must not leak into this one.
        QMutexLocker locker(&instRmMutex);
        instRmDuringCheck.clear();
        checkRunning = true;
    }
    // Runs after the check's working data went and before the task count
    // ends, so the memory a check used goes back to the system.
    const auto trim = qScopeGuard([] {
        const int trimmed = malloc_trim(0);
        qCDebug(daemonLogCategory)
            << "LocalAppUpgradeCheck::OnLocalAppsUpgradeCheckSlot malloc_trim:" << trimmed;
    });
    if (!runLocalAppsCheck())
        qCDebug(daemonLogCategory) << "App upgrade check interrupted";
    checkRunning = false;
}

bool AppUpgradeCheck::runLocalAppsCheck()
{
    qCDebug(daemonLogCategory) << "App upgrade check start";
    upgradableCache.clear();
    readHeldPackages();

    LocalPackageList kapla;
    LocalPackageList noChannelDebs;
    LocalPackageList desktopDebs;
    LocalPackageList channelDebs;
    const bool kaplaOk = AptCache::getLocalKaplaPkgsWithCli(kapla);
    const bool debsOk = AptCache::getLocalDebianPkgs(noChannelDebs, desktopDebs, channelDebs);
    if (!kaplaOk && !debsOk) {
        emit sigLocalAppsUpgradeNotify(cacheJsons());
        return true;
    }

    const QStringList names = queryNames(kapla, noChannelDebs, desktopDebs, channelDebs);
    if (interruptionRequested())
        return false;
    const InstalledMap installed = AptCache::mergeLocalPkgLists(kapla, noChannelDebs, channelDebs);
    RecordMap storeInfos;
    if (!versionPass(names, installed, storeInfos) || !channelPass(channelDebs, storeInfos))
        return false;
    applyInstallsAndRemovals(storeInfos);
    // Without a single record the store was down or unreadable: bringing the
    // local copy in step with nothing would wipe it.
    if (!storeInfos.isEmpty())
        updateOnTheShelvesTable(storeInfos);
    emit sigLocalAppsUpgradeNotify(cacheJsons());
    return true;
}

QStringList AppUpgradeCheck::queryNames(const LocalPackageList &kapla,
                                        const LocalPackageList &noChannelDebs,
                                        const LocalPackageList &desktopDebs,
                                        const LocalPackageList &channelDebs)
{
    const QStringList aptList = getAptUpgradableList();
    QStringList noChannelNames;
    for (const LocalPackageEntry &entry : noChannelDebs)
        noChannelNames.append(entry.packageName);
    QStringList channelNames;
    for (const LocalPackageEntry &entry : channelDebs)
        channelNames.append(entry.packageName);

    QStringList names;
    for (const LocalPackageEntry &entry : desktopDebs) {
        if (aptList.contains(entry.packageName))
            names.append(entry.packageName);
    }
    const QStringList rows =
        OnTheShelvesAPPTableManager::instance()->getTheShelvesAPPTableItemJsons();
    for (const QString &row : rows) {
        StoreService::AppBriefInfo info;
        info.parseJsonByteArray(row.toUtf8());
        if (!info.package_name.isEmpty() && noChannelNames.contains(info.package_name) &&
            !names.contains(info.package_name))
            names.append(info.package_name);
    }
    for (const LocalPackageEntry &entry : kapla) {
        if (!names.contains(entry.packageName) && !channelNames.contains(entry.packageName))
            names.append(entry.packageName);
    }
    names.sort(Qt::CaseSensitive);
    return names;
}

bool AppUpgradeCheck::versionPass(const QStringList &names, const InstalledMap &installed,
                                  RecordMap &storeInfos)
{
    return askStoreInBatches(names, storeInfos,
                             [this, &installed](const StoreService::AppBriefInfo &record) {
                                 takeVersionRecord(record, installed);
                             });
}

bool AppUpgradeCheck::askStoreInBatches(
    const QStringList &names, RecordMap &storeInfos,
    const std::function<void(const StoreService::AppBriefInfo &)> &take)
{
    for (int first = 0; first < names.size(); first += kNamesPerRequest) {
        const QStringList batch = names.mid(first, kNamesPerRequest);
        QVector<StoreService::AppBriefInfo> records;
        Service::instance()->getLocalPackagesInfo(batch, records);
        for (const StoreService::AppBriefInfo &record : std::as_const(records)) {
            // A record the store sends unasked is not about an installed
            // package, whatever its version says.
            if (!batch.contains(record.package_name))
                continue;
            storeInfos.insert(record.package_name, record);
            take(record);
        }
        if (!pause(batchPauseMs))
            return false;
    }
    return true;
}

void AppUpgradeCheck::takeVersionRecord(const StoreService::AppBriefInfo &record,
                                        const InstalledMap &installed)
{
    const QString installedVersion = installed.value(record.package_name).version;
    if (Utils::compareVersion(record.package_version, installedVersion) <= 0 ||
        isHeld(record.package_name))
        return;
    if (record.is_forced_update == kForcedUpdate) {
        if (record.pkgInstallMode == kDebInstallMode && record.isSpecificPkg == 0)
            emitSilentUpgrade(record);
        else
            qCDebug(daemonLogCategory).noquote()
                << QStringLiteral("Package %1 is_forced_update: %2, version: %3")
                       .arg(record.package_name)
                       .arg(record.is_forced_update)
                       .arg(record.package_version);
        return;
    }
    announceUpgrade(record);
    AppstoreDb::instance()->updateApplicationHistoryInfoByUpgradeCheck(record.package_name,
                                                                       record.package_version);
    upgradableCache.insert(record.package_name, record);
    const bool debQualifies =
        record.pkgInstallMode == kDebInstallMode && record.isSpecificPkg != kNoPreDownloadSpecific;
    const bool otherQualifies =
        record.pkgInstallMode != kDebInstallMode && record.pkgInstallMode != kKaplaInstallMode;
    if (debQualifies || otherQualifies)
        queuePreDownload(record);
}

bool AppUpgradeCheck::channelPass(const LocalPackageList &channelDebs, RecordMap &storeInfos)
{
    QStringList names;
    InstalledMap installed;
    for (const LocalPackageEntry &entry : channelDebs) {
        names.append(entry.packageName);
        installed.insert(entry.packageName, entry);
    }
    return askStoreInBatches(names, storeInfos,
                             [this, &installed](const StoreService::AppBriefInfo &record) {
                                 takeChannelRecord(record, installed);
                             });
}

void AppUpgradeCheck::takeChannelRecord(StoreService::AppBriefInfo record,
                                        const InstalledMap &installed)
{
    record.channelId = installed.value(record.package_name).channel;
    QString newVersion;
    if (!isChannelUpgradeNeeded(record, newVersion) || isHeld(record.package_name))
        return;
    if (record.is_forced_update == kForcedUpdate) {
        qCDebug(daemonLogCategory).noquote()
            << QStringLiteral("Package %1 is_forced_update: %2, version: %3")
                   .arg(record.package_name)
                   .arg(record.is_forced_update)
                   .arg(newVersion);
        return;
    }
    qCDebug(daemonLogCategory).noquote()
        << QStringLiteral("Package %1 channelId: %2").arg(record.package_name, record.channelId)
        << record.channelPkgs;
    announceUpgrade(record);
    upgradableCache.insert(record.package_name, record);
}

void AppUpgradeCheck::applyInstallsAndRemovals(RecordMap &storeInfos)
{
    QMap<QString, bool> changes;
    {
        QMutexLocker locker(&instRmMutex);
        changes.swap(instRmDuringCheck);
    }
    // The store is asked without the lock: the threads that report installs
    // and removals must not wait for it.
    QStringList newInstalls;
    for (auto change = changes.constBegin(); change != changes.constEnd(); ++change) {
        const bool known = storeInfos.contains(change.key());
        if (!known && change.value()) {
            newInstalls.append(change.key());
        } else if (known && !change.value()) {
            storeInfos.remove(change.key());
            upgradableCache.remove(change.key());
        }
    }
    QVector<StoreService::AppBriefInfo> records;
    Service::instance()->getLocalPackagesInfo(newInstalls, records);
    for (const StoreService::AppBriefInfo &record : std::as_const(records)) {
        if (newInstalls.contains(record.package_name))
            storeInfos.insert(record.package_name, record);
    }
}

void AppUpgradeCheck::updateOnTheShelvesTable(const RecordMap &storeInfos)
{
    QString logname;
    Utils::getLogname(logname);
    const QString role = ChildrenGuardAccountInterface::instance()->getOwnerRole(logname);
    const QStringList rows =
        OnTheShelvesAPPTableManager::instance()->checkUpdateLocalOnTheShelvesTable(
            storeInfos.values(), role, true);
    if (rows.isEmpty())
        return;
    qCDebug(daemonLogCategory) << "Current LocalOnTheShelvesAppTable count:" << rows.size();
    emit sigLocalOnTheShelvesAppChanged(rows);
}

QStringList AppUpgradeCheck::cacheJsons() const
{
    QStringList jsons;
    for (const StoreService::AppBriefInfo &record : upgradableCache)
        jsons.append(appBriefInfoToJsonString(record));
    return jsons;
}

void AppUpgradeCheck::queuePreDownload(const StoreService::AppBriefInfo &record)
{
    if (!freeDownload || !preDownloadManager)
        return;
    Apt_Task task;
    task.sourceId = record.id;
    task.packageName = record.package_name;
    // The version stays open: apt fetches its candidate.
    task.spareText1 = record.package_version;
    preDownloadManager->addTask(task);
}

void AppUpgradeCheck::announceUpgrade(const StoreService::AppBriefInfo &record)
{
    if (record.package_name == kStoreClientPackage)
        emit sigAppstoreUpgradeNotify(appBriefInfoToJsonString(record));
}

void AppUpgradeCheck::emitSilentUpgrade(const StoreService::AppBriefInfo &record)
{
    qCDebug(daemonLogCategory).noquote()
        << QStringLiteral("Package %1 is_forced_update: %2, version: %3")
               .arg(record.package_name)
               .arg(record.is_forced_update)
               .arg(record.package_version);
    emit sigSilentUpgrade(kSilentUpgradeId, record.package_name, record.package_version,
                          record.name, record.package_mode, record.icon_url);
}

QStringList AppUpgradeCheck::getAptUpgradableList()
{
    if (!waitForAptUpdate() || !Utils::aptUpdateStatus().success)
        return {};
    const QPair<bool, QList<QString>> listed = AptCache::getAptUpgradableList();
    return listed.first ? QStringList(listed.second) : QStringList();
}

bool AppUpgradeCheck::waitForAptUpdate()
{
    AppStore::AptUpdateStatus status = Utils::aptUpdateStatus();
    const QDateTime lastEnd = status.lastTime;
    bool needed = Utils::isAptUpdateNeeded();
    const QDeadlineTimer startDeadline(aptStartWaitMs.load());
    QElapsedTimer sinceRequest;
    // An update that ran to its end between two looks counts as started.
    while (needed && status.state != AppStore::Running &&
           !(status.state == AppStore::Finished && status.lastTime != lastEnd)) {
        if (!sinceRequest.isValid() || sinceRequest.elapsed() >= kAptUpdateRequestIntervalMs) {
            emit sigAptUpdate(false);
            sinceRequest.start();
        }
        if (startDeadline.hasExpired()) {
            qCWarning(daemonLogCategory) << "No apt update started in time; apt's list is left out";
            return false;
        }
        if (!pause(aptWaitStepMs))
            return false;
        qCDebug(daemonLogCategory) << "Waiting for Apt Update Task started...";
        status = Utils::aptUpdateStatus();
        needed = Utils::isAptUpdateNeeded();
    }
    qCDebug(daemonLogCategory) << "isAptUpdateNeeded =" << needed
                               << "Enum_AptUpdate_State::" << status.state;
    const QDeadlineTimer finishDeadline(aptFinishWaitMs.load());
    while (status.state != AppStore::Finished) {
        if (finishDeadline.hasExpired()) {
            qCWarning(daemonLogCategory) << "The apt update did not end in time; apt's list is "
                                            "left out";
            return false;
        }
        if (!pause(aptWaitStepMs))
            return false;
        qCDebug(daemonLogCategory) << "Waiting for Apt Update Task finished...";
        status = Utils::aptUpdateStatus();
    }
    return true;
}

void AppUpgradeCheck::readHeldPackages()
{
    heldListRead = AppStore::PackageProtection::heldPackages(heldPackages);
    if (!heldListRead)
        qCWarning(daemonLogCategory) << "The administrator's holds could not be read: no upgrade "
                                        "is offered, installed silently or downloaded ahead "
                                        "this round";
}

// The administrator's hold keeps a package as it is: no upgrade of it is
// announced, cached, downloaded ahead or installed silently. Without the list
// of holds any package may be held.
bool AppUpgradeCheck::isHeld(const QString &packageName) const
{
    if (!heldListRead)
        return true;
    if (!heldPackages.contains(packageName))
        return false;
    qCInfo(daemonLogCategory) << packageName << "is held by the administrator: no upgrade offered";
    return true;
}

bool AppUpgradeCheck::pause(int milliseconds)
{
    if (milliseconds > 0)
        QThread::msleep(static_cast<unsigned long>(milliseconds));
    return !interruptionRequested();
}

void AppUpgradeCheck::onAptInstRmReceived(QString packageName, bool operation)
{
    QMutexLocker locker(&instRmMutex);
    if (!checkRunning)
        return;
    instRmDuringCheck.insert(packageName, operation);
}

void AppUpgradeCheck::getCacheData()
{
    if (!HierarchicalControlInterface::instance()->isAllowed()) {
        emit sigLocalAppsUpgradeNotify({});
        return;
    }
    emit sigLocalAppsUpgradeNotify(cacheJsons());
}

void AppUpgradeCheck::initUpgradableAppBriefInfos()
{
    const QStringList rows =
        OnTheShelvesAPPTableManager::instance()->getTheShelvesAPPTableItemJsons();
    readHeldPackages();
    for (const QString &row : rows) {
        StoreService::AppBriefInfo record;
        record.parseJsonByteArray(row.toUtf8());
        Package_Info installed;
        if (isHeld(record.package_name) || !installedPackage(record.package_name, installed))
            continue;
        const QString offered = installed.channel.isEmpty()
                                    ? record.package_version
                                    : channelVersion(record, installed.channel);
        if (!offered.isEmpty() && Utils::compareVersion(offered, installed.version) > 0)
            upgradableCache.insert(record.package_name, record);
    }
}
