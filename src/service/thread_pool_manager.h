#pragma once

#include "common/download_state_bi_data.h"
#include "utils/lazy_singleton.h"

#include <QObject>

class QThread;

// Sends download and install statistics from a worker thread of its own.
class ThreadPoolManager : public QObject
{
    Q_OBJECT
public:
    static ThreadPoolManager *instance();

    void stopThread();

    // Any thread; returns at once. The record is handled on the statistics
    // thread.
    void addUploadDownloadTask(DownloadStateBiData data);

Q_SIGNALS:
    void sigAddUploadDownloadTask(DownloadStateBiData data);

private Q_SLOTS:
    void onAddUploadDownloadTaskSlot(DownloadStateBiData data);

private:
    ThreadPoolManager();
    friend class AppStore::LazySingleton<ThreadPoolManager>;

    QThread *m_thread = nullptr;
};
