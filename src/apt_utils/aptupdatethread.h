#pragma once

#include "apt_utils/maintenance_thread.h"

// Runs the apt index update off the main thread.
class AptUpdateThread : public MaintenanceThread
{
    Q_OBJECT
public:
    explicit AptUpdateThread(Job job, QObject *parent = nullptr);

Q_SIGNALS:
    // isStartup: the client has just started and wants fresh indexes whatever
    // the apt-update gate says.
    void sigStartAptUpdate(bool isStartup = false);

public Q_SLOTS:
    void OnStartAptUpdateSlot(bool isStartup = false);
};
