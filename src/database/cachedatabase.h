#pragma once

#include "utils/lazy_singleton.h"

#include <QObject>

class QThread;

// The file-to-package index. Its thread is started when the index is first
// filled, so until then there is nothing to stop.
class CacheDatabase : public QObject
{
    Q_OBJECT
public:
    static CacheDatabase *instance();

    void stop();

private:
    CacheDatabase();
    friend class AppStore::LazySingleton<CacheDatabase>;

    QThread *m_thread = nullptr;
};
