#include "bus_watchdog.h"

#include "common/daemon_log.h"
#include "utils/caller_log_budget.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QSocketNotifier>

namespace AppStore {

namespace {

// A flood may hold the reading back again and again: its lines have a
// budget of their own.
const QString kOwnBudget = QStringLiteral("the bus watchdog");

// The event loop may hold a notifier more than once (it keeps one watch per
// registration): the notifier's own switches on this thread register it
// again after a switch-off from another thread left it watched. Beats take
// away more than one beat's switches can add.
constexpr int kWatchesToClear = 4;

} // namespace

void BusWatchdog::watch(const QDBusConnection &connection, int periodMs)
{
    QDBusConnectionInterface *busSide = connection.interface();
    if (!busSide) {
        qCWarning(daemonLogCategory) << "No bus interface to watch the bus connection by";
        return;
    }
    // The notifiers are children of the object that also owns the
    // connection's bus interface, on the bus thread.
    QMetaObject::invokeMethod(
        busSide, [busSide, periodMs] { new BusWatchdog(busSide->parent(), periodMs); },
        Qt::QueuedConnection);
}

BusWatchdog::BusWatchdog(QObject *connectionObject, int periodMs)
    : QObject(connectionObject)
    , m_seen(std::make_shared<std::atomic<quint64>>(0))
{
    m_timer.setInterval(periodMs);
    connect(&m_timer, &QTimer::timeout, this, &BusWatchdog::beat);
    m_timer.start();
}

void BusWatchdog::beat()
{
    const quint64 behind = m_beats - m_seen->load();
    // Before the main thread's loop runs (the start-up work), nothing is
    // held back.
    if (!m_heldBack && behind >= BusBounds::kHeldBackBeats && m_seen->load() > 0) {
        m_heldBack = true;
        if (CallerLogBudget::admit(kOwnBudget))
            qCWarning(daemonLogCategory)
                << "The main thread is behind; the bus is not read meanwhile";
    } else if (m_heldBack && behind <= 1) {
        m_heldBack = false;
        if (CallerLogBudget::admit(kOwnBudget))
            qCInfo(daemonLogCategory) << "The main thread has caught up; the bus is read again";
    }
    if (QCoreApplication *app = QCoreApplication::instance())
        QMetaObject::invokeMethod(
            app, [seen = m_seen, beat = ++m_beats] { seen->store(beat); }, Qt::QueuedConnection);
    resync();
}

void BusWatchdog::resync()
{
    QAbstractEventDispatcher *loop = QAbstractEventDispatcher::instance(thread());
    if (!loop)
        return;
    const QList<QSocketNotifier *> notifiers =
        parent()->findChildren<QSocketNotifier *>(Qt::FindDirectChildrenOnly);
    for (QSocketNotifier *notifier : notifiers) {
        // Held back, the reader is not watched whatever the bus library
        // wants; its wish stays in the notifier for the release.
        const bool watched =
            notifier->isEnabled() && !(m_heldBack && notifier->type() == QSocketNotifier::Read);
        for (int i = 0; i < kWatchesToClear; ++i)
            loop->unregisterSocketNotifier(notifier);
        if (watched)
            loop->registerSocketNotifier(notifier);
    }
}

} // namespace AppStore
