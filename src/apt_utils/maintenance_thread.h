#pragma once

#include <QThread>

#include <functional>

// A thread that runs one stored job per start, for the package-system
// maintenance jobs. A start while the job still runs is dropped, not queued.
class MaintenanceThread : public QThread
{
    Q_OBJECT
public:
    using Job = std::function<bool()>;

    // Stops as stop() does: a thread destroyed while it runs would take the
    // process down.
    ~MaintenanceThread() override;

    // For the quit: later requests are dropped, and a running job is waited
    // for (the jobs bound their own tool runs). Returns at once when no job
    // runs. Call on the thread that owns the object.
    void stop();

protected:
    MaintenanceThread(Job job, QObject *parent);

    // With the priority of the thread that asks.
    void startJob();
    void run() override;

private:
    Job m_job;
    bool m_stopped = false;
};
