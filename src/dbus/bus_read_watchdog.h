#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>

class QDBusConnection;
class QSocketNotifier;

namespace AppStore {

// Keeps a bus connection read after libdbus has paused it.
//
// libdbus stops reading a connection once the messages it has received and
// not yet freed pass its size limit, and starts again when enough of them are
// freed, from whichever thread frees the last one. Qt's bus thread owns the
// socket notifier that reading depends on, and a notifier switched on from
// another thread stays deaf while believing itself on: the daemon, which
// frees its callers' messages on its main thread, would never read its bus
// again. This object lives on the connection's own thread; it notices the
// pause after a read and, once reading is meant to go on, switches the
// notifier on again from the right thread.
class BusReadWatchdog : public QObject
{
    Q_OBJECT
public:
    // Starts watching connection on its thread; the watchdog lives as long
    // as that thread.
    static void watch(const QDBusConnection &connection);

private:
    explicit BusReadWatchdog(QSocketNotifier *reader);

    void afterRead();
    void whilePaused();

    QPointer<QSocketNotifier> m_reader;
    QTimer m_pause;
};

} // namespace AppStore
