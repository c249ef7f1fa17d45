#pragma once

#include "abstract_task.h"
#include "common/apt_task.h"
#include "common/operation_codes.h"

#include <QMutex>
#include <QRunnable>
#include <QString>
#include <QStringList>

#include <atomic>

class QEventLoop;
class QThread;

namespace AppStore {
class ProcessRunner;
struct ProcessResult;
} // namespace AppStore

// Installs or uninstalls one kapla application through "kapla-cli".
//
// An install has two stages: the tool fetches the application (stop, pause
// and delete requests are honoured: the tool is interrupted and the task ends
// without a finished signal, unless the tool ran to its end anyway), then
// installs it (requests are ignored). The tool gives no sign of the switch,
// so the end of its run stands for both. An uninstall cannot be interrupted
// at all.
//
// The object lives on the thread that created it (the install manager's),
// so the request slots run there. run(), the tool's process and the event
// loop live on a pool thread and are touched only there: a request posts its
// work to that thread. A request and the end of the fetch stage are decided
// under one lock, and exactly one outcome is reported.
//
// Whoever starts it deletes it on its own thread after run() has ended (see
// AbstractTask), so it counts as live work for the idle exit meanwhile.
class KaplaPkgInstAndRmTask : public AbstractTask, public QRunnable
{
    Q_OBJECT
public:
    explicit KaplaPkgInstAndRmTask(const Apt_Task &task, QObject *parent = nullptr);
    ~KaplaPkgInstAndRmTask() override;

    void run() override;
    Apt_Task getTask() const;
    // False once the install stage began, and for an uninstall from the start.
    bool isInterruptible() const;

    // The downloaded size that a "percentage" from the tool stands for: the
    // percentage is taken within [0, 100] (not a number counts as 0), so the
    // result never leaves [0, totalSize].
    static qint64 progressSize(qint64 totalSize, double percentage);

Q_SIGNALS:
    void sigDownloadProgress(QString id, QString packageName, qlonglong totalSize,
                             qlonglong currentSize, QString statusMsg);
    void sigPauseFinished(QString id, QString packageName);
    void sigFinished(QString packageName);
    void sigStartInstall(Apt_Task task);
    void sigStartUninstall(QString id, QString packageName);
    void sigInstallProgress(QString id, QString packageName, qlonglong totalSize,
                            qlonglong currentSize, QString statusMsg);
    void sigInstallFinished(Apt_Task task, bool ok,
                            AppStore::DownloadStatusCode code = AppStore::NoStatusCode);
    void sigUninstallFinished(Apt_Task task, bool ok);
    void sigPkgOperationDataChange(Apt_Task task, QString strAptOperation);
    void sigSendSystemNotification(QString noticeJsonStr);
    void sigPurgeDPkg(Apt_Task task);

public Q_SLOTS:
    void slotStopTask(Apt_Task task);
    void slotPrepareToDeleteTask(Apt_Task task);
    void slotPauseTask(Apt_Task task);
    void slotPausePartTasks(QString id, QStringList packageNames);

private:
    void runTask();
    bool registerRun(QObject *context, QEventLoop *loop, AppStore::ProcessRunner *runner);
    void unregisterRun();
    bool refuseInvalidTask();
    void startInstallTaskWithCli();
    void startUninstallTaskWithCli();
    bool startCli(const QStringList &arguments, int timeLimitMs, bool install);

    void slotReadyReadAllStandardOutput(const QString &line);
    void slotDownloadFinished();
    void slotInstallProcessFinished(const AppStore::ProcessResult &result);
    void slotUninstallProcessFinished(const AppStore::ProcessResult &result);
    bool isAtTaskVersion() const;
    bool isKnownToBeGone() const;
    void finishInstall(bool ok);
    void finishUninstall(bool ok);

    void takeRequest(const QString &sourceId, bool namesThisTask, const char *request, bool pause);
    void settleRequest();
    void cancelJob();
    void interruptProcess();
    void safeDeleteAll();
    void releaseRunObjects();
    void safeDeleteProcess();
    void safeDeleteEventLoop();

    const QString m_sourceId;
    const QString m_packageName;
    const QString m_version;
    const bool m_isInstall;

    Apt_Task m_task;
    mutable QMutex m_taskMutex;

    // Guards the flags' transitions that must not interleave and the
    // pointers to the run's objects below.
    mutable QMutex m_stateMutex;
    // Pool-thread objects, owned by run(); set only while it runs.
    QObject *m_context = nullptr; // receives the work posted from other threads
    QThread *m_runThread = nullptr;
    QEventLoop *m_eventLoop = nullptr;
    AppStore::ProcessRunner *m_process = nullptr;
    bool m_requestIsPause = false; // of the request m_isPaused stands for
    // Pool thread: whether the application was at the task's version before
    // the tool ran (a reinstall or a repair).
    bool m_wasAtTaskVersion = false;

    std::atomic<bool> m_isPaused{false};
    std::atomic<bool> m_isSafeDeleted{false};
    std::atomic<bool> m_isDownloadFinished{false};
    std::atomic<bool> m_isUninterruptible{false};
};
