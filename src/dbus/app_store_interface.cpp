#include "app_store_interface.h"

#include "service/app_brief_info_interface.h"
#include "service/service.h"
#include "service/upload_hardware.h"

#include "apt_utils/aptcache.h"
#include "apt_utils/aptupdatethread.h"
#include "apt_utils/clearcachedirthread.h"
#include "apt_utils/updatesrcdirthread.h"
#include "common/application_history_row.h"
#include "common/apt_task.h"
#include "common/daemon_log.h"
#include "common/notify_status.h"
#include "common/package_operation.h"
#include "common/system_notify_info.h"
#include "database/appstoredb.h"
#include "database/OnTheShelvesAppTableManager.h"
#include "dbus/broadcast_outbox.h"
#include "dbus/bus_connection_limits.h"
#include "dbus/bus_watchdog.h"
#include "dbus/caller_check.h"
#include "dbus/children_guard_account_interface.h"
#include "dbus/introspection_adaptor.h"
#include "dbus/latest_package_query.h"
#include "dbus/package_history_queries.h"
#include "dbus/properties_adaptor.h"
#include "task/app_upgrade_check.h"
#include "task/apt_install_manager.h"
#include "task/hookcachedata.h"
#include "task/task_manager.h"
#include "task/task_record_builder.h"
#include "utils/bus_argument_checks.h"
#include "utils/caller_log_budget.h"
#include "utils/hardware_info_saver.h"
#include "utils/kapla_gate.h"
#include "utils/package_name_validator.h"
#include "utils/proxy_system.h"
#include "utils/system_info_storer.h"
#include "utils/user_lookup.h"
#include "utils/utils.h"
#include "utils/wine_autostart_watcher.h"
#include "utils/worker_thread.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <climits>

namespace {

const QString kObjectPath = QStringLiteral("/appstore");
const QString kInterfaceName = QStringLiteral("com.tarnwick.daemon.interface");
const QString kServiceName = QStringLiteral("com.tarnwick.daemon");
// dpkg cut off in an unpack can leave a package broken, so a stop waits this
// long for it; the unit's stop time-out lies above it.
constexpr int kShutdownWaitMs = 15 * 60 * 1000;

} // namespace

AppStoreInterface *AppStoreInterface::instance()
{
    return AppStore::LazySingleton<AppStoreInterface>::instance();
}

// Nothing here may touch the database, the package cache or any thread: a
// second daemon builds this object before it learns that the name is taken.
AppStoreInterface::AppStoreInterface()
    : m_upgradeCheckStatus([this](const std::function<void()> &begun) {
        begun();
        Q_EMIT sigGetLocalUpgradeCheckStatus(isLocalUpgradeCheckRunning());
    })
    , m_upgradableCache([this](const std::function<void()> &begun) {
        AppUpgradeCheck *checker = m_appUpgradeCheck;
        if (!checker) {
            begun();
            return;
        }
        // The answer is the checker's sigLocalAppsUpgradeNotify.
        QMetaObject::invokeMethod(
            checker,
            [checker, begun] {
                begun();
                checker->getCacheData();
            },
            Qt::QueuedConnection);
    })
    , m_motherBoard([](const std::function<void()> &begun) {
        begun();
        // Announced by the storer, at once when known, else once it is.
        SystemInfoStorer::instance()->getIsQSMotherBoard();
    })
    , m_wineAutoStart([](const std::function<void()> &begun) {
        // The answer is the watcher's WineAutoStartChanged.
        WineAutoStartWatcher *watcher = WineAutoStartWatcher::instance();
        QMetaObject::invokeMethod(
            watcher,
            [watcher, begun] {
                begun();
                QMetaObject::invokeMethod(watcher, "refreshAutoStartPkgs", Qt::DirectConnection);
            },
            Qt::QueuedConnection);
    })
{
    registerAptTaskMetaType();
}

AppStoreInterface::~AppStoreInterface()
{
    stopWorkers();
}

void AppStoreInterface::startWorkers()
{
    if (m_aptInstallManager)
        return;
    initDatabase();
    // Before the install manager, whose construction asks it for facts.
    SystemInfoStorer::instance()->startThread();
    TaskManager::instance();

    m_updateSrcDirThread = std::make_unique<UpdateSrcDirThread>(&AppStore::Utils::updateSourceDir);
    m_clearCacheDirThread = std::make_unique<ClearCacheDirThread>(&AptCache::cleanPackagesCache);
    // The package cache is cleaned once at every start.
    Q_EMIT m_clearCacheDirThread->sigStartClearCacheDir();
    m_aptUpdateThread = std::make_unique<AptUpdateThread>(&AptCache::AptUpdate);

    // No parent: the manager moves itself to a thread of its own.
    m_aptInstallManager = new AptInstallManager;
    // Rows left "installing" by a crash are settled before anything listens.
    m_aptInstallManager->syncLastInstallingTaskToPauseImply();
    connect(m_aptInstallManager, &AptInstallManager::sigAptUpdate, this,
            &AppStoreInterface::AptUpdateSource);
    wireRequestRoads();

    // The hook ignores the packages the engine handles until it lets go of
    // them: at a final progress, a purge's end or a stop, pause or delete.
    m_hookCacheData = std::make_unique<HookCacheData>();
    m_hookCacheData->followEngine(m_aptInstallManager);
    wireHookCache();

    // No parent: the checker moves itself to a thread of its own.
    m_appUpgradeCheck = new AppUpgradeCheck;
    wireUpgradeCheck();
    m_hookCacheData->startThread();
    m_appUpgradeCheck->start();

    // The store client is first built on the lookup thread, so that its
    // start-up probes keep off the bus thread.
    AppBriefInfoInterface *lookup = AppBriefInfoInterface::instance();
    QMetaObject::invokeMethod(
        lookup, [] { Service::instance(); }, Qt::QueuedConnection);
    m_uploadHardware = std::make_unique<UploadHardware>();
    m_uploadHardware->start();
    startSettingsWorkers();
}

void AppStoreInterface::adoptInstallManager(AptInstallManager *manager)
{
    m_aptInstallManager = manager;
}

// The bus side tells the cache which packages the store handles and what the
// dpkg hook saw; the cache's findings go out on the bus. The cache's own
// signals hand the work to its thread.
void AppStoreInterface::wireHookCache()
{
    HookCacheData *hook = m_hookCacheData.get();
    connect(
        this, &AppStoreInterface::sigInsertHookData, hook,
        [hook](const QString &packageName, int operation) {
            HookData data;
            data.packageName = packageName;
            data.operation = operation;
            Q_EMIT hook->sigInsertData(data);
        },
        Qt::DirectConnection);
    connect(this, &AppStoreInterface::sigDpkgHookOpt, hook, &HookCacheData::sigDpkgHookOpt,
            Qt::DirectConnection);
    connect(hook, &HookCacheData::sigInstallPackageFromHook, this,
            &AppStoreInterface::sigInstallPackageFromHook, Qt::QueuedConnection);
    connect(hook, &HookCacheData::sigRemovePackageFromHook, this,
            &AppStoreInterface::sigRemovePackageFromHook, Qt::QueuedConnection);
}

// The checker's findings go out on the bus and its silent upgrades and index
// refreshes come back as requests. Installs and removals reach the checker
// directly: its thread is busy for a whole check, and a queued report would
// land after the check that needs it.
void AppStoreInterface::wireUpgradeCheck()
{
    AppUpgradeCheck *check = m_appUpgradeCheck;
    connect(check, &AppUpgradeCheck::sigLocalAppsUpgradeNotify, this,
            &AppStoreInterface::sigLocalAppsUpgradeNotify, Qt::QueuedConnection);
    connect(check, &AppUpgradeCheck::sigSilentUpgrade, this, &AppStoreInterface::UpgradePackage,
            Qt::QueuedConnection);
    connect(check, &AppUpgradeCheck::sigAppstoreUpgradeNotify, this,
            &AppStoreInterface::sigAppstoreUpgradeNotify, Qt::QueuedConnection);
    connect(check, &AppUpgradeCheck::sigAptUpdate, this, &AppStoreInterface::AptUpdateSource,
            Qt::QueuedConnection);
    connect(check, &AppUpgradeCheck::sigLocalOnTheShelvesAppChanged, this,
            &AppStoreInterface::sigLocalOnTheShelvesAppChanged, Qt::QueuedConnection);

    connect(m_aptInstallManager, &AptInstallManager::sigRemoveUpdateCacheItem, check,
            &AppUpgradeCheck::removeUpgradableCacheItem, Qt::QueuedConnection);
    connect(m_aptInstallManager, &AptInstallManager::sigAptInstRm, check,
            &AppUpgradeCheck::onAptInstRmReceived, Qt::DirectConnection);
    connect(m_hookCacheData.get(), &HookCacheData::sigRemoveUpdateCacheItem, check,
            &AppUpgradeCheck::removeUpgradableCacheItem, Qt::QueuedConnection);
    connect(m_hookCacheData.get(), &HookCacheData::sigAptInstRm, check,
            &AppUpgradeCheck::onAptInstRmReceived, Qt::DirectConnection);
}

void AppStoreInterface::initDatabase()
{
    AppstoreDb *db = AppstoreDb::instance();
    db->addAllNewColumn();
    QString keepArchives = QStringLiteral("0");
    db->selectSettingByColumnName(QStringLiteral("keepArchives"), keepArchives);
    AppStore::Utils::setKeepArchives(keepArchives == QLatin1String("2"));
}

bool AppStoreInterface::registerDBus()
{
    QDBusConnection bus = QDBusConnection::systemBus();
    // Before any caller can reach the object: what the held calls may take
    // lies far below where the bus library stops reading, in bytes and in
    // the file descriptors callers may attach.
    using AppStore::BusConnectionLimits;
    BusConnectionLimits::setReceiveLimit(bus, AppStore::BusBounds::kReceiveLimit);
    const qint64 files =
        BusConnectionLimits::raiseOpenFileLimit() - AppStore::BusBounds::kFilesOfItsOwn;
    BusConnectionLimits::setReceiveFileLimit(
        bus, qMax<qint64>(files, AppStore::BusBounds::kFilesOfItsOwn));
    const qint64 heldCalls = files / AppStore::BusBounds::kMaxFilesPerMessage;
    if (heldCalls < AppStore::BusBounds::kMaxCallsPerUser)
        qCWarning(daemonLogCategory) << "Only" << qMax<qint64>(heldCalls, 1)
                                     << "calls may be held in all: the open-file limit is low";
    m_calls.limitCallsTo(int(qMin<qint64>(heldCalls, INT_MAX)));
    if (!registerObject(bus)) {
        qCWarning(daemonLogCategory).noquote() << "Error:" << bus.lastError().message();
        return false;
    }
    if (!bus.registerService(kServiceName)) {
        qCWarning(daemonLogCategory).noquote() << "Error:" << bus.lastError().message();
        bus.unregisterObject(kObjectPath);
        return false;
    }
    AppStore::BroadcastOutbox::takeOver(bus, this, kObjectPath, kInterfaceName);
    AppStore::BusWatchdog::watch(bus);
    return true;
}

bool AppStoreInterface::registerObject(QDBusConnection &bus)
{
    const auto options =
        QDBusConnection::ExportScriptableSlots | QDBusConnection::ExportScriptableSignals |
        QDBusConnection::ExportScriptableProperties | QDBusConnection::ExportScriptableInvokables;
    // Qt answers the introspection and property calls itself, at once; the
    // adaptors put them through the queue like every other call. The text
    // Qt gives for the object is asked of it once, in-process, before they
    // take over.
    if (!bus.registerObject(kObjectPath, this, options))
        return false;
    const QDBusMessage introspection = bus.call(QDBusMessage::createMethodCall(
        bus.baseService(), kObjectPath, QStringLiteral("org.freedesktop.DBus.Introspectable"),
        QStringLiteral("Introspect")));
    bus.unregisterObject(kObjectPath);
    if (introspection.type() != QDBusMessage::ReplyMessage)
        return false;
    new AppStore::IntrospectionAdaptor(this, *this, m_calls,
                                       introspection.arguments().value(0).toString());
    new AppStore::PropertiesAdaptor(this, *this, m_calls);
    return bus.registerObject(kObjectPath, this, options | QDBusConnection::ExportAdaptors);
}

QString AppStoreInterface::version() const
{
    return QCoreApplication::applicationVersion();
}

bool AppStoreInterface::appUpgradeCheckStatus() const
{
    return isLocalUpgradeCheckRunning();
}

bool AppStoreInterface::isKaplaSupported() const
{
    return AppStore::KaplaGate::isKaplaSupported(false);
}

void AppStoreInterface::stopWorkers()
{
    // First: the calls use the workers below.
    if (!m_calls.stop(AppStore::BusBounds::kLongCallStopWaitMs))
        AppStore::noteThreadLeftRunning();
    if (AppBriefInfoInterface *lookup = AppBriefInfoInterface::existingInstance())
        lookup->stopThread();
    if (m_uploadHardware)
        m_uploadHardware->stopThread();
    stopSettingsWorkers();
    if (m_aptInstallManager) {
        m_aptInstallManager->stopThread();
        m_aptInstallManager->deleteLater();
        m_aptInstallManager = nullptr;
    }
    // After the engine, whose last completions may still release packages.
    if (m_hookCacheData) {
        m_hookCacheData->stopThread();
        // One whose thread did not end in time still belongs to it and is
        // left to the ending process.
        if (m_hookCacheData->thread() == QThread::currentThread())
            m_hookCacheData.reset();
        else
            m_hookCacheData.release();
    }
    // After the engine and the hook cache, whose last completions still
    // report installs and removals to it.
    stopUpgradeCheck();
    for (MaintenanceThread *thread :
         {static_cast<MaintenanceThread *>(m_aptUpdateThread.get()),
          static_cast<MaintenanceThread *>(m_clearCacheDirThread.get()),
          static_cast<MaintenanceThread *>(m_updateSrcDirThread.get())}) {
        if (thread) {
            thread->stop();
        }
    }
}

void AppStoreInterface::stopUpgradeCheck()
{
    if (!m_appUpgradeCheck)
        return;
    m_appUpgradeCheck->stop();
    // A checker whose thread did not end in time still belongs to that
    // thread and is left to the ending process.
    if (m_appUpgradeCheck->thread() == QThread::currentThread())
        delete m_appUpgradeCheck;
    m_appUpgradeCheck = nullptr;
}

void AppStoreInterface::shutDown()
{
    m_calls.close();
    if (!m_aptInstallManager) {
        QCoreApplication::quit();
        return;
    }
    connect(
        m_aptInstallManager, &AptInstallManager::sigShutdownReady, this,
        [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    m_aptInstallManager->beginShutdown(kShutdownWaitMs);
}

void AppStoreInterface::AptUpdateSource(bool isStartup)
{
    m_calls.checked(*this, AppStore::CallerLevel::Checked,
                    [this, isStartup](const AppStore::BusCaller &caller) {
                        // A start-up update skips the throttle of failed updates; only root and
                        // the daemon's own workers may ask for that.
                        if (m_aptUpdateThread)
                            Q_EMIT m_aptUpdateThread->sigStartAptUpdate(isStartup &&
                                                                        caller.uid == 0);
                    });
}

void AppStoreInterface::UpdateSourceDir()
{
    if (m_updateSrcDirThread)
        Q_EMIT m_updateSrcDirThread->sigStartUpdateSrcDir();
}

void AppStoreInterface::ClearCacheDir()
{
    if (m_clearCacheDirThread)
        Q_EMIT m_clearCacheDirThread->sigStartClearCacheDir();
}

// ---- Install requests, task control and package queries ----

namespace {

using AppStore::BusArgumentChecks;
using AppStore::CallerLevel;
using AppStore::InstallRequestBuilder;
using AppStore::PackageNameValidator;

const QString kSilentUpgradeId = QStringLiteral("SilentUpgrade");
constexpr int kRequestFailedCode = 500;
constexpr int kMaxEchoedLength = 256;

bool isIdArgument(const QString &id)
{
    return !id.isEmpty() && BusArgumentChecks::isPlainText(id, 256);
}

// A Debian package or a kapla application; neither may start with "-", so
// no value reaches a tool as one of its options.
bool isPackageArgument(const QString &name)
{
    return PackageNameValidator::isValidPackageName(name) ||
           PackageNameValidator::isValidKaplaId(name);
}

// The list's usable names; the others are left out with one warning.
QStringList packageArguments(const char *method, const QStringList &names, const QString &sender)
{
    QStringList usable;
    QStringList leftOut;
    for (const QString &name : names)
        (isPackageArgument(name) ? usable : leftOut).append(name);
    BusArgumentChecks::logLeftOut(method, leftOut, sender);
    return usable;
}

QString requestFailedStatus()
{
    AppStore::NotifyStatus status;
    status.code = kRequestFailedCode;
    return notifyStatusToJsonString(status);
}

} // namespace

void AppStoreInterface::logRefused(const char *method, const QStringList &arguments) const
{
    BusArgumentChecks::logRefused(method, arguments, AppStore::callerName(*this));
}

void AppStoreInterface::wireRequestRoads()
{
    AptInstallManager *manager = m_aptInstallManager;
    connect(manager, &AptInstallManager::sigIntallProgress, this,
            &AppStoreInterface::emitInstallProgress, Qt::QueuedConnection);
    connect(manager, &AptInstallManager::sigPauseFinished, this,
            &AppStoreInterface::sigPauseFinished, Qt::QueuedConnection);
    connect(manager, &AptInstallManager::sigPurgeFinished, this,
            &AppStoreInterface::sigRemoveProgress, Qt::QueuedConnection);
    connect(manager, &AptInstallManager::sigStartPurge, this, &AppStoreInterface::sigStartPurge,
            Qt::QueuedConnection);
    connect(manager, &AptInstallManager::sigSendSystemNotification, this,
            &AppStoreInterface::sigSystemNotificationSent, Qt::QueuedConnection);

    SystemInfoStorer *storer = SystemInfoStorer::instance();
    connect(storer, &SystemInfoStorer::getCpuAndBoardInfoFinished, this,
            &AppStoreInterface::sendHardwareFacts, Qt::QueuedConnection);
    connect(storer, &SystemInfoStorer::getIsQSMotherBoardFinished, this,
            &AppStoreInterface::sigGetIsQSMotherBoard, Qt::QueuedConnection);

    // The store's answers to the lookups of the install requests.
    AppBriefInfoInterface *lookup = AppBriefInfoInterface::instance();
    connect(lookup, &AppBriefInfoInterface::sigGetAppBriefInfoFinished, this,
            &AppStoreInterface::InstallPackage);
    connect(lookup, &AppBriefInfoInterface::sigGetAppBriefInfoFailed, this,
            &AppStoreInterface::slotInstallPackageFailed);
}

// Both forms, the narrow one first: clients listen to either.
void AppStoreInterface::emitInstallProgress(const QString &id, const QString &packageName,
                                            int state, qlonglong total, qlonglong progress,
                                            const QString &statusMsg)
{
    Q_EMIT sigIntallProgress(id, packageName, state, static_cast<int>(total),
                             static_cast<int>(progress), statusMsg);
    Q_EMIT sigIntallProgress(id, packageName, state, total, progress, statusMsg);
}

void AppStoreInterface::IntallPackage(const QString &id, const QString &packageInfo)
{
    m_calls.checked(
        *this, CallerLevel::Checked, [this, id, packageInfo](const AppStore::BusCaller &) {
            if (!BusArgumentChecks::isPlainText(id, 256) ||
                !BusArgumentChecks::isPackageInfoSize(packageInfo)) {
                logRefused("void AppStoreInterface::IntallPackage(const QString&, const QString&)",
                           {id, packageInfo.left(256)});
                slotInstallPackageFailed(id, QString());
                return;
            }
            StoreService::AppBriefInfo info;
            info.parseJsonByteArray(packageInfo.trimmed().toUtf8());
            QString channelKey;
            if (!info.package_name.isEmpty()) {
                if (!InstallRequestBuilder::namesDownload(info)) {
                    InstallPackage(id, info);
                    return;
                }
                // Root installs the file: its link and checksum are taken from the
                // store, never from the caller, whose checksum proves nothing.
                qCInfo(daemonLogCategory)
                    << "isSpecificPkg detected, retry getAppBriefInfo for security reason...";
                channelKey = InstallRequestBuilder::channelKey(info);
            } else {
                info.package_name = packageInfo;
            }
            // The name goes into the store's query address.
            if (!isPackageArgument(info.package_name)) {
                logRefused("void AppStoreInterface::IntallPackage(const QString&, const QString&)",
                           {id, info.package_name.left(256)});
                slotInstallPackageFailed(id, info.package_name);
                return;
            }
            Q_EMIT sigStartInstall(id, info.package_name);
            AppBriefInfoInterface::instance()->getAppBriefInfo(id, info.package_name, channelKey);
        });
}

void AppStoreInterface::InstallPackage(const QString &id, const StoreService::AppBriefInfo &info)
{
    InstallRequestBuilder::Request request;
    if (!InstallRequestBuilder::requestFor(id, info, request)) {
        if (AppStore::CallerLogBudget::admit(AppStore::callerName(*this)))
            qCWarning(daemonLogCategory) << "Unhandled pkgInstallMode:" << info.pkgInstallMode;
        slotInstallPackageFailed(id, info.package_name);
        return;
    }
    submitInstallRequest(request);
}

void AppStoreInterface::UpgradePackage(const QString &id, const QString &packageName,
                                       const QString &version, const QString &name, int packageMode,
                                       const QString &icon_url)
{
    InstallRequestBuilder::Request request;
    request.kind = InstallRequestBuilder::Kind::Upgrade;
    request.id = id;
    request.packageName = packageName;
    request.version = version;
    request.name = name;
    request.packageMode = packageMode;
    request.iconUrl = icon_url;
    submitInstallRequest(request);
}

void AppStoreInterface::submitInstallRequest(const InstallRequestBuilder::Request &request)
{
    using Kind = InstallRequestBuilder::Kind;
    const QString refusal = InstallRequestBuilder::refusal(request);
    if (!refusal.isEmpty()) {
        if (AppStore::CallerLogBudget::admit(AppStore::callerName(*this)))
            qCWarning(daemonLogCategory) << InstallRequestBuilder::signature(request.kind)
                                         << refusal << InstallRequestBuilder::arguments(request);
        slotInstallPackageFailed(request.id, request.packageName);
        return;
    }
    qCDebug(daemonLogCategory) << (request.kind == Kind::Upgrade
                                       ? "AppStoreInterface::UpgradePackage"
                                       : "AppStoreInterface::InstallPackage")
                               << InstallRequestBuilder::arguments(request);
    if (!m_aptInstallManager)
        return;

    Apt_Task task = InstallRequestBuilder::task(request);
    // A package file already downloaded may serve when the stored row names
    // the same link and checksum; the row is read before it is replaced.
    if (request.kind == Kind::Specific)
        handleDownloadFailed(task.downloadLink.isEmpty(), task);
    if (request.kind != Kind::Upgrade && request.id != kSilentUpgradeId)
        AppstoreDb::instance()->deleteApplicationHistoryInfo(task.packageName);
    task.uid = AppStore::UserLookup::getLogname(task.loginName);
    if (request.kind == Kind::Channel) {
        const bool filled =
            InstallRequestBuilder::fillChannelPkgInfo(task, request.channelId, request.channelPkgs);
        handleDownloadFailed(!filled, task);
        if (!filled)
            return;
    }
    // The user's own install replaces a pre-download of the same package.
    if (m_appUpgradeCheck && request.kind != Kind::Kapla)
        m_appUpgradeCheck->removePreDownloadTask(task);

    Q_EMIT sigStartInstall(InstallRequestBuilder::startSignalId(request), task.packageName);
    Q_EMIT sigInsertHookData(task.packageName, 0);
    AptInstallManager *manager = m_aptInstallManager;
    QMetaObject::invokeMethod(
        manager, [manager, task]() mutable { manager->addDownloadPoolTask(task); },
        Qt::QueuedConnection);
}

void AppStoreInterface::handleDownloadFailed(bool notify, Apt_Task &task)
{
    AppStore::PackageOperation stored;
    AppstoreDb::instance()->selectApplicationHistoryInfoByName(task.packageName, stored);
    qCDebug(daemonLogCategory) << "compare url:" << stored.downloadLink << task.downloadLink;
    if (stored.downloadLink == task.downloadLink && stored.sh256 == task.sha256)
        task.needRedownload = false;
    if (!notify)
        return;

    ApplicationHistoryRow row =
        AppStore::TaskRecordBuilder::downloadFailureRow(task, kRequestFailedCode, {}, {});
    row.content = QStringLiteral("0");
    row.appSize = QStringLiteral("0");
    AppstoreDb::instance()->updateApplicationHistoryInfo(row);
    emitInstallProgress(task.sourceId, task.packageName, 0, 0, -1, requestFailedStatus());
    SystemNotifyInfo notice;
    notice.opt = 2;
    notice.appName = task.appName;
    notice.packageName = task.packageName;
    notice.logname = task.loginName;
    Q_EMIT sigSystemNotificationSent(systemNotifyInfoToJsonString(notice));
}

void AppStoreInterface::slotInstallPackageFailed(const QString &sourceId,
                                                 const QString &packageName)
{
    // Every listener gets this signal, and a refused name may be the
    // caller's whole text.
    emitInstallProgress(sourceId.left(kMaxEchoedLength), packageName.left(kMaxEchoedLength), 0, 0,
                        -1, requestFailedStatus());
}

Apt_Task AppStoreInterface::controlTask(const QString &id, const QString &packageName)
{
    Apt_Task task;
    task.isStarted = 0;
    task.sourceId = InstallRequestBuilder::rewrittenSourceId(id);
    task.packageName = packageName;
    return task;
}

// A bus caller's request would otherwise be carried out on this thread,
// under the engine's locks, while every other caller waits.
void AppStoreInterface::toEngine(const std::function<void(AptInstallManager &)> &request)
{
    AptInstallManager *manager = m_aptInstallManager;
    if (!AppStore::BusCaller::of(*this).fromBus) {
        request(*manager);
        return;
    }
    QMetaObject::invokeMethod(
        manager, [manager, request] { request(*manager); }, Qt::QueuedConnection);
}

// A history change follows the control requests sent before it, which would
// otherwise write their rows after it; the reply leaves once it is made.
void AppStoreInterface::afterControlRequests(const std::function<void()> &work,
                                             const std::function<void()> &finish)
{
    if (m_aptInstallManager) {
        m_calls.lateOn(m_aptInstallManager, *this, CallerLevel::Checked, work, finish);
        return;
    }
    m_calls.checked(*this, CallerLevel::Checked, [work, finish](const AppStore::BusCaller &) {
        work();
        if (finish)
            finish();
    });
}

void AppStoreInterface::RemovePackage(const QString &id, const QString &packageName,
                                      const QString &appName)
{
    m_calls.checked(
        *this, CallerLevel::Checked, [this, id, packageName, appName](const AppStore::BusCaller &) {
            if (!isIdArgument(id) || !isPackageArgument(packageName) ||
                !BusArgumentChecks::isPlainText(appName)) {
                logRefused("void AppStoreInterface::RemovePackage(const QString&, const "
                           "QString&, const QString&)",
                           {id, packageName, appName});
                return;
            }
            qCDebug(daemonLogCategory) << "AppStoreInterface::RemovePackage" << id << packageName
                                       << BusArgumentChecks::loggable(appName);
            if (!m_aptInstallManager)
                return;
            Apt_Task task = controlTask(id, packageName);
            task.taskType = 1;
            task.appName = appName;
            task.uid = AppStore::UserLookup::getLogname(task.loginName);
            Q_EMIT sigInsertHookData(packageName, 1);
            m_aptInstallManager->addPurgeTask(task);
        });
}

void AppStoreInterface::StopInstallPackage(const QString &id, const QString &packageName)
{
    if (!isIdArgument(id) || !isPackageArgument(packageName)) {
        logRefused("void AppStoreInterface::StopInstallPackage(QString, QString)",
                   {id, packageName});
        return;
    }
    qCDebug(daemonLogCategory) << "AppStoreInterface::StopInstallPackage" << id << packageName;
    if (!m_aptInstallManager)
        return;
    toEngine([task = controlTask(id, packageName)](AptInstallManager &manager) mutable {
        manager.stopTask(task);
    });
}

void AppStoreInterface::PauseInstallPackage(const QString &id, const QString &packageName)
{
    m_calls.checked(
        *this, CallerLevel::Checked, [this, id, packageName](const AppStore::BusCaller &) {
            if (!isIdArgument(id) || !isPackageArgument(packageName)) {
                logRefused("void AppStoreInterface::PauseInstallPackage(QString, QString)",
                           {id, packageName});
                return;
            }
            qCDebug(daemonLogCategory)
                << "AppStoreInterface::PauseInstallPackage" << id << packageName;
            if (!m_aptInstallManager)
                return;
            toEngine([task = controlTask(id, packageName)](AptInstallManager &manager) mutable {
                manager.pauseTask(task);
            });
        });
}

void AppStoreInterface::prepareToDeletePackage(const QString &id, const QString &packageName)
{
    m_calls.checked(
        *this, CallerLevel::Checked, [this, id, packageName](const AppStore::BusCaller &) {
            if (!isIdArgument(id) || !isPackageArgument(packageName)) {
                logRefused("void AppStoreInterface::prepareToDeletePackage(QString, QString)",
                           {id, packageName});
                return;
            }
            qCDebug(daemonLogCategory)
                << "AppStoreInterface::prepareToDeletePackage" << id << packageName;
            if (!m_aptInstallManager)
                return;
            toEngine([task = controlTask(id, packageName)](AptInstallManager &manager) mutable {
                manager.prepareToDeleteTask(task);
            });
        });
}

void AppStoreInterface::ConfigureInstallPackage(const QString &id, const QString &packageName,
                                                const QString &input)
{
    m_calls.checked(
        *this, CallerLevel::Checked, [this, id, packageName, input](const AppStore::BusCaller &) {
            if (!isIdArgument(id) || !isPackageArgument(packageName) || input.isEmpty() ||
                !BusArgumentChecks::isPromptAnswer(input)) {
                logRefused(
                    "void AppStoreInterface::ConfigureInstallPackage(QString, QString, QString)",
                    {id, packageName, input});
                return;
            }
            qCDebug(daemonLogCategory) << "AppStoreInterface::ConfigureInstallPackage" << id
                                       << packageName << BusArgumentChecks::loggable(input);
            if (!m_aptInstallManager)
                return;
            toEngine([task = controlTask(id, packageName), input](AptInstallManager &manager) {
                manager.sendAptInput(task, input);
            });
        });
}

void AppStoreInterface::CancelInstall(const QString &id, const QString &packagename)
{
    // The arguments are judged once the caller is: on the engine's thread.
    const auto valid = std::make_shared<bool>(false);
    AptInstallManager *manager = m_aptInstallManager;
    afterControlRequests(
        [this, manager, id, packagename, valid] {
            if (!isIdArgument(id) || !isPackageArgument(packagename)) {
                logRefused("void AppStoreInterface::CancelInstall(QString, QString)",
                           {id, packagename});
                return;
            }
            qCDebug(daemonLogCategory) << "AppStoreInterface::CancelInstall" << packagename;
            if (!manager)
                return;
            *valid = true;
            // The manager gets the caller's id as sent; only the answer is
            // rewritten.
            Apt_Task task;
            task.sourceId = id;
            task.packageName = packagename;
            Q_EMIT manager->sigAptOperationDataChange(task, QString());
            AppstoreDb::instance()->deleteApplicationHistoryInfo(task.packageName);
        },
        [this, id, packagename, valid] {
            if (*valid)
                Q_EMIT sigCancelInstall(InstallRequestBuilder::rewrittenSourceId(id), packagename);
        });
}

void AppStoreInterface::PausePartAptTasks(const QString &id, const QStringList &packageNames)
{
    m_calls.checked(
        *this, CallerLevel::Checked, [this, id, packageNames](const AppStore::BusCaller &) {
            const char *method = "void AppStoreInterface::PausePartAptTasks(QString, QStringList)";
            const QStringList names =
                packageArguments(method, packageNames, AppStore::callerName(*this));
            if (!isIdArgument(id) || names.isEmpty()) {
                logRefused(method, QStringList{id} + packageNames);
                return;
            }
            if (!m_aptInstallManager)
                return;
            toEngine([id = InstallRequestBuilder::rewrittenSourceId(id),
                      names](AptInstallManager &manager) { manager.pausePartAptTasks(id, names); });
        });
}

void AppStoreInterface::SlotPackageOperationFromHook(const QString &packageName,
                                                     const QString &version,
                                                     const QString &operation)
{
    m_calls.checked(
        *this, CallerLevel::RootOnly,
        [this, packageName, version, operation](const AppStore::BusCaller &) {
            if (!PackageNameValidator::isValidArchQualifiedName(packageName) ||
                (!version.isEmpty() && !PackageNameValidator::isValidVersion(version)) ||
                !BusArgumentChecks::isPlainText(operation, 64)) {
                logRefused("void AppStoreInterface::SlotPackageOperationFromHook(QString, QString, "
                           "QString)",
                           {packageName, version, operation});
                return;
            }
            Q_EMIT sigDpkgHookOpt(packageName, version, operation);
        });
}

void AppStoreInterface::AptInstallKey()
{
    AptCache::ensureStoreKey();
}

void AppStoreInterface::getCacheUpdateInfo()
{
    m_calls.now(*this, [this] { m_upgradableCache.request(); });
}

QStringList AppStoreInterface::GetPackageDesktopFile(const QString &packageName)
{
    if (!isPackageArgument(packageName)) {
        logRefused("QStringList AppStoreInterface::GetPackageDesktopFile(QString)", {packageName});
        return {};
    }
    return m_calls.late<QStringList>(*this, CallerLevel::Open, [packageName] {
        QStringList desktopFiles;
        AptCache::getPackageDesktopFiles(packageName, desktopFiles, 0);
        return desktopFiles;
    });
}

QString AppStoreInterface::GetLocalPackageInfo(const QString &packageName)
{
    if (!isPackageArgument(packageName)) {
        logRefused("QString AppStoreInterface::GetLocalPackageInfo(QString)", {packageName});
        return {};
    }
    return m_calls.late<QString>(*this, CallerLevel::Open, [packageName] {
        QString text;
        AptCache::getLocalPackageInfo(packageName, text, 0);
        return text;
    });
}

QStringList AppStoreInterface::GetLocalPackageList()
{
    return m_calls.late<QStringList>(*this, CallerLevel::Open, [] {
        // The large temporary texts of the listing go back to the system
        // once the daemon is idle.
        QStringList lines;
        AptCache::getLocalPackages(lines);
        return lines;
    });
}

QStringList AppStoreInterface::GetHistoryInstalledPackageList()
{
    return m_calls.now<QStringList>(*this,
                                    [] { return AppStore::PackageHistoryQueries::historyList(); });
}

QStringList AppStoreInterface::GetAptOperationList()
{
    return m_calls.now<QStringList>(*this, [this] {
        return m_aptInstallManager ? m_aptInstallManager->getAptOperationList() : QStringList();
    });
}

QString AppStoreInterface::GetPackageAptOperationInfo(const QString &packageName)
{
    if (!isPackageArgument(packageName)) {
        logRefused("QString AppStoreInterface::GetPackageAptOperationInfo(QString)", {packageName});
        return QString();
    }
    return m_calls.now<QString>(*this, [this, packageName] {
        if (m_aptInstallManager) {
            const QString inWork = m_aptInstallManager->getPackageAptOperationInfo(packageName);
            if (!inWork.isEmpty())
                return inWork;
        }
        return AppStore::PackageHistoryQueries::operationInfo(packageName);
    });
}

void AppStoreInterface::ClearHistoryInstalledPackageList()
{
    afterControlRequests([] { AppstoreDb::instance()->clearApplicationHistoryTable(); });
}

void AppStoreInterface::ClearPartHistoryInstalledPackageList(const QString &id,
                                                             const QStringList &packageNames)
{
    // The arguments are judged once the caller is: on the engine's thread.
    afterControlRequests([this, id, packageNames] {
        const char *method =
            "void AppStoreInterface::ClearPartHistoryInstalledPackageList(QString, QStringList)";
        const QStringList names =
            packageArguments(method, packageNames, AppStore::callerName(*this));
        if (!isIdArgument(id) || names.isEmpty()) {
            logRefused(method, QStringList{id} + packageNames);
            return;
        }
        qCDebug(daemonLogCategory)
            << "AppStoreInterface::ClearPartHistoryInstalledPackageList:" << names.size()
            << "packages, the first:" << names.mid(0, 3);
        AppstoreDb::instance()->deleteApplicationHistoryInfo(names);
    });
}

// ---- end of install requests, task control and package queries ----

// ---- Settings, agreement, hardware, wine autostart, published list ----

namespace {

using AppStore::BusArgumentChecks;
using AppStore::CallerLevel;

// The columns of the setting row: the only node names there are.
const QStringList kSettingNodes = {
    QStringLiteral("createDesktop"),     QStringLiteral("freeDownload"),
    QStringLiteral("onNotice"),          QStringLiteral("serviceVersion"),
    QStringLiteral("privacyVersion"),    QStringLiteral("agreeSign"),
    QStringLiteral("upgradeNoticeTime"), QStringLiteral("keepArchives"),
    QStringLiteral("installFilter"),
};

constexpr int kMaxProxyEnvironmentLength = 64 * 1024;
constexpr qint64 kRepeatAnnouncementMs = 1000;
// Names the open form of the latest package list takes: well above what the
// store client asks for, far below what would keep a worker busy for hours.
constexpr int kMaxOpenLatestNames = 1000;

// A JSON object whose keys and values are all plain, bounded texts.
bool isProxyEnvironment(const QString &environment)
{
    if (environment.size() > kMaxProxyEnvironmentLength)
        return false;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(environment.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!it.value().isString() || !BusArgumentChecks::isPlainText(it.key(), 256) ||
            !BusArgumentChecks::isPlainText(it.value().toString()))
            return false;
    }
    return true;
}

// The owner role of the active seat0 user, which marks the rows written to
// the published-application list.
QString seatOwnerRole()
{
    QString logname;
    AppStore::Utils::getLogname(logname);
    return ChildrenGuardAccountInterface::instance()->getOwnerRole(logname);
}

// Records of the texts that parse and name a package; the rest are left out
// with one warning.
QList<StoreService::AppBriefInfo> acceptedRecords(const QStringList &jsons, const QString &sender)
{
    QList<StoreService::AppBriefInfo> records;
    QStringList leftOut;
    for (const QString &json : jsons) {
        QList<StoreService::AppBriefInfo> parsed;
        if (BusArgumentChecks::isPackageInfoSize(json))
            appBriefInfosFromJsonStrings({json}, parsed);
        if (parsed.size() == 1 &&
            AppStore::PackageNameValidator::isValidPackageName(parsed.first().package_name))
            records.append(parsed.first());
        else
            leftOut.append(json);
    }
    BusArgumentChecks::logLeftOut("published list records", leftOut, sender);
    return records;
}

QStringList acceptedPackageNames(const QStringList &names, const QString &sender)
{
    QStringList accepted;
    QStringList leftOut;
    for (const QString &name : names)
        (AppStore::PackageNameValidator::isValidPackageName(name) ? accepted : leftOut)
            .append(name);
    BusArgumentChecks::logLeftOut("published list names", leftOut, sender);
    return accepted;
}

} // namespace

void AppStoreInterface::startSettingsWorkers()
{
    if (!m_hardwareInfoSaver) {
        m_hardwareInfoSaver = std::make_unique<HardwareInfoSaver>();
        connect(m_hardwareInfoSaver.get(), &HardwareInfoSaver::sigSaveAllFileFinished, this,
                &AppStoreInterface::sigSaveAllHardWareFileFinished, Qt::QueuedConnection);
    }
    connect(WineAutoStartWatcher::instance(), &WineAutoStartWatcher::sigWineAutoStartPkgsChanged,
            this, &AppStoreInterface::WineAutoStartChanged,
            static_cast<Qt::ConnectionType>(Qt::QueuedConnection | Qt::UniqueConnection));
}

void AppStoreInterface::stopSettingsWorkers()
{
    if (m_hardwareInfoSaver)
        m_hardwareInfoSaver->stopThread();
}

bool AppStoreInterface::isLocalUpgradeCheckRunning() const
{
    return m_appUpgradeCheck && m_appUpgradeCheck->getCheckStatus();
}

// The setting row is read once and kept: this object is its only writer,
// and any caller may read it in a loop.
QString AppStoreInterface::readSetting(const QString &nodeName, const QString &emptyValue)
{
    auto known = m_settings.constFind(nodeName);
    if (known == m_settings.cend()) {
        QString value;
        if (!AppstoreDb::instance()->selectSettingByColumnName(nodeName, value))
            return emptyValue;
        known = m_settings.insert(nodeName, value);
    }
    return known->isEmpty() ? emptyValue : *known;
}

bool AppStoreInterface::storeSetting(const QString &nodeName, const QString &value)
{
    QString stored = value;
    if (!AppstoreDb::instance()->updateSettingByColumnName(nodeName, stored)) {
        m_settings.remove(nodeName);
        return false;
    }
    m_settings.insert(nodeName, value);
    return true;
}

void AppStoreInterface::announceSetting(const QString &nodeName, const QString &value, bool changed)
{
    // A burst of reads of one node announces its value once: every listener
    // still learns the current value, and a change goes out at once.
    Announced &last = m_announced[nodeName];
    const bool repeat = !changed && last.value == value && last.at.isValid() &&
                        !last.at.hasExpired(kRepeatAnnouncementMs);
    if (repeat)
        return;
    last.value = value;
    last.at.start();
    Q_EMIT sigConfigNodeStatusChanged(nodeName, value);
}

void AppStoreInterface::applySetting(const QString &nodeName, bool on)
{
    if (nodeName == QLatin1String("freeDownload")) {
        if (m_appUpgradeCheck)
            m_appUpgradeCheck->setFreeDownload(on);
    } else if (nodeName == QLatin1String("createDesktop")) {
        if (m_aptInstallManager)
            m_aptInstallManager->setCreateDesktop(on);
    } else if (nodeName == QLatin1String("keepArchives")) {
        AppStore::Utils::setKeepArchives(on);
    }
}

void AppStoreInterface::CheckAppUpgrade()
{
    m_calls.checked(*this, CallerLevel::Checked, [this](const AppStore::BusCaller &) {
        if (m_appUpgradeCheck && !m_appUpgradeCheck->getCheckStatus())
            m_appUpgradeCheck->startLocalAppsUpgradeCheck();
    });
}

void AppStoreInterface::getLocalUpgradeCheckStatus()
{
    m_calls.now(*this, [this] { m_upgradeCheckStatus.request(); });
}

QStringList AppStoreInterface::GetPackageLatestList(const QStringList &packageNames,
                                                    bool isNeedCheckDB)
{
    const char *method = Q_FUNC_INFO;
    // Only the form that changes the published list asks who calls. Anybody
    // may ask the other form: its list is bounded but for the callers the
    // first form admits, and a list beyond the bound from anyone else is
    // answered empty.
    const bool beyondOpenBound = packageNames.size() > kMaxOpenLatestNames;
    std::function<QStringList()> refusal;
    if (!isNeedCheckDB && beyondOpenBound)
        refusal = [this, method,
                   refused = QStringList{QStringLiteral("%1 names").arg(packageNames.size())} +
                             packageNames.mid(0, 3)] {
            logRefused(method, refused);
            return QStringList();
        };
    const auto changed = std::make_shared<QStringList>();
    const bool checkedForm = isNeedCheckDB || beyondOpenBound;
    // The open form's names are judged before the call is held, which then
    // keeps only what it uses; a checked form's once its caller is admitted.
    const QStringList accepted =
        checkedForm ? QStringList()
                    : LatestPackageQuery::acceptedNames(packageNames, AppStore::callerName(*this));
    const QStringList sent = checkedForm ? packageNames : QStringList();
    return m_calls.late<QStringList>(
        *this, checkedForm ? CallerLevel::Checked : CallerLevel::Open,
        [accepted, sent, checkedForm, isNeedCheckDB, changed, method] {
            const QStringList names = checkedForm
                                          ? LatestPackageQuery::acceptedNames(
                                                sent, AppStore::BusCaller::current().budget())
                                          : accepted;
            const QList<StoreService::AppBriefInfo> records = LatestPackageQuery::fetch(names);
            QStringList result;
            for (const StoreService::AppBriefInfo &record : records)
                result.append(appBriefInfoToJsonString(record));
            qCDebug(daemonLogCategory).noquote()
                << method << result.size() << "records for" << names.size() << "names";
            if (isNeedCheckDB)
                *changed =
                    OnTheShelvesAPPTableManager::instance()->checkUpdateLocalOnTheShelvesTable(
                        records, seatOwnerRole(), false);
            return result;
        },
        [this, changed, method](const QStringList &result) {
            if (!changed->isEmpty()) {
                qCDebug(daemonLogCategory)
                    << method << "Current LocalOnTheShelvesAppTable count:" << changed->size();
                Q_EMIT sigLocalOnTheShelvesAppChanged(*changed);
            }
            // The fresher store records also refresh the upgradable cache.
            if (m_appUpgradeCheck)
                QMetaObject::invokeMethod(m_appUpgradeCheck, "updateUpgradableCacheItem",
                                          Qt::QueuedConnection, Q_ARG(QStringList, result));
        },
        refusal);
}

// The table is locked while a store answer is reconciled with it, which may
// take a while: readers and writers wait on a worker, not on the bus thread.
QStringList AppStoreInterface::GetLocalOnTheShelvesAppInfo()
{
    return m_calls.late<QStringList>(*this, CallerLevel::Open, [] {
        return OnTheShelvesAPPTableManager::instance()->getTheShelvesAPPTableItemJsons();
    });
}

void AppStoreInterface::OperateLocalOnTheShelvesAppDb(int operate,
                                                      const QStringList &needOperateAppList)
{
    m_calls.late(*this, CallerLevel::Checked, [operate, needOperateAppList] {
        const QString sender = AppStore::BusCaller::current().budget();
        OnTheShelvesAPPTableManager *table = OnTheShelvesAPPTableManager::instance();
        if (operate == 0) {
            const QList<StoreService::AppBriefInfo> records =
                acceptedRecords(needOperateAppList, sender);
            if (!records.isEmpty())
                table->insertTheShelvesAPPTableItemDatas(records, seatOwnerRole());
        } else if (operate == 1) {
            const QStringList names = acceptedPackageNames(needOperateAppList, sender);
            if (!names.isEmpty())
                table->deleteTheShelvesAPPTableItems(names);
        }
    });
}

bool AppStoreInterface::getTabInfoIsEmpty(const QString &uri)
{
    if (!BusArgumentChecks::isStoreUri(uri)) {
        logRefused(Q_FUNC_INFO, {uri});
        // A page that cannot be read counts as empty.
        return true;
    }
    return m_calls.late<bool>(*this, CallerLevel::Open,
                              [uri] { return Service::instance()->getTabInfoIsEmpty(uri); });
}

QString AppStoreInterface::GetConfigByNodeName(const QString &nodeName)
{
    if (!kSettingNodes.contains(nodeName)) {
        logRefused(Q_FUNC_INFO, {nodeName});
        return {};
    }
    return m_calls.now<QString>(*this, [this, nodeName] {
        const QString value = readSetting(nodeName);
        // Every listener learns the value of a node that any caller reads.
        announceSetting(nodeName, value, false);
        return value;
    });
}

void AppStoreInterface::SetConfigByNodeName(const QString &nodeName, const QString &parameters)
{
    const char *method = Q_FUNC_INFO;
    m_calls.checked(*this, CallerLevel::Checked,
                    [this, nodeName, parameters, method](const AppStore::BusCaller &) {
                        if (!kSettingNodes.contains(nodeName) ||
                            !BusArgumentChecks::isPlainText(parameters)) {
                            logRefused(method, {nodeName, parameters});
                            return;
                        }
                        // A value that did not reach the database is neither applied nor
                        // announced: the daemon and its listeners keep agreeing with the row.
                        if (!storeSetting(nodeName, parameters))
                            return;
                        applySetting(nodeName, parameters != QLatin1String("0"));
                        announceSetting(nodeName, parameters, true);
                    });
}

QString AppStoreInterface::GetAgreeState()
{
    return m_calls.now<QString>(
        *this, [this] { return readSetting(QStringLiteral("agreeSign"), QStringLiteral("0")); });
}

QString AppStoreInterface::GetAgreeVersion()
{
    return m_calls.now<QString>(*this, [this]() -> QString {
        return readSetting(QStringLiteral("serviceVersion"), QStringLiteral("0")) +
               QLatin1Char('|') +
               readSetting(QStringLiteral("privacyVersion"), QStringLiteral("0"));
    });
}

void AppStoreInterface::setAgreeSign(const QString &state)
{
    const char *method = Q_FUNC_INFO;
    m_calls.checked(*this, CallerLevel::Checked,
                    [this, state, method](const AppStore::BusCaller &) {
                        if (!BusArgumentChecks::isPlainText(state)) {
                            logRefused(method, {state});
                            return;
                        }
                        storeSetting(QStringLiteral("agreeSign"), state);
                    });
}

void AppStoreInterface::setAgreeVersion(const QString &version)
{
    const char *method = Q_FUNC_INFO;
    m_calls.checked(
        *this, CallerLevel::Checked, [this, version, method](const AppStore::BusCaller &) {
            if (!BusArgumentChecks::isPlainText(version)) {
                logRefused(method, {version});
                return;
            }
            const QStringList parts = version.split(QLatin1Char('|'));
            if (parts.size() != 2) {
                if (AppStore::CallerLogBudget::admit(AppStore::callerName(*this)))
                    qCWarning(daemonLogCategory) << "User agreement version format error:"
                                                 << BusArgumentChecks::loggable(version);
                return;
            }
            storeSetting(QStringLiteral("serviceVersion"), parts.at(0));
            storeSetting(QStringLiteral("privacyVersion"), parts.at(1));
        });
}

QString AppStoreInterface::setNiceAndPriority(int priority, int scheduler)
{
    return m_calls.checked<QString>(*this, CallerLevel::Checked,
                                    [this, priority, scheduler](const AppStore::BusCaller &) {
                                        AppStore::Utils::setNiceAndPriority(priority, scheduler);
                                        return AppStore::Utils::getNiceAndPriority();
                                    });
}

QString AppStoreInterface::getNiceAndPriority()
{
    return m_calls.now<QString>(*this, [] { return AppStore::Utils::getNiceAndPriority(); });
}

void AppStoreInterface::GetWineAutoStart()
{
    m_calls.now(*this, [this] { m_wineAutoStart.request(); });
}

void AppStoreInterface::SetWineAutoStart(const QString &packageName, bool operate)
{
    const char *method = Q_FUNC_INFO;
    m_calls.checked(*this, CallerLevel::Checked,
                    [this, packageName, operate, method](const AppStore::BusCaller &) {
                        if (!AppStore::PackageNameValidator::isValidPackageName(packageName)) {
                            logRefused(method, {packageName});
                            return;
                        }
                        WineAutoStartWatcher::instance()->setAutoStartPkg(packageName, operate);
                    });
}

void AppStoreInterface::SetSystemProxy(const QString &userName, const QString &environment)
{
    const char *method = Q_FUNC_INFO;
    m_calls.checked(
        *this, CallerLevel::Checked,
        [this, userName, environment, method](const AppStore::BusCaller &caller) {
            // The proxy of the seat user's runs is that user's own to set.
            uid_t uid = 0;
            gid_t gid = 0;
            if (!BusArgumentChecks::isLoginName(userName) || !isProxyEnvironment(environment) ||
                (caller.uid != 0 &&
                 (!AppStore::UserLookup::getUserIds(userName, uid, gid) || uid != caller.uid))) {
                logRefused(method, {userName, environment});
                return;
            }
            // Root may keep a proxy for any user; it becomes the one of the runs for
            // no named user (index updates) only while that user sits at the seat.
            QString seatUser;
            if (caller.uid == 0)
                AppStore::Utils::getLogname(seatUser);
            ProxySystem::setSystemProxy(userName, environment,
                                        caller.uid != 0 || userName == seatUser);
        });
}

void AppStoreInterface::reportMode(const QString &mode)
{
    if (!BusArgumentChecks::isPlainText(mode, 64)) {
        logRefused(Q_FUNC_INFO, {mode});
        return;
    }
    QString logname;
    AppStore::Utils::getLogname(logname);
    ProxySystem::setMode(logname, mode);
}

void AppStoreInterface::reportManualInfo(const QString &type, const QString &ip,
                                         const QString &port)
{
    if (!BusArgumentChecks::isPlainText(type, 16) || !BusArgumentChecks::isPlainText(ip, 256) ||
        !BusArgumentChecks::isPlainText(port, 16)) {
        logRefused(Q_FUNC_INFO, {type, ip, port});
        return;
    }
    QString logname;
    AppStore::Utils::getLogname(logname);
    ProxySystem::setManual(logname, type, ip, port);
}

QStringList AppStoreInterface::GetCpuAndBoardInfo()
{
    return m_calls.checked<QStringList>(
        *this, CallerLevel::Checked, [this](const AppStore::BusCaller &caller) {
            // Before the storer is asked: a cached answer is announced at once.
            if (caller.fromBus)
                m_hardwareFactsCallers.insert(caller.sender);
            return SystemInfoStorer::instance()->getCpuAndBoardInfo();
        });
}

void AppStoreInterface::sendHardwareFacts(const QStringList &facts)
{
    // The collection at start-up was asked for by no one and goes nowhere.
    for (const QString &caller : std::as_const(m_hardwareFactsCallers)) {
        QDBusMessage answer = QDBusMessage::createTargetedSignal(
            caller, kObjectPath, kInterfaceName, QStringLiteral("sigGetCpuAndBoardInfoFinished"));
        answer << facts;
        QDBusConnection::systemBus().send(answer);
    }
    m_hardwareFactsCallers.clear();
}

int AppStoreInterface::IsQSMainBoard()
{
    return m_calls.now<int>(*this, [this] {
        m_motherBoard.request();
        return SystemInfoStorer::instance()->isQSMotherBoardKnown();
    });
}

void AppStoreInterface::saveHardWareInfo()
{
    m_calls.checked(*this, CallerLevel::Checked, [this](const AppStore::BusCaller &) {
        if (m_hardwareInfoSaver && !m_hardwareInfoSaver->isBusy())
            m_hardwareInfoSaver->saveHardwareInfo();
    });
}

void AppStoreInterface::WakeUpDaemon()
{
    m_calls.checked(*this, CallerLevel::Checked, [this](const AppStore::BusCaller &) {
        AptCache::clearCustomSourceListsCache();
    });
}
