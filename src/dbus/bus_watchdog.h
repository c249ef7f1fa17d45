#pragma once

#include <QObject>
#include <QTimer>

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
class BusWatchdog : public QObject
{
    Q_OBJECT
public:
    static constexpr int kPeriodMs = 200;

    // Starts watching connection on its thread, every periodMs; the
    // watchdog lives as long as the connection.
    static void watch(const QDBusConnection &connection, int periodMs = kPeriodMs);

private:
    BusWatchdog(QObject *connectionObject, int periodMs);

    void resync();

    QTimer m_timer;
};

} // namespace AppStore
