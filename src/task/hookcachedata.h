#pragma once

#include "hook_data.h"

#include <QMap>
#include <QMetaObject>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>

class AptInstallManager;
class QThread;
class QThreadPool;

// The dpkg hook reports every package dpkg installs or removes, the store's
// own operations included. The cache holds the packages the store is
// handling right now and drops hook calls about them; every other call runs
// as a DpkgHookOptTask, one at a time, in the cache's pool.
//
// Other threads reach it only through its signals sigInsertData and
// sigDpkgHookOpt and through queued connections into its slots; the work is
// done on the cache's own thread.
class HookCacheData : public QObject
{
    Q_OBJECT
public:
    HookCacheData();
    ~HookCacheData() override;

    // The engine's reports, queued: the ends that let go of a package and
    // the requests that take it in. Before startThread().
    void followEngine(AptInstallManager *engine);
    // Moves the cache to a thread of its own and starts it; once only.
    void startThread();
    // Ends the thread and the hook task pool, each within a bound; what does
    // not end in time is logged and left to the ending process. Afterwards
    // the cache belongs to the calling thread and starts no hook task.
    void stopThread();

Q_SIGNALS:
    void sigInsertData(HookData data);
    void sigInstallPackageFromHook(QString packageName, QString version, QString size,
                                   QStringList desktopFileList, QString channelId);
    void sigRemovePackageFromHook(QString packageName);
    void sigRemoveUpdateCacheItem(QString iPacage, QString iVersion = QString());
    void sigDpkgHookOpt(QString packageName, QString version, QString operation);
    void sigAptInstRm(QString packageName, bool operation);

public Q_SLOTS:
    void OnInsertDataSlot(HookData data);
    void OnRemoveHookCacheDataSlot(QStringList packageNames);
    // url carries the package name.
    void OnInstallFinishedSlot(QString id, QString url, int state, qlonglong total,
                               qlonglong progress, QString statusMsg);
    void OnPurgeFinishedSlot(QString id, QString packagename, bool ok);
    void OnDpkgHookOptSlot(QString packagename, QString version, QString operation);

private:
    bool isHandledByStore(const QString &packageName);
    void removeEntry(const QString &packageName);
    void startHookTask(const QString &packageName, const QString &version,
                       const QString &operation);
    bool drainPool();
    void returnTo(QThread *owner);

    QMutex m_mutex; // guards m_cache
    QMap<QString, int> m_cache;
    QThread *m_thread = nullptr;
    QThreadPool *m_pool;
    QMetaObject::Connection m_returnOnFinish;
    std::atomic<bool> m_stopped{false};
    bool m_poolBusyAtStop = false;
};
