#include "outgoing_room.h"

#include "bus_bounds.h"
#include "bus_connection_limits.h"

#include <utility>

namespace AppStore {

OutgoingRoom::OutgoingRoom(RoomAgain roomAgain)
    : m_roomAgain(std::move(roomAgain))
{
    m_poll.setInterval(BusBounds::kRoomPollMs);
    QObject::connect(&m_poll, &QTimer::timeout, [this] { poll(); });
}

bool OutgoingRoom::isFull(const QDBusConnection &connection, bool afresh) const
{
    if (afresh || !m_sampled.isValid() || m_sampled.hasExpired(BusBounds::kOutgoingSampleMs)) {
        m_full = BusConnectionLimits::outgoingBytes(connection) > BusBounds::kMaxOutgoingBytes;
        m_sampled.start();
    }
    return m_full;
}

void OutgoingRoom::waitFor(const QString &key, const QDBusConnection &connection)
{
    m_connection = connection;
    m_waiting.insert(key);
    if (!m_poll.isActive())
        m_poll.start();
}

void OutgoingRoom::clear()
{
    m_waiting.clear();
    m_poll.stop();
}

void OutgoingRoom::poll()
{
    if (!m_waiting.isEmpty() && isFull(m_connection, true))
        return;
    m_poll.stop();
    m_roomAgain(std::exchange(m_waiting, {}));
}

} // namespace AppStore
