#pragma once

#include "common/app_brief_info.h"
#include "dbus/install_request_builder.h"
#include "utils/lazy_singleton.h"

#include <QDBusContext>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class AppUpgradeCheck;
class AptInstallManager;
class AptUpdateThread;
class ClearCacheDirThread;
class UpdateSrcDirThread;
class UploadHardware;

// The daemon's one object on the system bus ("/appstore"), and the owner of
// the long-lived workers. Only members declared scriptable are visible on the
// bus.
class AppStoreInterface : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tarnwick.daemon.interface")
    Q_PROPERTY(QString Version READ version)

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

    QString version() const;

    // Stops the install manager and the maintenance threads; the quit
    // handler calls it on the main thread, since the interface object itself
    // is never destroyed.
    void stopWorkers();

    // Main thread, when the service manager asks the daemon to stop: no new
    // work is taken, a running install or removal may end (at most fifteen
    // minutes), and then the application quits through its quit handler.
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
    Q_SCRIPTABLE void sigGetCpuAndBoardInfoFinished(QStringList resList);
    Q_SCRIPTABLE void sigGetIsQSMotherBoard(int isQSMotherboard);
    Q_SCRIPTABLE void sigSystemNotificationSent(QString noticeJsonStr);

    // Not on the bus: for the hook cache. The store is about to install (0)
    // or remove (1) the package, so dpkg's reports of it are its own; sent
    // before the engine gets the task, which may end at once.
    void sigInsertHookData(QString packageName, int operation);
    // Not on the bus: a checked report of the system's dpkg hook.
    void sigDpkgHookOpt(QString packageName, QString version, QString operation);

private Q_SLOTS:
    void slotInstallPackageFailed(const QString &sourceId, const QString &packageName);

private:
    void wireRequestRoads();
    void submitInstallRequest(const AppStore::InstallRequestBuilder::Request &request);
    void handleDownloadFailed(bool notify, Apt_Task &task);
    void emitInstallProgress(const QString &id, const QString &packageName, int state,
                             qlonglong total, qlonglong progress, const QString &statusMsg);
    // The task of a control request for one package: the caller's id
    // rewritten, nothing else set.
    static Apt_Task controlTask(const QString &id, const QString &packageName);

    // Null until the upgrade checks exist: every call takes the branch of
    // an absent checker.
    AppUpgradeCheck *m_appUpgradeCheck = nullptr;
    // ---- end of install requests, task control and package queries ----

private:
    AppStoreInterface();
    friend class AppStore::LazySingleton<AppStoreInterface>;

    void initDatabase();

    AptInstallManager *m_aptInstallManager = nullptr;
    std::unique_ptr<AptUpdateThread> m_aptUpdateThread;
    std::unique_ptr<UpdateSrcDirThread> m_updateSrcDirThread;
    std::unique_ptr<ClearCacheDirThread> m_clearCacheDirThread;
    std::unique_ptr<UploadHardware> m_uploadHardware;
};
