#include "abstract_task.h"

#include "task_manager.h"

#include <utility>

AbstractTask::AbstractTask()
    : QObject(nullptr)
{
    TaskManager::instance()->addTask();
}

AbstractTask::~AbstractTask()
{
    TaskManager::instance()->removeTask();
}

void AbstractTask::setRunEndHandler(std::function<void()> handler)
{
    m_runEndHandler = std::move(handler);
}

void AbstractTask::reportRunEnd()
{
    // Moved out first: once the handler has run, the member may be freed.
    const std::function<void()> handler = std::exchange(m_runEndHandler, nullptr);
    if (handler)
        handler();
}
