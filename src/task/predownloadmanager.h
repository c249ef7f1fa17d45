#pragma once

#include "common/apt_task.h"

#include <QList>
#include <QObject>

#include <atomic>
#include <functional>

class AptDownload;
class QMutex;
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
    bool m_running = false;
};
