#pragma once

#include "abstract_task.h"
#include "common/apt_task.h"
#include "common/notify_status.h"
#include "common/package_info.h"
#include "utils/process_runner.h"

#include <QMutex>
#include <QProcess>
#include <QRunnable>
#include <QString>
#include <QStringList>

#include <atomic>

class QEventLoop;
class QTimer;
class QThread;

// Downloads the archive of one package from the configured apt repositories
// into the daemon's package cache (apt-get install -d) and reports progress.
//
// The object lives on the thread that created it (the install manager's), so
// the request slots run there; run(), the child process, its parser, the
// progress timer and the end-of-process handling run on a pool thread. The two
// sides share only atomic flags, the task record (under m_taskMutex) and the
// pointers to the pool-thread objects (under m_stateMutex). Only the pool
// thread ever touches the process, the timer and the event loop: a request
// from elsewhere posts the teardown to that thread.
class AptDownloadTask : public AbstractTask, public QRunnable
{
    Q_OBJECT
public:
    explicit AptDownloadTask(Apt_Task task, QObject *parent = nullptr);
    ~AptDownloadTask() override;

    void run() override;
    Apt_Task getTask() const;

Q_SIGNALS:
    void sigDownloadProgress(QString id, QString packageName, qlonglong total, qlonglong cursize,
                             QString statusMsg);
    void sigPauseFinished(QString id, QString packageName);
    void sigAptUpdate(bool isStartup = false);
    void sigStartInstallOperation(Apt_Task task);
    void sigAptOperationDataChange(Apt_Task task, QString strAptOperation);
    void sigFinished(QString packageName);
    void sigNeedAptFix(QString packageName);
    void sigSendSystemNotification(QString noticeJsonStr);

public Q_SLOTS:
    // One line of apt-get's standard error; the runner splits at "\n" and at
    // the "\r" of redrawn progress lines.
    void onReadyReadAllStandardError(const QString &line);
    void onCheckProgressSlot();
    void onFinishedSlot(int exitCode, QProcess::ExitStatus exitStatus);
    void onStopTaskSlot(Apt_Task task);
    void onPauseTaskSlot(Apt_Task task);
    void onPrepareToDeleteTask(Apt_Task task);
    void onPausePartTasksSlot(QString id, QStringList packageNames);
    void onAptFixTaskFinishedSlot(QString packageName, bool isSuccessful);

private:
    enum class Request { Stop, Pause, Delete, PartPause };

    void runDownload();
    void startDownloadTask();
    void safeDeletaAll();
    void teardownOnOwnThread();
    void safeDeleteTimer();
    void safeDeleteDownloadProcess();
    void safeDeleteEventLoop();
    void releaseThreadObjects();

    bool acceptRequest(Request request, const QString &sourceId, bool matches);
    void writePauseRecord(const Apt_Task &task);
    QStringList downloadArguments(const Apt_Task &task) const;
    QStringList downloadEnvironment(const Apt_Task &task) const;
    void postFailedStart(const QString &errorLine);

    void parseTotalAndFiles(const QString &line);
    bool archiveIsInCache(const Apt_Task &task) const;
    bool claimEnd();
    void handleSuccess();
    void retryOrFail(const QString &errorText, const QString &outputText);
    void waitForAptUpdate();
    void waitForAptUpdateAttempts();
    void waitForWine();
    void requestAptFix(const QString &outputText);
    void finalFailure(const QString &errorText, const QString &outputText);
    void refreshTaskInfo();
    void installFailUpdataDb(AppStore::NotifyStatus status);
    void sendStatistics(const QString &type, const QString &code, const QString &content);
    QString describe() const;

    // Pool-thread objects.
    AppStore::ProcessRunner *m_downloadProcess = nullptr;
    QTimer *m_progressTimer = nullptr;
    QEventLoop *m_eventLoop = nullptr;
    QObject *m_threadContext = nullptr; // receives the teardown posted from other threads
    QThread *m_runThread = nullptr;
    AppStore::ProcessResult m_lastResult;

    Package_Info m_packageInfo;
    Apt_Task m_task;
    mutable QMutex m_taskMutex;
    QMutex m_stateMutex;

    const int m_progressInterval = 200;
    const int m_maxRetryCount = 2;
    std::atomic<int> m_retryCount{0};
    std::atomic<bool> m_bIsStopped{false};
    std::atomic<bool> m_bStopRequested{false};
    std::atomic<bool> m_bIsSafeDeleted{false};
    std::atomic<bool> m_bAptFixFinished{true};
    std::atomic<bool> m_bDownloadSucceeded{false};
    std::atomic<int> m_totalFileCount{1};
    std::atomic<bool> m_bTotalSizeParsed{false};
    // The size apt-cache gave for the archive: exact, so preferred to the
    // rounded one of the progress lines.
    std::atomic<bool> m_bIndexSizeKnown{false};
    bool m_bRefused = false; // name or version refused: nothing to retry
    QMutex m_mutex;          // held by startDownloadTask()

    QString m_percentText;
    QString m_errorOutput;
};
