#include "abstract_task.h"

#include "task_manager.h"

AbstractTask::AbstractTask()
    : QObject(nullptr)
{
    TaskManager::instance()->addTask();
}

AbstractTask::~AbstractTask()
{
    TaskManager::instance()->removeTask();
}
