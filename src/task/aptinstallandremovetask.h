#pragma once

#include "apt_utils/pending_shortcut_removal.h"
#include "common/apt_task.h"
#include "common/operation_codes.h"
#include "task/abstract_task.h"
#include "task/bounded_output.h"
#include "task/debconf_preseed.h"
#include "task/dpkg_lock_wait.h"
#include "task/guarded_repair.h"
#include "utils/process_runner.h"
#include "utils/side_query.h"

#include <QAtomicInteger>
#include <QMutex>
#include <QProcess>
#include <QRunnable>
#include <QString>
#include <QStringDecoder>

#include <memory>

class QEventLoop;
class QTimer;

// Installs one downloaded Debian package with apt-get, or purges one installed
// package, in the one-thread install pool. apt-get runs as a child of the
// task's pool thread; its standard output becomes install progress and output
// messages, a silence of the child is taken for a package-tool prompt waiting
// for an answer, and failed runs are repaired and retried within fixed limits.
//
// Every object the run creates (child process, silence timer, event loop)
// lives on the pool thread and is touched only there. Prompt answers arrive
// on the thread that relays them and are queued to the pool thread.
class AptInstallAndRemoveTask : public AbstractTask, public QRunnable
{
    Q_OBJECT
public:
    explicit AptInstallAndRemoveTask(const Apt_Task &task, QObject *parent = nullptr);
    ~AptInstallAndRemoveTask() override;

    void run() override;

    // How long apt-get may stay silent before its prompt is shown (default
    // five minutes); set before the task starts.
    void setPromptSilenceInterval(int milliseconds);
    // How long a start waits for another package run to release dpkg before
    // the task fails (default 30 minutes); set before the task starts.
    void setDpkgWaitLimit(int milliseconds);
    // The debconf answers this task gives, shared with whoever gave them
    // ahead of it; set before the task starts.
    void setDebconfPreseed(std::shared_ptr<AppStore::DebconfPreseed> preseed);

    void startInstallTask();
    void startPurgeTask();
    // true while another process holds dpkg's database lock or apt's front-end
    // lock.
    bool isOtherDpkgRunning();

    void safeDeleteTimer();
    void safeDeleteProcess();
    void safeQuitAndDeleteEventLoop();

Q_SIGNALS:
    void sigInstallTaskFinished(Apt_Task task, bool ok,
                                AppStore::DownloadStatusCode code = AppStore::NoStatusCode);
    void sigPurgeTaskFinished(Apt_Task task, bool ok);
    void sigStartPurge(QString id, QString packagename);
    void sigAptOperationDataChange(Apt_Task task, QString strAptOperation);
    void sigAptInputReceived(Apt_Task task, QString input);
    void sigAptOutputRead(QString id, QString packageName, QString output);
    void sigInstallProgress(QString id, QString packageName, qlonglong total, qlonglong cursize,
                            QString statusMsg);
    void sigUninstallKaplaPkg(Apt_Task task);

public Q_SLOTS:
    void OnInstallFinishedSlot(int exitCode, QProcess::ExitStatus exitStatus);
    void OnPurgeFinishedSlot(int exitCode, QProcess::ExitStatus exitStatus);
    void OnAptInputReceivedSlot(Apt_Task task, QString input);
    void OnReadyReadAllStandardOutput();
    void OnTimeOut();

private:
    enum class Outcome { Continue, Done };

    void runInstallOrPurge();
    bool waitForDpkg();
    int lockWaitSeconds() const;
    AppStore::ProcessRunner *createProcess(bool readOutput);
    AppStore::ProcessSpec installSpec(bool mayRemove) const;
    AppStore::ProcessSpec purgeSpec() const;
    bool startProcess(const AppStore::ProcessSpec &spec);
    void handleFinished(const AppStore::ProcessResult &result);
    void handleAptInput(const QString &input);
    void emitOutputMessage(const QString &content);
    void emitPromptState(const QString &firstContent);

    // Whether the package was installed before this install, read while the
    // start waits for dpkg and preseeds.
    void startFirstInstallQuery();
    void settleFirstInstall();

    // Install completion.
    void finishInstall(bool ok, AppStore::DownloadStatusCode code);
    QString fullyInstalledVersion() const;
    bool isInstalledAsRequested() const;
    Outcome runInstallRepairs(const QString &output, const QString &error);
    void installVerdict(const QString &installedMessage, const QString &failedMessage);
    void purgeFailedFirstInstall();
    Outcome reinstallDownloadedArchive();
    Outcome killStaleDebconfHolders(bool retry);

    // Purge completion.
    void endPurge(bool ok);
    void recordRemoval();
    Outcome runPurgeRepairs(const QString &output, const QString &error);
    void removeWithApt();

    AppStore::ProcessResult runSideCommand(const QString &program, const QStringList &arguments,
                                           bool uidEnvironment, int timeoutMs) const;
    AppStore::ProcessSpec sideCommandSpec(const QString &program, const QStringList &arguments,
                                          bool uidEnvironment, int timeoutMs) const;
    AppStore::GuardedRepair::Outcome fixBrokenDependencies() const;
    AppStore::ProcessResult configurePending();
    bool waitForDpkgLockRelease(int milliseconds);

    Apt_Task m_task;
    std::unique_ptr<AppStore::SideQuery<bool>> m_wasInstalled;
    AppStore::ProcessRunner *m_process = nullptr;
    // Set when a simulation found nothing protected among the removals the
    // next install run needs; that run clears it.
    bool m_mayRemove = false;
    int m_maxRetryCount = 2;
    int m_fixBrokenCount = 0;
    int m_updatesDirCount = 0;
    int m_lockCount = 0;
    int m_configureCount = 0;
    QAtomicInteger<bool> m_bIsInstall;
    bool m_isFinished = false;
    QEventLoop *m_eventLoop = nullptr;
    QTimer *m_timer = nullptr;
    // Bounded; the first is kept across retries for the repairs, the second,
    // from which a prompt's display is restored, holds the current run's.
    AppStore::BoundedOutput m_output;
    AppStore::BoundedOutput m_promptText;
    QString m_settingUpName;
    QString m_progressText;

    // Read by the relaying thread: never written after construction.
    const QString m_sourceId;
    const QString m_packageName;

    int m_promptSilenceMs = 300000;
    // Set when the silence was announced as a question, cleared by the next
    // output, the answer or a new run: answers are written only meanwhile.
    bool m_questionPending = false;
    int m_dpkgWaitLimitMs = AppStore::DpkgLockWait::kDefaultLimitMs;
    int m_debconfLockCount = 0;
    std::shared_ptr<AppStore::DebconfPreseed> m_preseed =
        std::make_shared<AppStore::DebconfPreseed>();
    QByteArray m_unreadOutput;
    QStringDecoder m_outputDecoder{QStringDecoder::Utf8};
    AppStore::ProcessResult m_lastResult;
    // The user's shortcuts to the package being purged, read before its
    // first judgement; they go only once the package has.
    std::unique_ptr<AppStore::PendingShortcutRemoval> m_shortcuts;
    // The solver the purge was judged with, for apt's removal after it.
    QStringList m_purgeSolverOption;

    // An object on the pool thread while run() is inside its event loop;
    // answers are queued to it.
    QMutex m_contextMutex;
    QObject *m_runContext = nullptr;
};
