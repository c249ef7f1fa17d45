#include "task_manager.h"

#include "common/daemon_log.h"
#include "utils/utils.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <malloc.h>

TaskManager *TaskManager::instance()
{
    return AppStore::LazySingleton<TaskManager>::instance();
}

namespace {

// Calls answered one after another leave the daemon idle between them for
// moments only; it counts as idle once this long has gone without a task.
constexpr int kSettleMs = 2000;

} // namespace

TaskManager::TaskManager(QObject *parent)
    : QObject(parent)
    , m_timer(new QTimer(this))
    , m_settle(new QTimer(this))
{
    m_settle->setSingleShot(true);
    m_settle->setInterval(kSettleMs);
    connect(m_settle, &QTimer::timeout, this, &TaskManager::settleIdle);
    m_timer->setInterval(m_interval);
    connect(m_timer, &QTimer::timeout, this, &TaskManager::slotTimeout);
    // A timer on a pool thread would never fire once that thread ends, and
    // the daemon would never quit; whoever asks first, it lives on main.
    QCoreApplication *app = QCoreApplication::instance();
    if (app && thread() != app->thread()) {
        moveToThread(app->thread());
        QMetaObject::invokeMethod(m_timer, qOverload<>(&QTimer::start), Qt::QueuedConnection);
    } else {
        m_timer->start();
    }
}

void TaskManager::addTask()
{
    QMutexLocker locker(&m_mutex);
    const int count = ++m_taskCount;
    ++m_generation;
    if (count == 1) {
        QMetaObject::invokeMethod(m_timer, &QTimer::stop, Qt::QueuedConnection);
        QMetaObject::invokeMethod(
            this,
            [this] {
                // The task may have ended by now: its end starts the
                // settling again, after this.
                m_settle->stop();
                if (m_idleTold)
                    qCDebug(daemonLogCategory) << "The daemon is at work";
                m_idleTold = false;
            },
            Qt::QueuedConnection);
    }
}

void TaskManager::removeTask()
{
    QMutexLocker locker(&m_mutex);
    if (--m_taskCount < 1) {
        QMetaObject::invokeMethod(m_timer, qOverload<>(&QTimer::start), Qt::QueuedConnection);
        QMetaObject::invokeMethod(m_settle, qOverload<>(&QTimer::start), Qt::QueuedConnection);
    }
}

void TaskManager::settleIdle()
{
    if (m_taskCount > 0 || m_idleTold)
        return;
    m_idleTold = true;
    // An install or a large query leaves its buffers freed but kept by the
    // allocator: once the daemon is idle, they go back to the system.
    const int trimmed = ::malloc_trim(0);
    qCDebug(daemonLogCategory) << "The daemon is idle; heap trimmed:" << trimmed;
}

void TaskManager::setInterval(int ms)
{
    m_interval = ms;
    m_timer->setInterval(ms);
}

void TaskManager::setClientExecutable(const QString &path)
{
    m_clientExecutable = path;
}

void TaskManager::slotTimeout()
{
    if (m_probe)
        return; // the previous test has not answered yet
    const quint64 generation = m_generation;
    m_probe = QThread::create([this, client = m_clientExecutable] {
        m_clientRunning = AppStore::Utils::isExecutableRunning(client);
    });
    connect(m_probe, &QThread::finished, this, [this, generation] { finishIdleTest(generation); });
    m_probe->start();
}

void TaskManager::finishIdleTest(quint64 generation)
{
    m_probe->wait();
    delete m_probe;
    m_probe = nullptr;

    const int count = m_taskCount;
    const bool clientRunning = m_clientRunning;
    qCDebug(daemonLogCategory) << "Current task count:" << count
                               << "Is client running:" << clientRunning;
    if (count < 1 && !clientRunning && generation == m_generation)
        QCoreApplication::quit();
}
