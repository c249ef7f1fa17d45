#pragma once

#include "common/apt_task.h"
#include "common/package_info.h"

#include <QObject>
#include <QString>

#include <atomic>

class QThread;
class QTimer;
class ProcessRunner;

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
    Apt_Task m_task;
    std::atomic_bool m_busy{false};
};
