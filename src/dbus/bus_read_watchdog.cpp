#include "bus_read_watchdog.h"

#include "common/daemon_log.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QSocketNotifier>

namespace AppStore {

namespace {

// How soon a resumed reading is noticed.
constexpr int kPausePollMs = 20;

// The read notifier of the connection, a child of the object that also owns
// the connection's bus interface.
QSocketNotifier *readNotifierOf(QObject *connectionObject)
{
    if (!connectionObject)
        return nullptr;
    const QList<QSocketNotifier *> notifiers =
        connectionObject->findChildren<QSocketNotifier *>(Qt::FindDirectChildrenOnly);
    for (QSocketNotifier *notifier : notifiers)
        if (notifier->type() == QSocketNotifier::Read)
            return notifier;
    return nullptr;
}

} // namespace

void BusReadWatchdog::watch(const QDBusConnection &connection)
{
    QDBusConnectionInterface *busSide = connection.interface();
    if (!busSide) {
        qCWarning(daemonLogCategory) << "No bus interface to watch the bus connection by";
        return;
    }
    QMetaObject::invokeMethod(
        busSide,
        [busSide] {
            QSocketNotifier *reader = readNotifierOf(busSide->parent());
            if (!reader) {
                qCWarning(daemonLogCategory) << "The bus connection's reader was not found";
                return;
            }
            new BusReadWatchdog(reader);
        },
        Qt::QueuedConnection);
}

BusReadWatchdog::BusReadWatchdog(QSocketNotifier *reader)
    : QObject(reader)
    , m_reader(reader)
{
    m_pause.setInterval(kPausePollMs);
    connect(&m_pause, &QTimer::timeout, this, &BusReadWatchdog::whilePaused);
    // After the connection's own handler, which reads and may pause.
    connect(reader, &QSocketNotifier::activated, this, &BusReadWatchdog::afterRead);
}

void BusReadWatchdog::afterRead()
{
    if (m_reader && !m_reader->isEnabled() && !m_pause.isActive())
        m_pause.start();
}

void BusReadWatchdog::whilePaused()
{
    if (!m_reader) {
        m_pause.stop();
        return;
    }
    if (!m_reader->isEnabled())
        return;
    // Switched on again, perhaps from a thread whose switch did not take:
    // switched off and on here, it takes.
    m_pause.stop();
    m_reader->setEnabled(false);
    m_reader->setEnabled(true);
    qCInfo(daemonLogCategory) << "The bus connection is read again";
}

} // namespace AppStore
