#pragma once

#include "utils/lazy_singleton.h"

#include <QMutex>
#include <QObject>
#include <QString>

class QThread;

// The file-to-package index cache.db: which installed package owns which
// program or data file. Other programs read the file; the daemon only adds
// rows. All database work runs on the object's own thread, which starts with
// the first start(); until then there is nothing to stop.
class CacheDatabase : public QObject
{
    Q_OBJECT
public:
    static CacheDatabase *instance();

    // Where the index lives; a changed path takes effect with the next slot
    // that opens the file. The default is "/var/lib/velkor-app-store/cache.db".
    static void setDatabasePath(const QString &path);
    static QString databasePath();

    ~CacheDatabase() override;

    // Any thread. The first call starts the worker thread; every call queues
    // a full build, which only the first successful one per run carries out.
    void start();
    // Any thread. Queues adding the installed files of one package.
    void insertData(const QString &package);
    // Ends the worker thread once the running build or insert has given way;
    // queued work is dropped.
    void stop();

    bool isInitialized();
    void setInitialized(bool initialized);

public Q_SLOTS:
    void OnStartSlot();
    void OnInsertDataSlot(QString package);

private:
    CacheDatabase();
    friend class AppStore::LazySingleton<CacheDatabase>;

    // Created with the object, so that the object can be moved to it on the
    // thread that created it, whichever thread calls start() first.
    QThread *m_thread = nullptr;
    QMutex m_mutex;
    bool m_initialized = false;
    // Set by the first start(), and by stop() so that no later start()
    // launches a thread after the quit.
    bool m_threadLaunched = false;
};
