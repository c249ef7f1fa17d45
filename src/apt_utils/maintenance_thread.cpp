#include "apt_utils/maintenance_thread.h"

#include <utility>

MaintenanceThread::MaintenanceThread(Job job, QObject *parent)
    : QThread(parent)
    , m_job(std::move(job))
{}

MaintenanceThread::~MaintenanceThread()
{
    stop();
}

void MaintenanceThread::stop()
{
    m_stopped = true;
    // A long job checks for this between its steps.
    requestInterruption();
    wait();
}

void MaintenanceThread::startJob()
{
    if (!m_stopped) {
        start(QThread::InheritPriority);
    }
}

void MaintenanceThread::run()
{
    if (m_job) {
        m_job();
    }
}
