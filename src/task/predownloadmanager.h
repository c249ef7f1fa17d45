#pragma once

#include "common/apt_task.h"

#include <QList>
#include <QMutex>
#include <QObject>

#include <atomic>
#include <functional>

class AptDownload;
class QThread;
class QTimer;

// The background pre-download queue of the upgrade checks: one task per
// package, fed to a fixed pool of AptDownload workers.
class PreDownloadManager : public QObject
{
    Q_OBJECT

public:
    using WorkerFactory = std::function<AptDownload *()>;

    // workerFactory makes each worker (default: a real AptDownload);
    // idealThreadCount stands for QThread::idealThreadCount() when >= 0.
    explicit PreDownloadManager(QObject *parent = nullptr, WorkerFactory workerFactory = {},
                                int idealThreadCount = -1);
    ~PreDownloadManager() override;

    // The worker count for a number of logical processors: half, 1 to 10.
    static int workerCountFor(int idealThreadCount);

    virtual void start();
    virtual void stop();
    // Ends the downloads in work and drops the waiting ones, waiting for
    // nothing: the workers stay, idle, and take no task until start().
    virtual void halt();
    virtual bool isRunning() const;
    virtual void addTask(const Apt_Task &task);
    virtual void removeTask(Apt_Task task);

Q_SIGNALS:
    void sigAptUpdate(bool isStartup = false);

private Q_SLOTS:
    void OnProcessTaskSlot();
    void OnDownloadProgressSlot(QString id, QString packageName, qlonglong total,
                                qlonglong cursize);

private:
    AptDownload *makeWorker();
    void stopPollTimer();
    void stopWorkers();
    void stopThread();
    bool returnToThread(QThread *target);

    WorkerFactory m_workerFactory;
    // Guards the queue and the worker list.
    QMutex m_taskLock;
    QList<Apt_Task> m_taskQueue;
    QList<AptDownload *> m_workers;
    bool m_halted = false;
    QTimer *m_pollTimer = nullptr;
    QThread *m_thread = nullptr;
    int m_maxParallel = 1;
    const int m_pollInterval = 500;
    std::atomic_bool m_running{false};
};
