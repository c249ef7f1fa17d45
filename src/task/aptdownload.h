#pragma once

#include "common/apt_task.h"
#include "common/package_info.h"

#include <QMutex>
#include <QObject>
#include <QString>

#include <atomic>

class QThread;
class QTimer;

namespace AppStore {
class ProcessRunner;
struct ProcessResult;
} // namespace AppStore

// One worker of the pre-download queue: a download-only apt-get run at a time,
// on a thread of its own, fetching one package's archive into the daemon's
// apt cache. Nothing is installed and nothing reaches the client.
//
// The public operations may be called from any thread; they reach the
// process and the timer only through queued calls. They are virtual so that
// the queue can be exercised with a worker that runs nothing.
class AptDownload : public QObject
{
    Q_OBJECT

public:
    explicit AptDownload(QObject *parent = nullptr);
    // Stops a running apt-get (killed and reaped on the worker's thread),
    // then ends and joins the thread.
    ~AptDownload() override;

    virtual void startDownload(Apt_Task task);
    // Ends the current run without a history row or signal.
    virtual void stop();
    // Ends the current run, writes the pause row, emits sigPauseFinished.
    virtual void pause();
    // Ends the current run without a history row or signal.
    virtual void prepareToDeleteTask();
    virtual bool isBusy() const;
    // The task of the current or last run.
    virtual Apt_Task getTask() const;

Q_SIGNALS:
    void sigDownloadProgress(QString id, QString packageName, qlonglong total, qlonglong cursize);
    void sigPauseFinished(QString id, QString packageName);
    void sigAptUpdate(bool isStartup = false);

private:
    enum class EndRequest { None, Stop, Pause, Delete };

    void OnStartDownloadSlot(quint64 run, const Apt_Task &task);
    bool startProcess(quint64 run, const Apt_Task &task);
    void OnCheckProgressSlot();
    void OnFinishedSlot(const AppStore::ProcessResult &result);
    void endKilledRun(EndRequest request, const Apt_Task &task);
    void endFailedRun(const AppStore::ProcessResult &result, const Apt_Task &task);
    void endRun(const Apt_Task &task, qlonglong currentSize);
    void endUnstartedRun(quint64 run, const Apt_Task &task);

    // Marks the current run ended by request; true when its apt-get runs and
    // has been told to end.
    bool requestEnd(EndRequest request);
    void killOnOwnThread(quint64 run);
    void releaseOnOwnThread();
    void stopProgressTimer();
    void writePauseRow();

    QThread *m_thread = nullptr;
    std::atomic_bool m_threadStarted{false};
    QString m_partialDir;

    // Worker-thread objects.
    AppStore::ProcessRunner *m_process = nullptr;
    QTimer *m_progressTimer = nullptr;
    Package_Info m_packageInfo;
    QString m_partialFilePath;

    Apt_Task m_task;
    mutable QMutex m_taskMutex;
    std::atomic_bool m_busy{false};
    const int m_checkInterval = 100;
    std::atomic<qint64> m_currentSize{0};
    std::atomic<qint64> m_expectedSize{0};

    // A run is numbered when it is handed over; an end request names the run
    // it ends, so that a request that comes before the queued start still
    // keeps apt-get from starting.
    QMutex m_runMutex;
    quint64 m_run = 0;
    quint64 m_endedRun = 0;
    EndRequest m_endRequest = EndRequest::None;
    bool m_processRunning = false;
};
