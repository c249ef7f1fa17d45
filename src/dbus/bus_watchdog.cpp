#include "bus_watchdog.h"

#include "common/daemon_log.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QSocketNotifier>

namespace AppStore {

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
{
    m_timer.setInterval(periodMs);
    connect(&m_timer, &QTimer::timeout, this, &BusWatchdog::resync);
    m_timer.start();
}

void BusWatchdog::resync()
{
    const QList<QSocketNotifier *> notifiers =
        parent()->findChildren<QSocketNotifier *>(Qt::FindDirectChildrenOnly);
    for (QSocketNotifier *notifier : notifiers) {
        // Switched both ways on this thread, the event loop ends up watching
        // the notifier as it says; nothing is read or written in between.
        const bool on = notifier->isEnabled();
        notifier->setEnabled(!on);
        notifier->setEnabled(on);
    }
}

} // namespace AppStore
