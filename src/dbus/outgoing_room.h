#pragma once

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QSet>
#include <QString>
#include <QTimer>

#include <functional>

namespace AppStore {

// Whether the connection has room for what working a call adds to what it
// has queued for the bus, and the senders whose calls wait for that room.
// While the bus takes nothing of the connection (its own bound for peers
// that do not read is reached), no call is worked: the calls wait within
// their bounds, and what the daemon queues, replies included, stays
// bounded. The queue's size is read under the bus library's lock, which the
// bus thread holds while it reads: for a flood's calls it is looked at
// afresh only every few milliseconds.
class OutgoingRoom
{
public:
    // Told the senders that waited, once there is room again.
    using RoomAgain = std::function<void(const QSet<QString> &keys)>;

    explicit OutgoingRoom(RoomAgain roomAgain);

    // Whether connection has more queued than calls may add to.
    bool isFull(const QDBusConnection &connection, bool afresh = false) const;
    // key's calls wait until connection has room.
    void waitFor(const QString &key, const QDBusConnection &connection);
    void forget(const QString &key) { m_waiting.remove(key); }
    void clear();

private:
    void poll();

    RoomAgain m_roomAgain;
    mutable QElapsedTimer m_sampled;
    mutable bool m_full = false;
    QDBusConnection m_connection{QString()};
    QSet<QString> m_waiting;
    QTimer m_poll;
};

} // namespace AppStore
