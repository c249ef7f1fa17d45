#include "task/aptdownload.h"

// Skeleton: the worker's runs are not built yet.

AptDownload::AptDownload(QObject *parent)
    : QObject(parent)
{}

AptDownload::~AptDownload() = default;

void AptDownload::startDownload(Apt_Task task)
{
    m_task = task;
}

void AptDownload::stop() {}

void AptDownload::pause() {}

void AptDownload::prepareToDeleteTask() {}

bool AptDownload::isBusy() const
{
    return m_busy;
}

Apt_Task AptDownload::getTask() const
{
    return m_task;
}
