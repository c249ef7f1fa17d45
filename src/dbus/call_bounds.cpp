#include "call_bounds.h"

#include <QtGlobal>

namespace AppStore {

bool CallBounds::fits(const Usage &usage, int maxCalls, qint64 maxBytes, qint64 bytes)
{
    return usage.calls < maxCalls && usage.bytes + bytes <= maxBytes;
}

bool CallBounds::senderMayAwait(const Usage &awaiting, qint64 bytes)
{
    return fits(awaiting, BusBounds::kMaxCallsPerUser, BusBounds::kMaxBytesPerUser, bytes);
}

void CallBounds::limitCallsTo(int calls)
{
    m_maxCalls = qBound(1, calls, BusBounds::kMaxCalls);
}

bool CallBounds::roomFits(Room room, qint64 bytes) const
{
    // A small call always has a place; a bigger one while the room has.
    if (room == WaitingRoom)
        return m_rooms[room].calls < BusBounds::kMaxWaitingCalls &&
               (bytes <= BusBounds::kMaxWaitingCallBytes ||
                m_rooms[room].bytes + bytes <= BusBounds::kMaxBytes / BusBounds::kKeptRoomDivisor);
    if (room == UnknownRoom &&
        !fits(m_rooms[room], qMax(1, m_maxCalls / BusBounds::kUnknownRoomDivisor),
              BusBounds::kMaxBytes / BusBounds::kUnknownRoomDivisor, bytes))
        return false;
    // What root's and the seat user's rooms have not used stays theirs.
    const int keptCalls = qMax(1, m_maxCalls / BusBounds::kKeptRoomDivisor);
    const qint64 keptBytes = BusBounds::kMaxBytes / BusBounds::kKeptRoomDivisor;
    int calls = m_maxCalls;
    qint64 allBytes = BusBounds::kMaxBytes;
    Usage held;
    for (const Room counted : {RootRoom, SeatRoom, OthersRoom, UnknownRoom}) {
        held.calls += m_rooms[counted].calls;
        held.bytes += m_rooms[counted].bytes;
        if (isUsersRoom(counted) && counted != OthersRoom && counted != room) {
            calls -= qMax(0, keptCalls - m_rooms[counted].calls);
            allBytes -= qMax<qint64>(0, keptBytes - m_rooms[counted].bytes);
        }
    }
    return fits(held, calls, allBytes, bytes);
}

bool CallBounds::userFits(uid_t uid, qint64 bytes) const
{
    return fits(m_users.value(uid), BusBounds::kMaxCallsPerUser, BusBounds::kMaxBytesPerUser,
                bytes);
}

void CallBounds::count(Room room, uid_t uid, qint64 bytes)
{
    m_rooms[room].calls += 1;
    m_rooms[room].bytes += bytes;
    if (!isUsersRoom(room))
        return;
    Usage &share = m_users[uid];
    share.calls += 1;
    share.bytes += bytes;
}

void CallBounds::uncount(Room room, uid_t uid, qint64 bytes)
{
    m_rooms[room].calls -= 1;
    m_rooms[room].bytes -= bytes;
    if (!isUsersRoom(room))
        return;
    const auto share = m_users.find(uid);
    if (share == m_users.end())
        return;
    share->calls -= 1;
    share->bytes -= bytes;
    if (share->calls <= 0)
        m_users.erase(share);
}

} // namespace AppStore
