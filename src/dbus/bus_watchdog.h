#pragma once

#include "dbus/bus_bounds.h"

#include <QObject>
#include <QTimer>

#include <atomic>
#include <memory>

class QDBusConnection;

namespace AppStore {

// Keeps a bus connection read and written whatever thread the bus library
// switched its watches from.
//
// The bus library switches a connection's read and write watches from
// whichever thread sends or frees a message: it pauses reading while the
// messages it received and not yet freed pass its limit and resumes when
// they are freed, and it wants to write once a send finds the socket full.
// Qt's socket notifiers, which those watches are, only take a switch from
// Qt's bus thread; a switch from another thread changes what the notifier
// says of itself but not what the event loop watches, so a resumed reading
// or a wanted write would be lost for good. The daemon keeps such switches
// off other threads by design (the bus thread sends, the held messages are
// freed there, the receive limit lies far above what callers may have held);
// this object, on the bus thread, is the backstop: a few times a second it
// makes the event loop watch each notifier exactly as the notifier says.
// It never switches a notifier itself: what a notifier says is the bus
// library's wish, which the library does not repeat, so a switch of its own
// could undo one the library made from another thread meanwhile. It only
// tells the event loop what to watch.
//
// It also keeps what a flood puts on the main thread's queue bounded in
// count, which the receive limit, counted in bytes, does not: a call of a few
// hundred bytes takes a kilobyte or more once decoded and queued. While the
// main thread is more than BusBounds::kHeldBackBeats periods behind, the connection is
// not read; the bus holds what comes meanwhile.
class BusWatchdog : public QObject
{
    Q_OBJECT
public:
    // Starts watching connection on its thread, every periodMs; the
    // watchdog lives as long as the connection.
    static void watch(const QDBusConnection &connection,
                      int periodMs = BusBounds::kWatchdogPeriodMs);

private:
    BusWatchdog(QObject *connectionObject, int periodMs);

    void beat();
    void resync();

    QTimer m_timer;
    // Beats sent to the main thread, and the last one it has seen.
    quint64 m_beats = 0;
    std::shared_ptr<std::atomic<quint64>> m_seen;
    bool m_heldBack = false;
};

} // namespace AppStore
