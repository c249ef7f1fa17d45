#pragma once

#include "utils/lazy_singleton.h"

#include <QObject>

class QThread;

// Sends download and install statistics from a worker thread of its own.
class ThreadPoolManager : public QObject
{
    Q_OBJECT
public:
    static ThreadPoolManager *instance();

    void stopThread();

private:
    ThreadPoolManager();
    friend class AppStore::LazySingleton<ThreadPoolManager>;

    QThread *m_thread = nullptr;
};
