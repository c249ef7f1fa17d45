#pragma once

#include <QMutex>
#include <QObject>

#include <functional>

class AbstractTask;

// Carries the end of a pool run from the pool thread to the owner of the
// task, on the owner's thread. Shared by the runs and the owner, it outlives
// the owner: a run that ends after the owner has gone (a task still running
// when the process ends) finds nobody to tell instead of a freed object.
class TaskEndRelay
{
public:
    // onEnded runs on owner's thread, and only while owner exists.
    TaskEndRelay(QObject *owner, std::function<void(AbstractTask *)> onEnded);

    // Pool thread: the run of task has ended.
    void relay(AbstractTask *task);
    // Owner's thread: runs that end from now on are not reported.
    void detach();

private:
    QMutex m_mutex;
    QObject *m_owner;
    std::function<void(AbstractTask *)> m_onEnded;
};
