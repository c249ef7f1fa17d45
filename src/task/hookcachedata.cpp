#include "hookcachedata.h"

#include "dpkghookopttask.h"

#include "common/daemon_log.h"
#include "task/apt_install_manager.h"
#include "utils/bus_argument_checks.h"
#include "utils/worker_thread.h"

#include <QMutexLocker>
#include <QThread>
#include <QThreadPool>

namespace {

// The cache's own slots are short; a thread that has not ended by then is
// stuck behind something else.
constexpr int kThreadStopWaitMs = 5000;
// A hook task waits for the store server, the login manager and dpkg-query,
// each with a limit of its own; this covers one task that is nearly done.
constexpr int kPoolStopWaitMs = 10000;

// The progress states of the manager's report.
constexpr int kDownloadState = 0;
constexpr int kInstallState = 1;

} // namespace

HookCacheData::HookCacheData()
    : QObject(nullptr)
    , m_pool(new QThreadPool)
{
    qRegisterMetaType<HookData>("HookData");
    // Hook tasks run strictly one after another, in the order of the calls.
    m_pool->setMaxThreadCount(1);
    connect(this, &HookCacheData::sigInsertData, this, &HookCacheData::OnInsertDataSlot,
            Qt::QueuedConnection);
    connect(this, &HookCacheData::sigDpkgHookOpt, this, &HookCacheData::OnDpkgHookOptSlot,
            Qt::QueuedConnection);
}

HookCacheData::~HookCacheData()
{
    if (m_thread && m_thread->isRunning())
        stopThread();
    if (m_thread) {
        // A thread that did not end in time is still referred to by its own
        // run; it goes once the event loop of its owner gets to it.
        if (m_thread->isFinished())
            delete m_thread;
        else
            m_thread->deleteLater();
        m_thread = nullptr;
    }
    if (!m_poolBusyAtStop && drainPool())
        delete m_pool;
    else
        qCWarning(daemonLogCategory) << "leaving a busy hook task pool to the ending process";
}

void HookCacheData::followEngine(AptInstallManager *engine)
{
    connect(engine, &AptInstallManager::sigIntallProgress, this,
            &HookCacheData::OnInstallFinishedSlot, Qt::QueuedConnection);
    connect(engine, &AptInstallManager::sigPurgeFinished, this, &HookCacheData::OnPurgeFinishedSlot,
            Qt::QueuedConnection);
    connect(engine, &AptInstallManager::sigRemoveHookCacheData, this,
            &HookCacheData::OnRemoveHookCacheDataSlot, Qt::QueuedConnection);
    connect(engine, &AptInstallManager::sigHoldHookCacheData, this,
            &HookCacheData::OnInsertDataSlot, Qt::QueuedConnection);
}

void HookCacheData::startThread()
{
    if (m_thread)
        return;
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("HookCacheData"));
    moveToThread(m_thread);
    m_thread->start(QThread::InheritPriority);
}

void HookCacheData::stopThread()
{
    QThread *caller = QThread::currentThread();
    if (caller == m_thread) {
        qCWarning(daemonLogCategory) << "the hook cache cannot stop its thread from itself";
        return;
    }
    if (!m_thread || m_stopped.exchange(true))
        return;
    // The cache is handed back on its own thread, as the last thing that
    // thread does.
    m_returnOnFinish = connect(
        m_thread, &QThread::finished, this, [this, caller] { returnTo(caller); },
        Qt::DirectConnection);
    m_thread->requestInterruption();
    m_thread->quit();
    if (!m_thread->wait(kThreadStopWaitMs)) {
        disconnect(m_returnOnFinish);
        qCWarning(daemonLogCategory)
            << "the hook cache thread did not end within" << kThreadStopWaitMs << "ms";
        AppStore::noteThreadLeftRunning();
    }
    m_poolBusyAtStop = !drainPool();
}

void HookCacheData::returnTo(QThread *owner)
{
    moveToThread(owner);
}

// Hook calls still queued are dropped; the one running may end.
bool HookCacheData::drainPool()
{
    m_pool->clear();
    if (m_pool->waitForDone(kPoolStopWaitMs))
        return true;
    qCWarning(daemonLogCategory) << "a hook task did not end within" << kPoolStopWaitMs << "ms";
    AppStore::noteThreadLeftRunning();
    return false;
}

void HookCacheData::OnInsertDataSlot(HookData data)
{
    QMutexLocker locker(&m_mutex);
    m_cache.insert(data.packageName, data.operation);
}

void HookCacheData::OnRemoveHookCacheDataSlot(QStringList packageNames)
{
    QMutexLocker locker(&m_mutex);
    if (m_cache.isEmpty())
        return;
    for (const QString &name : std::as_const(packageNames))
        m_cache.remove(name);
}

void HookCacheData::OnInstallFinishedSlot(QString id, QString url, int state, qlonglong total,
                                          qlonglong progress, QString statusMsg)
{
    Q_UNUSED(id)
    Q_UNUSED(statusMsg)
    const bool downloadFailed = state == kDownloadState && progress == -1;
    const bool installEnded = state == kInstallState && (progress == total || progress == -1);
    if (downloadFailed || installEnded)
        removeEntry(url);
}

void HookCacheData::OnPurgeFinishedSlot(QString id, QString packagename, bool ok)
{
    Q_UNUSED(id)
    Q_UNUSED(ok)
    removeEntry(packagename);
}

void HookCacheData::OnDpkgHookOptSlot(QString packagename, QString version, QString operation)
{
    qCDebug(daemonLogCategory).noquote() << Q_FUNC_INFO << packagename << version << operation;
    if (packagename.isEmpty() || version.isEmpty() || operation.isEmpty())
        return;
    // The texts reach package tools and the store as they are.
    if (!DpkgHookOptTask::isAcceptable(packagename, version, operation)) {
        AppStore::BusArgumentChecks::logRefused(Q_FUNC_INFO, {packagename, version, operation});
        return;
    }
    // The store's own operation: its end is reported by the engine.
    if (isHandledByStore(packagename))
        return;
    startHookTask(packagename, version, operation);
}

bool HookCacheData::isHandledByStore(const QString &packageName)
{
    QMutexLocker locker(&m_mutex);
    return m_cache.contains(packageName);
}

void HookCacheData::removeEntry(const QString &packageName)
{
    QMutexLocker locker(&m_mutex);
    m_cache.remove(packageName);
}

void HookCacheData::startHookTask(const QString &packageName, const QString &version,
                                  const QString &operation)
{
    if (m_stopped)
        return;
    auto *task = new DpkgHookOptTask(packageName, version, operation);
    // Re-emitted from the cache's thread.
    connect(task, &DpkgHookOptTask::sigInstallPackageFromHook, this,
            &HookCacheData::sigInstallPackageFromHook, Qt::QueuedConnection);
    connect(task, &DpkgHookOptTask::sigRemovePackageFromHook, this,
            &HookCacheData::sigRemovePackageFromHook, Qt::QueuedConnection);
    connect(task, &DpkgHookOptTask::sigRemoveUpdateCacheItem, this,
            &HookCacheData::sigRemoveUpdateCacheItem, Qt::QueuedConnection);
    connect(task, &DpkgHookOptTask::sigAptInstRm, this, &HookCacheData::sigAptInstRm,
            Qt::QueuedConnection);
    // Its pool deletes it on the pool thread; with no thread of its own that
    // is no other thread's object.
    task->moveToThread(nullptr);
    m_pool->start(task, 0);
}
