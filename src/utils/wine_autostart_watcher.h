#pragma once

#include "utils/lazy_singleton.h"

#include <QObject>

class QThread;

// Watches which wine applications start automatically, on a worker thread
// of its own that runs from construction on.
class WineAutoStartWatcher : public QObject
{
    Q_OBJECT
public:
    static WineAutoStartWatcher *instance();

    void stop();

private:
    WineAutoStartWatcher();
    friend class AppStore::LazySingleton<WineAutoStartWatcher>;

    QThread *m_thread = nullptr;
};
