#pragma once

#include <QObject>

// Keeps the daemon alive while it exists: construction counts a live task
// with the TaskManager, destruction ends the count. Pool tasks derive from it;
// other work holds a plain local one for its duration.
class AbstractTask : public QObject
{
    Q_OBJECT
public:
    AbstractTask();
    ~AbstractTask() override;
};
