#pragma once

#include "common/download_state_bi_data.h"
#include "utils/lazy_singleton.h"

#include <QObject>
#include <QThreadPool>

#include <atomic>

class QThread;
class QTimer;

// Schedules the statistics work on a worker thread of its own: each record
// handed over becomes one report task in a pool of three threads, and stored
// failed reports are sent again every two hours and after every report that
// got through while any are stored. One replay runs at a time.
class ThreadPoolManager : public QObject
{
    Q_OBJECT
public:
    static ThreadPoolManager *instance();
    // Null until something asked for instance(): the quit handler stops only
    // what exists.
    static ThreadPoolManager *existingInstance();
    ~ThreadPoolManager() override;

    void startThread();
    // Stops the worker thread and waits a bounded time for running reports.
    void stopThread();

    // Any thread; returns at once. The record is handled on the statistics
    // thread as a copy of its own.
    void addUploadDownloadTask(DownloadStateBiData data);

    // The replay period; two hours unless a test shortens it. Any thread.
    void setReplayInterval(int milliseconds);

    // Set by stopThread(): running tasks send nothing more but store what
    // they would have sent for the replay, so shut-down waits for at most the
    // request in flight.
    bool isStopping() const { return stopping.load(); }

Q_SIGNALS:
    void sigAddUploadDownloadTask(DownloadStateBiData downloadBiData);
    void uploadDownloadTaskResult(bool);
    void netRetryTaskFinish();

public Q_SLOTS:
    void onAddUploadDownloadTaskSlot(DownloadStateBiData downloadBiData);
    void onReportBiTask();

private Q_SLOTS:
    void startReplayTimer();

private:
    ThreadPoolManager();
    friend class AppStore::LazySingleton<ThreadPoolManager>;

    void onUploadResult(bool result);

    QThread *thread = nullptr;
    int maxThreadCount = 3;
    QThreadPool pool;
    QTimer *timer = nullptr; // lives on the worker thread
    std::atomic<int> interval{7200000};
    std::atomic<bool> replayRunning{false};
    std::atomic<bool> stopping{false};
};
