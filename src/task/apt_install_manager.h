#pragma once

#include "common/apt_task.h"
#include "common/download_state_bi_data.h"
#include "common/operation_codes.h"
#include "common/package_info.h"
#include "common/package_operation.h"
#include "task/hook_data.h"

#include <QHash>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

class AbstractTask;
namespace AppStore {
class DebconfPreseed;
}

class AptDownloadTask;
class EarlyBriefLookup;
class HttpDownloadTask;
class KaplaPkgInstAndRmTask;
class QRunnable;
class QThread;
class QThreadPool;
class QTimer;
class TaskEndRelay;

// The scheduler of every package operation. It lives on a thread of its own
// and runs downloads in one pool and everything that changes the package
// database (installs, removals, repairs) in a second pool of exactly one
// thread, so dpkg is driven by one task at a time.
//
// The client's control requests reach the manager queued on its own thread,
// behind whatever the bus handed it before them. Any other caller may still
// call an operation on its own thread, and the readers run on the caller's;
// the task maps are therefore guarded by m_taskMapMutex and the operation map
// by m_operationMutex, never both at once.
//
// The manager owns every task it starts. A task lives on the manager's
// thread and is deleted there once its run has ended, in the same locked
// step that takes it out of the task map if it is still there; one taken
// back out of a pool before it ran is deleted there too. The task map never
// holds a task that is gone.
class AptInstallManager : public QObject
{
    Q_OBJECT
public:
    explicit AptInstallManager(QObject *parent = nullptr);
    ~AptInstallManager() override;

    void startThread();
    // Drops the tasks still waiting in the pools, waits a bounded time for
    // the running ones, then ends the thread. Afterwards the manager belongs
    // to the calling thread, so that deleteLater() there releases it.
    void stopThread();
    // Any thread, once, when the daemon is asked to stop: takes no new work
    // from now on, takes the queued tasks out of the pools, stops the
    // running downloads and lets the running install or removal end and
    // write its rows. Emits sigShutdownReady when nothing runs any more or
    // after limitMs, whichever comes first; a task still running then is
    // left to the start-up settling of the next run.
    void beginShutdown(int limitMs);

    void setCreateDesktop(bool createDesktop);
    // Handed to every install or purge task started afterwards: how long
    // apt-get may stay silent before its prompt is shown to the client.
    void setPromptSilenceInterval(int milliseconds);

    // Intake of a new task; invoked queued by name from the D-Bus thread.
    Q_INVOKABLE void addDownloadPoolTask(Apt_Task &task);

    // Any thread: the client's answer to a package-tool prompt.
    void sendAptInput(const Apt_Task &task, const QString &input);
    // Any thread: queues a removal to the install pool.
    void addPurgeTask(Apt_Task &task);

    // The client's control requests, queued to the manager's thread by the
    // bus object. A task still waiting in the download pool is taken back out
    // of it; a running one is asked.
    void stopTask(Apt_Task &task);
    void pauseTask(Apt_Task &task);
    void prepareToDeleteTask(Apt_Task &task);
    void pausePartAptTasks(const QString &id, const QStringList &packageNames);

    // Any thread: the client-visible state of the packages in work, as JSON.
    QString getPackageAptOperationInfo(const QString &packageName);
    QStringList getAptOperationList();
    // Once at start, before any intake: settles the history rows of installs
    // that an earlier run of the daemon left unfinished.
    void syncLastInstallingTaskToPauseImply();

    // Installs a package file that is already on this machine ("file://" and
    // an absolute path in downloadLink) without a download: the copy taken
    // into the package cache, which must hold the task's package (and
    // version, when the task names one). Runs on the caller's thread.
    void addLocalInstallTask(Apt_Task &task);

    void startInstallOrRemoveTask(const Apt_Task &task);

    // The maximum thread count of the download pool: half the processors,
    // at least 1, at most 10.
    int downloadThreadCount() const { return m_downloadThreadCount; }

Q_SIGNALS:
    void sigIntallProgress(QString id, QString url, int state, qlonglong total, qlonglong progress,
                           QString statusMsg);
    void sigPurgeFinished(QString id, QString packagename, bool ok);
    void sigStartPurge(QString id, QString packagename);
    void sigPausePartAptTasks(QString id, QStringList packageNames);
    void sigRemoveHookCacheData(QStringList packageNames);
    // A request taken in: the package is the store's own again, whatever the
    // end of a task before it let go of meanwhile.
    void sigHoldHookCacheData(HookData data);
    void sigPauseFinished(QString id, QString packageName);
    void sigAptUpdate(bool isStartup = false);
    void sigPauseRunningTasks(QString id, QStringList packageNames);
    void sigStopRunningTask(Apt_Task task);
    void sigPauseRunningTask(Apt_Task task);
    void sigPrepareDeleteRunningTask(Apt_Task task);
    void sigAptFixFinished(QString packageName, bool isSuccessful);
    void sigStopTask(Apt_Task task);
    void sigPauseTask(Apt_Task task);
    void sigPrepareToDeleteTask(Apt_Task task);
    void sigAddPurgeTask(Apt_Task task);
    void sigAptOperationDataChange(Apt_Task task, QString strAptOperation);
    void sigAptInputReceived(Apt_Task task, QString input);
    void sigRemoveUpdateCacheItem(QString iPacage, QString iVersion = QString());
    void sigAptInstRm(QString packageName, bool operation);
    void sigSendSystemNotification(QString noticeJsonStr);
    void sigShutdownReady();

public Q_SLOTS:
    void OnDownloadProgressSlot(QString id, QString packageName, qlonglong total, qlonglong cursize,
                                QString statusMsg);
    void OnInstallTaskFinishedSlot(Apt_Task data, bool ok, AppStore::DownloadStatusCode code);
    void OnPurgeTaskFinishedSlot(Apt_Task data, bool ok);
    void OnInstallOrRemoveOperationWork(Apt_Task task);
    void OnAptOperationDataChangeSlot(Apt_Task task, QString strAptOperation);
    void OnAptOutputRead(QString id, QString packageName, QString output);
    void addTaskToDb(QString opetation, Apt_Task task);
    void OnInstallProgressSlot(QString id, QString packageName, qlonglong total, qlonglong cursize,
                               QString statusMsg);

private Q_SLOTS:
    void addToRunAptTask(const Apt_Task &task);
    void preseedAhead();
    void addToRunHttpTask(const Apt_Task &task);
    void addToRunKaplaTask(const Apt_Task &task);

private:
    enum class Route { Apt, Http, Kapla, Unhandled };

    static Route routeOf(const Apt_Task &task);
    static QString validationError(const Apt_Task &task);
    void refuseTask(const Apt_Task &task, const QString &reason);
    bool refusedWhileStopping(const QString &packageName) const;
    enum class Intake { Take, InWork, Waits };
    Intake intakeOf(Route route, const Apt_Task &task);
    template<typename Task> void watchEnd(Task *task);
    template<typename Task> void watchHandOver(Task *download);
    bool hasEndedTaskLocked(const QString &packageName) const;
    bool isInstallingLocked(const QString &packageName) const;
    void endInstallStage(const QString &packageName);
    void recordStoreInstall(Apt_Task &task);
    void onNeedAptFix(const QString &packageName);
    void onAptFixResult(const QString &packageName, bool isSuccessful);
    // installPackage: the package an install or removal works on;
    // installing: the package an install works on.
    template<typename Task>
    void startInPoolLocked(Task *task, QThreadPool *pool, int priority,
                           const QString &installPackage = QString(),
                           const QString &installing = QString());
    template<typename Task> void startInInstallPool(Task *install, const Apt_Task &task);
    void startAptInstallTask(const Apt_Task &task);
    void startImmutableTask(const Apt_Task &task);
    void startTarTask(const Apt_Task &task);
    void releaseEndedTask(AbstractTask *task);
    void eraseFromTaskMapsLocked(const AbstractTask *task);
    void takeQueuedTasks();
    void drainOnOwnThread(int limitMs);
    void stopRunningDownloads();
    void checkDrained();
    void finishDrain();
    // info: the package's facts as this completion read them; dpkg is not
    // asked twice within one completion.
    void updateInstallResultToDb(bool ok, const Apt_Task &task, int code, const Package_Info &info);
    // The store's record of a package just installed: announced and added to
    // the published list with the user's role. Waits for the store lookup
    // started with the install, or asks the store now.
    void publishInstalledPackage(const Apt_Task &data);
    void removeOperation(const QString &packageName);
    void releaseHookCache(const QString &packageName);
    void holdHookCache(const Apt_Task &task);
    void teardownOnOwnThread(QThread *nextOwner);

    enum class ControlRequest { Stop, Pause, PrepareDelete };
    void onControlRequest(ControlRequest request, const Apt_Task &task);
    void letGoOf(bool deleteRow, const QString &packageName);
    bool takeAwaitedStop(const QString &packageName);
    void onDownloadOperationDataChange(const Apt_Task &task, const QString &operation);
    bool hasTaskLocked(const QString &packageName) const;
    bool isInInstallStage(const QString &packageName);
    void onPausePartAptTasks(const QString &id, const QStringList &packageNames);
    // A download-pool task taken back before it ran, with its own record;
    // task is null for a request that waited for an ended task to go.
    struct TakenTask
    {
        AbstractTask *task;
        Apt_Task record;
    };
    // running: some task of the package runs and takes running requests;
    // with anyKapla false a kapla task past its download stage does not.
    QList<TakenTask> takeBackTasks(const QString &packageName, bool anyKapla, bool &running);
    template<typename Task>
    void takeBackLocked(QMap<QString, Task *> &map, const QString &packageName,
                        QList<TakenTask> &taken, bool anyKapla, bool &running);
    void pauseTakenTask(Apt_Task record);
    void settleInterruptedInstall(const DownloadStateBiData &record, bool agreeSign);
    void failLocalInstall(const Apt_Task &task, const QString &reason);

    QThread *m_workerThread = nullptr;
    // Written from the D-Bus thread, read on the manager's.
    std::atomic<bool> m_createDesktop{false};
    std::atomic<int> m_promptSilenceMs{300000};
    QThreadPool *m_downloadPool = nullptr;
    int m_downloadThreadCount = 1;
    QThreadPool *m_installPool = nullptr;
    int m_installThreadCount = 1;
    // Set when a pool still ran tasks at teardown: the pools are then left
    // to the ending process rather than waited for without limit.
    bool m_poolsBusyAtTeardown = false;

    // Cleared by beginShutdown() and the teardown; read on every thread.
    std::atomic<bool> m_takingTasks{true};
    bool m_draining = false;
    QTimer *m_drainTimer = nullptr;
    std::shared_ptr<TaskEndRelay> m_endRelay;
    std::unique_ptr<EarlyBriefLookup> m_briefLookup;
    // Shared by every apt install task: answers once given stay given until
    // debconf's database changes.
    std::shared_ptr<AppStore::DebconfPreseed> m_preseed;

    struct PoolSlot
    {
        QRunnable *runnable;
        QThreadPool *pool;
        // Empty for downloads and repairs. The install stage of a package,
        // whoever asked for it, lasts as long as such a task of it is here.
        QString installPackage;
        // Set once a download-pool task is done with its package.
        QString endedPackage;
        // The package an install works on until it reports its end, or that
        // a download has handed to its install: no second request is taken
        // for it meanwhile.
        QString installing;
    };

    QMutex m_taskMapMutex;
    QMap<QString, AptDownloadTask *> m_aptTaskMap;
    QMap<QString, HttpDownloadTask *> m_httpTaskMap;
    QMap<QString, KaplaPkgInstAndRmTask *> m_kaplaTaskMap;
    // Every task started and not yet deleted, with the pool it was given to.
    QHash<AbstractTask *, PoolSlot> m_poolTasks;
    // The packages whose running task was handed a request, until the task
    // reports taking one; true when a stop was among them.
    QHash<QString, bool> m_awaitedRequests;
    // A new request for a package whose task has ended but still winds
    // down; started once that task is gone, at most one per package.
    QHash<QString, Apt_Task> m_waitingRequests;

    QMutex m_operationMutex;
    QMap<QString, AppStore::PackageOperation> m_operationMap;
};
