#pragma once

#include "apt_utils/maintenance_thread.h"

// Rebuilds the daemon's private apt sources off the main thread.
class UpdateSrcDirThread : public MaintenanceThread
{
    Q_OBJECT
public:
    explicit UpdateSrcDirThread(Job job, QObject *parent = nullptr);

Q_SIGNALS:
    void sigStartUpdateSrcDir();

public Q_SLOTS:
    void OnStartUpdateSrcDirSlot();
};
