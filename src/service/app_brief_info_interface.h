#pragma once

#include "utils/lazy_singleton.h"

#include <QObject>

class QThread;

// Looks up the store's brief information of applications for the install
// path, on a worker thread of its own.
class AppBriefInfoInterface : public QObject
{
    Q_OBJECT
public:
    static AppBriefInfoInterface *instance();

    void stopThread();

private:
    AppBriefInfoInterface();
    friend class AppStore::LazySingleton<AppBriefInfoInterface>;

    QThread *m_thread = nullptr;
};
