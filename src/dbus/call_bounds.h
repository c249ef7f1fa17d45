#pragma once

#include "dbus/bus_bounds.h"

#include <QHash>

#include <sys/types.h>

namespace AppStore {

// What the bus calls held take, by room and by user, and whether one more
// fits: a plain value, asked and told by the call queue.
//
// The whole is bounded in calls and in the bytes the calls took on the wire;
// each user has a share of it. Root's room and the seat user's room are each
// a part of the whole that no other caller takes, nor the other of the two.
// The calls whose user is not known yet have a room of their own within the
// rest; a call that fits nowhere waits in the waiting room, one per sender.
class CallBounds
{
public:
    enum Room { RootRoom, SeatRoom, OthersRoom, UnknownRoom, WaitingRoom, kRooms };
    struct Usage
    {
        int calls = 0;
        qint64 bytes = 0;
    };

    // The first three rooms hold calls of a known user.
    static bool isUsersRoom(Room room) { return room < UnknownRoom; }
    static bool fits(const Usage &usage, int maxCalls, qint64 maxBytes, qint64 bytes);
    // Whether one more call of bytes fits what one sender may have held
    // before its user is known: a user's share.
    static bool senderMayAwait(const Usage &awaiting, qint64 bytes);

    // Fewer calls in all than BusBounds::kMaxCalls may be held (each keeps
    // the file descriptors its caller attached open, and the process may
    // open only so many).
    void limitCallsTo(int calls);
    int maxCalls() const { return m_maxCalls; }

    // Whether a call of bytes fits room: within the room's own bound and the
    // whole, less what root's and the seat user's rooms keep but have not
    // used (a room keeps its own for itself).
    bool roomFits(Room room, qint64 bytes) const;
    // Whether it also fits uid's share.
    bool userFits(uid_t uid, qint64 bytes) const;

    // room's uid is looked at for a user's room only.
    void count(Room room, uid_t uid, qint64 bytes);
    void uncount(Room room, uid_t uid, qint64 bytes);

    Usage ofRoom(Room room) const { return m_rooms[room]; }
    Usage ofUser(uid_t uid) const { return m_users.value(uid); }

private:
    int m_maxCalls = BusBounds::kMaxCalls;
    QHash<uid_t, Usage> m_users;
    Usage m_rooms[kRooms];
};

} // namespace AppStore
