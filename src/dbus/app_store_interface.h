#pragma once

#include "common/app_brief_info.h"
#include "dbus/bus_call_queue.h"
#include "dbus/call_coalescer.h"
#include "dbus/install_request_builder.h"
#include "utils/lazy_singleton.h"

#include <QDBusContext>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class AppUpgradeCheck;
class AptInstallManager;
class AptUpdateThread;
class ClearCacheDirThread;
class HardwareInfoSaver;
class HookCacheData;
class UpdateSrcDirThread;
class UploadHardware;

// The daemon's one object on the system bus ("/appstore"), and the owner of
// the long-lived workers. Only members declared scriptable are visible on the
// bus.
class AppStoreInterface : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tarnwick.daemon.interface")
    Q_PROPERTY(bool AppUpgradeCheckStatus READ appUpgradeCheckStatus)
    Q_PROPERTY(QString Version READ version)
    Q_PROPERTY(bool IsKaplaSupported READ isKaplaSupported)

public:
    static AppStoreInterface *instance();
    ~AppStoreInterface() override;

    // Registers the object, then the service name; false (logged) when
    // either is refused, for instance because another daemon owns the name.
    // Calls that arrive meanwhile wait for the event loop.
    bool registerDBus();
    // Builds the engine and the long-lived workers, settles what a previous
    // run left "installing" and starts the package-cache cleaning. Only for
    // the daemon that owns the name: each of these acts on shared state.
    void startWorkers();
    // Instead of startWorkers: the calls this object forwards go to an engine
    // built elsewhere, and nothing is wired back from it; no other worker
    // runs. The object takes the engine over.
    void adoptInstallManager(AptInstallManager *manager);

    QString version() const;
    // Whether a local upgrade check runs.
    bool appUpgradeCheckStatus() const;
    // The kapla-support answer found earlier; asks nothing new.
    bool isKaplaSupported() const;

    // Stops the install manager and the maintenance threads; the quit
    // handler calls it on the main thread, since the interface object itself
    // is never destroyed.
    void stopWorkers();

    // Whether a call was still at work on a worker when the workers were
    // stopped: the process must then end without destroying what such a
    // call may still use.

    // Main thread, when the service manager asks the daemon to stop: no new
    // work is taken, the calls still waiting for their answer get an error,
    // a running install or removal may end (at most fifteen minutes), and
    // then the application quits through its quit handler.
    void shutDown();

public Q_SLOTS:
    Q_SCRIPTABLE void AptUpdateSource(bool isStartup = false);
    void UpdateSourceDir();
    void ClearCacheDir();

    // ---- Install requests, task control and package queries ----
public Q_SLOTS:
    Q_SCRIPTABLE void PausePartAptTasks(const QString &id, const QStringList &packageNames);
    Q_SCRIPTABLE void IntallPackage(const QString &id, const QString &packageInfo);
    // A silent upgrade asked for by the upgrade checks; not on the bus.
    void UpgradePackage(const QString &id, const QString &packageName, const QString &version,
                        const QString &name, int packageMode, const QString &icon_url);
    Q_SCRIPTABLE void RemovePackage(const QString &id, const QString &packageName,
                                    const QString &appName = QString());
    void StopInstallPackage(const QString &id, const QString &packageName);
    Q_SCRIPTABLE void PauseInstallPackage(const QString &id, const QString &packageName);
    Q_SCRIPTABLE void CancelInstall(const QString &id, const QString &packagename);
    Q_SCRIPTABLE void ConfigureInstallPackage(const QString &id, const QString &packageName,
                                              const QString &input);
    Q_SCRIPTABLE void getCacheUpdateInfo();
    Q_SCRIPTABLE void prepareToDeletePackage(const QString &id, const QString &packageName);
    Q_SCRIPTABLE QStringList GetPackageDesktopFile(const QString &packageName);
    Q_SCRIPTABLE QString GetLocalPackageInfo(const QString &packageName);
    Q_SCRIPTABLE QStringList GetLocalPackageList();
    Q_SCRIPTABLE QStringList GetHistoryInstalledPackageList();
    Q_SCRIPTABLE QStringList GetAptOperationList();
    Q_SCRIPTABLE QString GetPackageAptOperationInfo(const QString &packageName);
    Q_SCRIPTABLE void ClearHistoryInstalledPackageList();
    Q_SCRIPTABLE void ClearPartHistoryInstalledPackageList(const QString &id,
                                                           const QStringList &packageNames);
    Q_SCRIPTABLE void SlotPackageOperationFromHook(const QString &packageName,
                                                   const QString &version,
                                                   const QString &operation);
    // Adds the store's signing key when apt lacks it; blocks while apt-key runs.
    void AptInstallKey();

    // The dispatcher of a store record; also where a store lookup answers.
    void InstallPackage(const QString &id, const StoreService::AppBriefInfo &info);

Q_SIGNALS:
    Q_SCRIPTABLE void sigStartInstall(QString id, QString packageName);
    Q_SCRIPTABLE void sigIntallProgress(QString id, QString packageName, int state, int total,
                                        int progress, QString statusMsg);
    Q_SCRIPTABLE void sigIntallProgress(QString id, QString packageName, int state, qlonglong total,
                                        qlonglong progress, QString statusMsg);
    Q_SCRIPTABLE void sigStartPurge(QString id, QString packagename);
    Q_SCRIPTABLE void sigRemoveProgress(QString id, QString packageName, bool sucess);
    Q_SCRIPTABLE void sigPauseFinished(QString id, QString packagename);
    Q_SCRIPTABLE void sigCancelInstall(QString id, QString packagename);
    // Never emitted, only published: the hardware facts hold serial numbers,
    // so each caller of GetCpuAndBoardInfo gets them in a signal addressed to
    // it alone (sendHardwareFacts).
    Q_SCRIPTABLE void sigGetCpuAndBoardInfoFinished(QStringList resList);
    Q_SCRIPTABLE void sigGetIsQSMotherBoard(int isQSMotherboard);
    Q_SCRIPTABLE void sigSystemNotificationSent(QString noticeJsonStr);
    // Packages dpkg installed or removed outside the store.
    Q_SCRIPTABLE void sigInstallPackageFromHook(QString packageName, QString version, QString size,
                                                QStringList desktopFileList, QString channelId);
    Q_SCRIPTABLE void sigRemovePackageFromHook(QString packageName);
    // Upgrades found by the upgrade checks.
    Q_SCRIPTABLE void sigAppstoreUpgradeNotify(QString info);
    Q_SCRIPTABLE void sigLocalAppsUpgradeNotify(QStringList infos);

    // Not on the bus: for the hook cache. The store is about to install (0)
    // or remove (1) the package, so dpkg's reports of it are its own; sent
    // before the engine gets the task, which may end at once.
    void sigInsertHookData(QString packageName, int operation);
    // Not on the bus: a checked report of the system's dpkg hook.
    void sigDpkgHookOpt(QString packageName, QString version, QString operation);

private Q_SLOTS:
    void slotInstallPackageFailed(const QString &sourceId, const QString &packageName);

private:
    // The object with its methods, and the adaptors that take the standard
    // introspection and property interfaces off Qt's own handling.
    bool registerObject(QDBusConnection &bus);
    // A refusal of the method being worked, logged within its caller's
    // budget.
    void logRefused(const char *method, const QStringList &arguments) const;
    void wireRequestRoads();
    void submitInstallRequest(const AppStore::InstallRequestBuilder::Request &request);
    void handleDownloadFailed(bool notify, Apt_Task &task);
    void emitInstallProgress(const QString &id, const QString &packageName, int state,
                             qlonglong total, qlonglong progress, const QString &statusMsg);
    // The task of a control request for one package: the caller's id
    // rewritten, nothing else set.
    static Apt_Task controlTask(const QString &id, const QString &packageName);
    // Hands a request to the engine: a bus caller's on the engine's own
    // thread, after what was queued there before it; an in-process
    // caller's before the call returns.
    void toEngine(const std::function<void(AptInstallManager &)> &request);
    // A checked request worked on the engine's thread after the control
    // requests sent before it; finish runs here before the reply leaves.
    void afterControlRequests(const std::function<void()> &work,
                              const std::function<void()> &finish = {});

    // Made by startWorkers; null in a daemon that does not own the name.
    AppUpgradeCheck *m_appUpgradeCheck = nullptr;
    void wireUpgradeCheck();
    void stopUpgradeCheck();
    // ---- end of install requests, task control and package queries ----

    // ---- Settings, agreement, hardware, wine autostart, published list ----
public Q_SLOTS:
    Q_SCRIPTABLE void CheckAppUpgrade();
    Q_SCRIPTABLE QStringList GetPackageLatestList(const QStringList &packageNames,
                                                  bool isNeedCheckDB = false);
    Q_SCRIPTABLE QString GetConfigByNodeName(const QString &nodeName);
    Q_SCRIPTABLE void SetConfigByNodeName(const QString &nodeName, const QString &parameters);
    Q_SCRIPTABLE QStringList GetCpuAndBoardInfo();
    Q_SCRIPTABLE void saveHardWareInfo();
    Q_SCRIPTABLE int IsQSMainBoard();
    Q_SCRIPTABLE void WakeUpDaemon();
    Q_SCRIPTABLE QStringList GetLocalOnTheShelvesAppInfo();
    Q_SCRIPTABLE void OperateLocalOnTheShelvesAppDb(int operate,
                                                    const QStringList &needOperateAppList);
    Q_SCRIPTABLE QString setNiceAndPriority(int priority, int scheduler);
    Q_SCRIPTABLE QString getNiceAndPriority();
    Q_SCRIPTABLE bool getTabInfoIsEmpty(const QString &uri);
    void reportMode(const QString &mode);
    void reportManualInfo(const QString &type, const QString &ip, const QString &port);
    Q_SCRIPTABLE void getLocalUpgradeCheckStatus();
    Q_SCRIPTABLE QString GetAgreeState();
    Q_SCRIPTABLE QString GetAgreeVersion();
    Q_SCRIPTABLE void setAgreeVersion(const QString &version);
    Q_SCRIPTABLE void setAgreeSign(const QString &state);
    Q_SCRIPTABLE void GetWineAutoStart();
    Q_SCRIPTABLE void SetWineAutoStart(const QString &packageName, bool operate);
    Q_SCRIPTABLE void SetSystemProxy(const QString &userName, const QString &environment);

Q_SIGNALS:
    Q_SCRIPTABLE void sigConfigNodeStatusChanged(QString nodeName, QString currentStatus);
    Q_SCRIPTABLE void sigLocalOnTheShelvesAppChanged(QStringList infoList);
    Q_SCRIPTABLE void sigSaveAllHardWareFileFinished();
    Q_SCRIPTABLE void sigGetLocalUpgradeCheckStatus(bool isLocalUpgradeCheckRunning);
    Q_SCRIPTABLE void WineAutoStartChanged(QStringList pkgNames);

private:
    // The hardware log saver and the wine autostart watcher, wired to their
    // bus signals.
    void startSettingsWorkers();
    void stopSettingsWorkers();
    bool isLocalUpgradeCheckRunning() const;
    void applySetting(const QString &nodeName, bool on);
    bool storeSetting(const QString &nodeName, const QString &value);
    QString readSetting(const QString &nodeName, const QString &emptyValue = QString());
    // Emits sigConfigNodeStatusChanged, but a read's repeat of the value a
    // second ago only once.
    void announceSetting(const QString &nodeName, const QString &value, bool changed);

    // The storer's facts go to the connections that asked for them since the
    // last answer, and to no one else.
    void sendHardwareFacts(const QStringList &facts);

    std::unique_ptr<HardwareInfoSaver> m_hardwareInfoSaver;
    QHash<QString, QString> m_settings;
    struct Announced
    {
        QString value;
        QElapsedTimer at;
    };
    QHash<QString, Announced> m_announced;
    QSet<QString> m_hardwareFactsCallers;
    // The open calls that broadcast or start work: a flood of them runs each
    // once a second.
    AppStore::CallCoalescer m_upgradeCheckStatus;
    AppStore::CallCoalescer m_upgradableCache;
    AppStore::CallCoalescer m_motherBoard;
    AppStore::CallCoalescer m_wineAutoStart;
    // ---- end of settings, agreement, hardware, wine autostart ----

private:
    AppStoreInterface();
    friend class AppStore::LazySingleton<AppStoreInterface>;

    void initDatabase();
    void wireHookCache();

    AptInstallManager *m_aptInstallManager = nullptr;
    // The calls that wait for their caller's check, for their sender's
    // earlier calls, or for a tool, the network or another thread.
    AppStore::BusCallQueue m_calls;
    std::unique_ptr<AptUpdateThread> m_aptUpdateThread;
    std::unique_ptr<UpdateSrcDirThread> m_updateSrcDirThread;
    std::unique_ptr<ClearCacheDirThread> m_clearCacheDirThread;
    std::unique_ptr<UploadHardware> m_uploadHardware;
    std::unique_ptr<HookCacheData> m_hookCacheData;
};
