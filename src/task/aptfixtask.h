#pragma once

#include "abstract_task.h"

#include <QRunnable>
#include <QString>

// Repairs the package system with "apt-get install -f" when a download found
// that apt cannot resolve the package set. Runs in the one-thread install
// pool, so no install or removal changes the package database meanwhile.
class AptFixTask : public AbstractTask, public QRunnable
{
    Q_OBJECT
public:
    explicit AptFixTask(const QString &packageName);
    ~AptFixTask() override;

    void run() override;

Q_SIGNALS:
    void sigAptFixTaskSucceeded(QString packageName, bool isSuccessful);

private:
    void repair();

    QString packageName;
};
