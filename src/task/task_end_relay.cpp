#include "task_end_relay.h"

#include <QMetaObject>
#include <QMutexLocker>

#include <utility>

TaskEndRelay::TaskEndRelay(QObject *owner, std::function<void(AbstractTask *)> onEnded)
    : m_owner(owner)
    , m_onEnded(std::move(onEnded))
{}

void TaskEndRelay::relay(AbstractTask *task)
{
    // Posted under the lock that detach() takes, so the owner cannot go
    // between the check and the post; a posted call dies with its owner.
    QMutexLocker locker(&m_mutex);
    if (!m_owner)
        return;
    QMetaObject::invokeMethod(
        m_owner, [onEnded = m_onEnded, task] { onEnded(task); }, Qt::QueuedConnection);
}

void TaskEndRelay::detach()
{
    QMutexLocker locker(&m_mutex);
    m_owner = nullptr;
}
