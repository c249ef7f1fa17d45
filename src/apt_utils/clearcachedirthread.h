#pragma once

#include "apt_utils/maintenance_thread.h"

// Cleans the downloaded-package cache off the main thread.
class ClearCacheDirThread : public MaintenanceThread
{
    Q_OBJECT
public:
    explicit ClearCacheDirThread(Job job, QObject *parent = nullptr);

Q_SIGNALS:
    void sigStartClearCacheDir();

public Q_SLOTS:
    void OnStartClearCacheDirSlot();
};
