#include "task/predownloadmanager.h"

#include "task/aptdownload.h"

// Skeleton: the queue is not built yet.

PreDownloadManager::PreDownloadManager(QObject *parent, WorkerFactory, int)
    : QObject(parent)
{}

PreDownloadManager::~PreDownloadManager() = default;

int PreDownloadManager::workerCountFor(int idealThreadCount)
{
    return qBound(1, idealThreadCount / 2, 10);
}

void PreDownloadManager::start()
{
    m_running = true;
}

void PreDownloadManager::stop()
{
    m_running = false;
}

bool PreDownloadManager::isRunning() const
{
    return m_running;
}

void PreDownloadManager::addTask(const Apt_Task &) {}

void PreDownloadManager::removeTask(Apt_Task) {}

void PreDownloadManager::OnProcessTaskSlot() {}

void PreDownloadManager::OnDownloadProgressSlot(QString, QString, qlonglong, qlonglong) {}
