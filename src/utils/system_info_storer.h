#pragma once

#include "utils/lazy_singleton.h"

#include <QObject>

class QThread;

// Keeps the processor and board facts the client asks for; collects them on
// a worker thread once started.
class SystemInfoStorer : public QObject
{
    Q_OBJECT
public:
    static SystemInfoStorer *instance();

    void stopThread();

private:
    SystemInfoStorer();
    friend class AppStore::LazySingleton<SystemInfoStorer>;

    QThread *m_thread = nullptr;
};
