#pragma once

#include <QObject>

#include <functional>

// Keeps the daemon alive while it exists: construction counts a live task
// with the TaskManager, destruction ends the count. Pool tasks derive from it;
// other work holds a plain local one for its duration.
//
// A pool task is never deleted by its pool: whoever started it deletes it on
// the task's own thread once the run has ended, so that no request or answer
// still being delivered to it there can meet a freed object.
class AbstractTask : public QObject
{
    Q_OBJECT
public:
    AbstractTask();
    ~AbstractTask() override;

    // Set before the task starts. Called once, on the pool thread, as the
    // very last step of the run: the handler may have the task deleted at
    // once, so it must hand that to the task's own thread.
    void setRunEndHandler(std::function<void()> handler);

protected:
    // The last statement of run(), after every local object of the run has
    // gone: nothing touches the task after it.
    void reportRunEnd();

private:
    std::function<void()> m_runEndHandler;
};
