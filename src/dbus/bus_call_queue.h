#pragma once

#include "dbus/call_admission.h"
#include "dbus/call_bounds.h"
#include "dbus/caller_check.h"
#include "dbus/outgoing_room.h"
#include "dbus/unread_replies.h"
#include "dbus/user_workers.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QVariant>

#include <deque>
#include <functional>
#include <memory>

namespace AppStore {

// Every bus call that is not answered at once goes through here, so that no
// caller holds up the others and no caller's calls hold more than their
// share of the daemon's bus connection:
// - a method that checks its caller waits, without holding up the bus
//   thread, for the bus daemon's and the login manager's answers about the
//   caller, and is worked once admitted;
// - a method that runs a tool, asks the network or waits on another thread is
//   worked on a thread of the caller's user (one call of a user at a time) or
//   on the thread of the object it needs, and answered late from here;
// - a sender's calls are worked in two lanes, each one call at a time in the
//   order the calls came: the long queries worked on a user's thread (the
//   published list's reads and writes among them), and all others (the
//   install, removal and control requests, the settings, the reads answered
//   at once, the calls worked on the manager's thread). A call behind one
//   of its lane that waits, waits too, even a read answered at once behind
//   a setting's change; no call waits behind the other lane, so a request
//   is never held up by the same client's slow store query.
// What is held is bounded (CallBounds), in calls and in the bytes the held
// messages took on the wire, well below the bytes the bus library lets the
// connection hold before it stops reading: per user, and over all callers,
// with rooms kept for root and for the user at the seat, and one for the
// calls whose user is not known yet (counted against their sender too, a
// store client's first burst fits). A call that fits none of these waits
// unworked in a small waiting room, one per sender, until its user and the
// seat's are known (CallAdmission), and is judged then: so root's and the
// seat user's calls are never refused for what the others hold, the dpkg
// hook's report, which always comes on a fresh connection, included. A call
// beyond a bound is answered "LimitsExceeded" at once and leaves nothing
// behind. No call is worked while the connection has no room for what it
// sends (OutgoingRoom), nor answered with more than its user leaves unread
// (UnreadReplies).
// A call made in-process, not from the bus, is worked at once on the calling
// thread. A call held or in work keeps the daemon from its idle exit.
class BusCallQueue : public QObject
{
    Q_OBJECT
public:
    explicit BusCallQueue(QObject *parent = nullptr);
    ~BusCallQueue() override;

    // Fewer calls in all than BusBounds::kMaxCalls may be held (each keeps
    // the file descriptors its caller attached open, and the process may
    // open only so many).
    void limitCallsTo(int calls) { m_bounds.limitCallsTo(calls); }

    // A method open to all, worked at once on this thread unless its sender
    // has calls of its own still held; the value returned then is a
    // placeholder.
    template<typename Result>
    Result now(const QDBusContext &context, const std::function<Result()> &work)
    {
        if (refusedForUnread(context))
            return Result();
        const bool knowUser =
            context.calledFromDBus() &&
            m_unread.mustKnowUser(context.connection(), context.message().service());
        if (!knowUser && !mustWait(context)) {
            const BusCaller::Scope scope(BusCaller::of(context));
            const Result result = work();
            noteAnswer(context, QVariant::fromValue(result));
            return result;
        }
        take(context, Plan{CallerLevel::Open,
                           Where::Here,
                           nullptr,
                           [work](const BusCaller &) { return QVariant::fromValue(work()); },
                           {},
                           {},
                           knowUser});
        return Result();
    }

    void now(const QDBusContext &context, const std::function<void()> &work);

    // A method of the given level, worked on this thread with its caller once
    // that caller is admitted. A refused caller gets AccessDenied, or the
    // value of refusal when that is given.
    template<typename Result>
    Result checked(const QDBusContext &context, CallerLevel level,
                   const std::function<Result(const BusCaller &)> &work,
                   const std::function<Result()> &refusal = {})
    {
        if (!context.calledFromDBus())
            return work(BusCaller());
        take(context,
             Plan{level,
                  Where::Here,
                  nullptr,
                  [work](const BusCaller &caller) { return QVariant::fromValue(work(caller)); },
                  {},
                  wrapped(refusal)});
        return Result();
    }
    void checked(const QDBusContext &context, CallerLevel level,
                 const std::function<void(const BusCaller &)> &work);

    // A method worked on a thread of its caller's user. finish, when given,
    // runs on this object's thread with the result just before the reply
    // leaves: what the method hands on is handed on in the order it was when
    // the whole method ran on that thread. Its signals are given to the
    // broadcast outbox before the reply is sent, and leave first while the
    // bus takes what the daemon sends; while listeners that do not read hold
    // the outbox back, the reply does not wait for them and may overtake
    // them (BroadcastOutbox).
    template<typename Result>
    Result late(const QDBusContext &context, CallerLevel level, const std::function<Result()> &work,
                const std::function<void(const Result &)> &finish = {},
                const std::function<Result()> &refusal = {})
    {
        if (!context.calledFromDBus()) {
            const Result result = work();
            if (finish)
                finish(result);
            return result;
        }
        std::function<void(const QVariant &)> onResult;
        if (finish)
            onResult = [finish](const QVariant &result) { finish(result.value<Result>()); };
        take(context, Plan{level, Where::Worker, nullptr,
                           [work](const BusCaller &) { return QVariant::fromValue(work()); },
                           onResult, wrapped(refusal)});
        return Result();
    }
    void late(const QDBusContext &context, CallerLevel level, const std::function<void()> &work);

    // A method without a reply value whose work runs on target's thread,
    // behind what was queued to it before; finish, when given, runs on this
    // object's thread just before the reply leaves.
    void lateOn(QObject *target, const QDBusContext &context, CallerLevel level,
                const std::function<void()> &work, const std::function<void()> &finish = {});

    // No call is taken any more, and every call not yet answered is answered
    // with an error now; a result that comes later is dropped.
    void close();
    // close(), then the workers are told to end and waited for, at most
    // waitMs in all; false when one still runs, left to the ending process.
    bool stop(int waitMs);

private:
    enum class Where { Here, Worker, Target };
    enum Lane { MainLane, LongLane, kLanes };
    using Room = CallBounds::Room;
    struct Plan
    {
        CallerLevel level = CallerLevel::Open;
        Where where = Where::Here;
        QPointer<QObject> target;
        std::function<QVariant(const BusCaller &)> work;
        std::function<void(const QVariant &)> finish;
        // What a refused caller is answered with; AccessDenied when empty.
        std::function<QVariant()> refusal;
        // Worked only once its caller's user is known.
        bool knowUser = false;
    };
    // The replies prepared for a call; each keeps the received message.
    struct Answer
    {
        QDBusMessage reply;
        QDBusMessage limits;
        QDBusMessage denied;
        QDBusMessage failed;
    };
    struct Call
    {
        // Its number, in the order calls came.
        quint64 seq = 0;
        QString key;
        QDBusConnection connection{QString()};
        QString sender;
        QString method;
        std::shared_ptr<Answer> answer;
        Plan plan;
        qint64 bytes = 0;
        bool wantsReply = true;
        bool running = false;
        bool judged = false;
        // Admitted by the bus's own policy, whoever its caller was.
        bool byPolicy = false;
        Room room = CallBounds::UnknownRoom;
        // Its user, once known: the sender's record may go before the call.
        bool uidKnown = false;
        uid_t uid = 0;
    };
    struct Sender
    {
        QDBusConnection connection{QString()};
        QString name;
        // Its held calls by number, in the order they came, of both lanes.
        std::deque<quint64> calls;
        int inLane[kLanes] = {0, 0};
        bool uidKnown = false;
        uid_t uid = 0;
        // Its calls in the room of the calls whose user is not known.
        CallBounds::Usage awaiting;
        bool inWaitingRoom = false;
    };
    struct PostBox;

    template<typename Result>
    static std::function<QVariant()> wrapped(const std::function<Result()> &refusal)
    {
        if (!refusal)
            return {};
        return [refusal] { return QVariant::fromValue(refusal()); };
    }
    static QString keyOf(const QDBusConnection &connection, const QString &sender);
    Room roomOfUser(uid_t uid) const;
    bool waitingRoomFits(const Sender &sender, qint64 bytes) const;
    // Whether a call of uid fits its user's room and share; waits for the
    // seat's user where it could be that user's.
    enum class Fit { Fits, AwaitsSeat, Beyond };
    Fit fitOfUser(uid_t uid, qint64 bytes, quint64 seq) const;
    void count(Call &call, Sender &sender, Room room);

    // A call whose work or check needs to know its caller's user.
    static bool needsUser(const Call &call);
    static Lane laneOf(const Call &call);
    bool mustWait(const QDBusContext &context) const;
    // A caller who leaves too much unread is refused at once (true).
    bool refusedForUnread(const QDBusContext &context);
    // The answer about to leave at once for the call of context.
    void noteAnswer(const QDBusContext &context, const QVariant &result);
    void take(const QDBusContext &context, Plan &&plan);
    void advance(const QString &key);
    void step(const QString &key);
    void stepLane(const QString &key, Lane lane);
    void identityAnswered(const QString &key, quint64 covers, const CallerIdentity &identity);
    // The sender's calls not yet in a user's room go to the room of uid;
    // those beyond it are returned, to be refused, those that wait for the
    // seat's user stay.
    QList<quint64> placeInUsersRoom(Sender &sender, uid_t uid, bool onlyByPolicy = false);
    // Refuses calls of the sender out of its turn.
    void refuseOutOfTurn(const QString &key, const QList<quint64> &unknown,
                         const QList<quint64> &beyond);
    void seatAnswered(const QSet<QString> &waiting);
    // Starts the call's work; false when it was answered at once.
    bool start(quint64 id);
    // refused: the result answers a refused caller; what the call would have
    // done before its reply is not done.
    void complete(quint64 id, const QVariant &result, bool refused = false);
    void refuse(quint64 id);
    void fail(quint64 id, const QString &text);
    void limit(quint64 id);
    // Sends message, the call's reply or error, and lets the call go.
    void finishCall(quint64 id, QDBusMessage message);
    void uncount(const Call &call, Sender *sender);
    void forgetIfIdle(const QString &key);
    BusCaller callerOf(const Call &call) const;

    bool m_closed = false;
    quint64 m_lastSeq = 0;
    QHash<quint64, Call> m_calls;
    QHash<QString, Sender> m_senders;
    CallBounds m_bounds;
    CallAdmission m_admission;
    OutgoingRoom m_outgoing;
    QSet<QString> m_advancing;
    QSet<QString> m_again;
    std::shared_ptr<PostBox> m_postBox;
    UserWorkers m_workers;
    UnreadReplies m_unread;
};

} // namespace AppStore
