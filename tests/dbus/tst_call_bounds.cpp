#include "dbus/call_bounds.h"

#include <QTest>

#include <vector>

using AppStore::CallBounds;
namespace BusBounds = AppStore::BusBounds;

namespace {

// Calls already held: count calls of bytes each in room for uid.
struct Held
{
    CallBounds::Room room;
    uid_t uid;
    int count;
    qint64 bytes;
};

constexpr qint64 kSmall = 100;
constexpr uid_t kSeat = 1000;
constexpr int kKept = BusBounds::kMaxCalls / BusBounds::kKeptRoomDivisor;

} // namespace

Q_DECLARE_METATYPE(std::vector<Held>)
Q_DECLARE_METATYPE(CallBounds::Room)

// Whether one more call fits, after what others hold: one row per rule.
class TestCallBounds : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void oneMoreCall_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<std::vector<Held>>("held");
        QTest::addColumn<CallBounds::Room>("room");
        QTest::addColumn<uid_t>("uid");
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<bool>("fits");

        const auto others = [](int users) {
            std::vector<Held> held;
            for (int user = 1; user <= users; ++user)
                held.push_back(
                    {CallBounds::OthersRoom, uid_t(user), BusBounds::kMaxCallsPerUser, kSmall});
            return held;
        };
        const int rest = BusBounds::kMaxCalls - 2 * kKept;
        QTest::newRow("a user's share in calls")
            << BusBounds::kMaxCalls << others(1) << CallBounds::OthersRoom << uid_t(1) << kSmall
            << false;
        QTest::newRow("another user beside it")
            << BusBounds::kMaxCalls << others(1) << CallBounds::OthersRoom << uid_t(2) << kSmall
            << true;
        QTest::newRow("a user's share in bytes")
            << BusBounds::kMaxCalls
            << std::vector<Held>{{CallBounds::OthersRoom, 1, 1, BusBounds::kMaxBytesPerUser}}
            << CallBounds::OthersRoom << uid_t(1) << qint64(1) << false;
        QTest::newRow("others never take the kept rooms")
            << BusBounds::kMaxCalls << std::vector<Held>{{CallBounds::OthersRoom, 1, rest, kSmall}}
            << CallBounds::OthersRoom << uid_t(2) << kSmall << false;
        QTest::newRow("root keeps its room")
            << BusBounds::kMaxCalls << std::vector<Held>{{CallBounds::OthersRoom, 1, rest, kSmall}}
            << CallBounds::RootRoom << uid_t(0) << kSmall << true;
        QTest::newRow("the seat user keeps its room")
            << BusBounds::kMaxCalls << std::vector<Held>{{CallBounds::OthersRoom, 1, rest, kSmall}}
            << CallBounds::SeatRoom << kSeat << kSmall << true;
        QTest::newRow("the seat user never takes root's room")
            << BusBounds::kMaxCalls
            << std::vector<Held>{{CallBounds::OthersRoom, 1, rest - 10, kSmall},
                                 {CallBounds::SeatRoom, kSeat, kKept + 10, kSmall}}
            << CallBounds::SeatRoom << kSeat << kSmall << false;
        QTest::newRow("root past its room takes what is free")
            << BusBounds::kMaxCalls << std::vector<Held>{{CallBounds::RootRoom, 0, kKept, kSmall}}
            << CallBounds::RootRoom << uid_t(0) << kSmall << true;
        QTest::newRow("unknown users take half at most")
            << BusBounds::kMaxCalls
            << std::vector<Held>{{CallBounds::UnknownRoom, 0, BusBounds::kMaxCalls / 2, kSmall}}
            << CallBounds::UnknownRoom << uid_t(0) << kSmall << false;
        QTest::newRow("unknown users never take the kept rooms")
            << BusBounds::kMaxCalls
            << std::vector<Held>{{CallBounds::OthersRoom, 1, rest - 10, kSmall},
                                 {CallBounds::UnknownRoom, 0, 10, kSmall}}
            << CallBounds::UnknownRoom << uid_t(0) << kSmall << false;
        QTest::newRow("a small call always waits")
            << BusBounds::kMaxCalls
            << std::vector<Held>{{CallBounds::OthersRoom, 1, rest, kSmall},
                                 {CallBounds::WaitingRoom, 0, 1, BusBounds::kMaxBytes / 8}}
            << CallBounds::WaitingRoom << uid_t(0) << BusBounds::kMaxWaitingCallBytes << true;
        QTest::newRow("a big one within the waiting room's bytes")
            << BusBounds::kMaxCalls
            << std::vector<Held>{{CallBounds::WaitingRoom, 0, 1, BusBounds::kMaxBytes / 8}}
            << CallBounds::WaitingRoom << uid_t(0) << BusBounds::kMaxWaitingCallBytes + 1 << false;
        QTest::newRow("one waiting call per connection the bus allows")
            << BusBounds::kMaxCalls
            << std::vector<Held>{{CallBounds::WaitingRoom, 0, BusBounds::kMaxWaitingCalls, 1}}
            << CallBounds::WaitingRoom << uid_t(0) << qint64(1) << false;
        QTest::newRow("a low open-file limit lowers the whole")
            << 64 << std::vector<Held>{{CallBounds::OthersRoom, 1, 64 - 2 * 8, kSmall}}
            << CallBounds::OthersRoom << uid_t(2) << kSmall << false;
        QTest::newRow("and keeps root's room in it")
            << 64 << std::vector<Held>{{CallBounds::OthersRoom, 1, 64 - 2 * 8, kSmall}}
            << CallBounds::RootRoom << uid_t(0) << kSmall << true;
    }

    void oneMoreCall()
    {
        QFETCH(int, limit);
        QFETCH(std::vector<Held>, held);
        QFETCH(CallBounds::Room, room);
        QFETCH(uid_t, uid);
        QFETCH(qint64, bytes);
        QFETCH(bool, fits);
        CallBounds bounds;
        bounds.limitCallsTo(limit);
        for (const Held &calls : held)
            for (int i = 0; i < calls.count; ++i)
                bounds.count(calls.room, calls.uid, calls.bytes);
        const bool userFits = !CallBounds::isUsersRoom(room) || bounds.userFits(uid, bytes);
        QCOMPARE(bounds.roomFits(room, bytes) && userFits, fits);
    }

    // What is let go is free again, to the last call of a user.
    void letGoIsFreeAgain()
    {
        CallBounds bounds;
        for (int i = 0; i < BusBounds::kMaxCallsPerUser; ++i)
            bounds.count(CallBounds::OthersRoom, 1, kSmall);
        QVERIFY(!bounds.userFits(1, kSmall));
        for (int i = 0; i < BusBounds::kMaxCallsPerUser; ++i)
            bounds.uncount(CallBounds::OthersRoom, 1, kSmall);
        QCOMPARE(bounds.ofUser(1).calls, 0);
        QCOMPARE(bounds.ofRoom(CallBounds::OthersRoom).bytes, 0);
        QVERIFY(bounds.userFits(1, BusBounds::kMaxBytesPerUser));
    }
};

QTEST_GUILESS_MAIN(TestCallBounds)
#include "tst_call_bounds.moc"
