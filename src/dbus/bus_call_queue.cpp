#include "bus_call_queue.h"

#include "bus_bounds.h"
#include "bus_message_size.h"

#include "common/daemon_log.h"
#include "task/task_manager.h"
#include "utils/caller_log_budget.h"

#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QMutex>

#include <algorithm>
#include <utility>

namespace AppStore {

namespace {

const QString kStoppingText = QStringLiteral("The daemon is stopping");
const QString kNoUserText = QStringLiteral("The caller's user could not be read");
const QString kNoWorkerText = QStringLiteral("The call could not be worked");

// The last hold on a received message goes on the connection's own thread,
// where the bus library may switch reading on again.
void letGo(const QDBusConnection &connection, std::shared_ptr<void> hold)
{
    QObject *busSide = connection.interface();
    if (!busSide)
        return;
    QMetaObject::invokeMethod(
        busSide, [hold = std::move(hold)]() mutable { hold.reset(); }, Qt::QueuedConnection);
}

} // namespace

// Where work done on another object's thread reports its end.
struct BusCallQueue::PostBox
{
    QMutex mutex;
    BusCallQueue *queue = nullptr;

    void post(quint64 id)
    {
        QMutexLocker locker(&mutex);
        if (BusCallQueue *owner = queue)
            QMetaObject::invokeMethod(
                owner, [owner, id] { owner->complete(id, QVariant()); }, Qt::QueuedConnection);
    }
};

BusCallQueue::BusCallQueue(QObject *parent)
    : QObject(parent)
    , m_admission(
          this,
          [this](const QString &key, quint64 covers, const CallerIdentity &identity) {
              identityAnswered(key, covers, identity);
          },
          [this](const QSet<QString> &waiting) { seatAnswered(waiting); })
    , m_outgoing([this](const QSet<QString> &keys) {
        for (const QString &key : keys)
            advance(key);
    })
    , m_postBox(std::make_shared<PostBox>())
    , m_workers(
          this, [this](quint64 id, const QVariant &result) { complete(id, result); },
          [this](const QList<quint64> &ids) {
              // Answered from the event loop: this runs inside a call's start.
              QMetaObject::invokeMethod(
                  this,
                  [this, ids] {
                      for (const quint64 id : ids)
                          fail(id, kNoWorkerText);
                  },
                  Qt::QueuedConnection);
          })
{
    m_postBox->queue = this;
}

BusCallQueue::~BusCallQueue()
{
    stop(0);
    QMutexLocker locker(&m_postBox->mutex);
    m_postBox->queue = nullptr;
}

void BusCallQueue::now(const QDBusContext &context, const std::function<void()> &work)
{
    if (refusedForUnread(context))
        return;
    if (!mustWait(context)) {
        const BusCaller::Scope scope(BusCaller::of(context));
        work();
        return;
    }
    take(context, Plan{CallerLevel::Open,
                       Where::Here,
                       nullptr,
                       [work](const BusCaller &) {
                           work();
                           return QVariant();
                       },
                       {},
                       {}});
}

void BusCallQueue::checked(const QDBusContext &context, CallerLevel level,
                           const std::function<void(const BusCaller &)> &work)
{
    if (!context.calledFromDBus()) {
        work(BusCaller());
        return;
    }
    take(context, Plan{level,
                       Where::Here,
                       nullptr,
                       [work](const BusCaller &caller) {
                           work(caller);
                           return QVariant();
                       },
                       {},
                       {}});
}

void BusCallQueue::late(const QDBusContext &context, CallerLevel level,
                        const std::function<void()> &work)
{
    if (!context.calledFromDBus()) {
        work();
        return;
    }
    take(context, Plan{level,
                       Where::Worker,
                       nullptr,
                       [work](const BusCaller &) {
                           work();
                           return QVariant();
                       },
                       {},
                       {}});
}

void BusCallQueue::lateOn(QObject *target, const QDBusContext &context, CallerLevel level,
                          const std::function<void()> &work, const std::function<void()> &finish)
{
    if (!context.calledFromDBus()) {
        work();
        if (finish)
            finish();
        return;
    }
    std::function<void(const QVariant &)> onResult;
    if (finish)
        onResult = [finish](const QVariant &) { finish(); };
    take(context, Plan{level,
                       Where::Target,
                       target,
                       [work](const BusCaller &) {
                           work();
                           return QVariant();
                       },
                       onResult,
                       {}});
}

QString BusCallQueue::keyOf(const QDBusConnection &connection, const QString &sender)
{
    return connection.name() + u'\n' + sender;
}

bool BusCallQueue::needsUser(const Call &call)
{
    return call.plan.where != Where::Here || call.plan.level != CallerLevel::Open ||
           call.plan.knowUser;
}

BusCallQueue::Lane BusCallQueue::laneOf(const Call &call)
{
    return call.plan.where == Where::Worker ? LongLane : MainLane;
}

bool BusCallQueue::refusedForUnread(const QDBusContext &context)
{
    if (!context.calledFromDBus())
        return false;
    if (!m_unread.isOver(context.connection(), context.message().service()))
        return false;
    context.setDelayedReply(true);
    if (context.message().isReplyRequired())
        context.connection().send(context.message().createErrorReply(
            QDBusError::LimitsExceeded,
            QStringLiteral("Too many answers of this user are unread")));
    return true;
}

void BusCallQueue::noteAnswer(const QDBusContext &context, const QVariant &result)
{
    if (context.calledFromDBus() && context.message().isReplyRequired())
        m_unread.sent(context.connection(), context.message().service(),
                      BusMessageSize::of(context.message().createReply(result)));
}

bool BusCallQueue::mustWait(const QDBusContext &context) const
{
    if (!context.calledFromDBus() || m_closed)
        return false;
    const auto sender =
        m_senders.constFind(keyOf(context.connection(), context.message().service()));
    return (sender != m_senders.cend() && sender->inLane[MainLane] > 0) ||
           m_outgoing.isFull(context.connection());
}

void BusCallQueue::take(const QDBusContext &context, Plan &&plan)
{
    context.setDelayedReply(true);
    const QDBusMessage &message = context.message();
    const bool wantsReply = message.isReplyRequired();
    // What a refusal needs is looked at first: a flood is mostly refused.
    Call call;
    call.connection = context.connection();
    call.sender = message.service();
    call.key = keyOf(call.connection, call.sender);
    call.bytes = BusMessageSize::of(message);
    if (m_closed) {
        if (wantsReply)
            call.connection.send(message.createErrorReply(QDBusError::Failed, kStoppingText));
        return;
    }
    if (refusedForUnread(context))
        return;
    const auto known = m_senders.constFind(call.key);
    uid_t uid = 0;
    const bool uidKnown = known != m_senders.cend()
                              ? (uid = known->uid, known->uidKnown)
                              : CallerIdentity::knownUserOf(call.connection, call.sender, uid);
    static const Sender none;
    const Sender &record = known != m_senders.cend() ? *known : none;
    Room room = CallBounds::WaitingRoom;
    if (uidKnown) {
        const Fit fit = fitOfUser(uid, call.bytes, m_lastSeq + 1);
        if (fit == Fit::Fits)
            room = roomOfUser(uid);
        else if (fit == Fit::Beyond || !waitingRoomFits(record, call.bytes))
            room = CallBounds::kRooms;
    } else if (m_bounds.roomFits(CallBounds::UnknownRoom, call.bytes) &&
               CallBounds::senderMayAwait(record.awaiting, call.bytes)) {
        room = CallBounds::UnknownRoom;
    } else if (!waitingRoomFits(record, call.bytes)) {
        room = CallBounds::kRooms;
    }
    if (room == CallBounds::kRooms) {
        BusCaller caller;
        caller.fromBus = true;
        caller.uidKnown = uidKnown;
        caller.uid = uid;
        if (CallerLogBudget::admit(caller.budget()))
            qCWarning(daemonLogCategory)
                << "refused a call of" << call.sender << "beyond the bounds of the held calls:"
                << (uidKnown ? m_bounds.ofUser(uid).calls : record.awaiting.calls)
                << "calls of its user held";
        if (wantsReply)
            call.connection.send(message.createErrorReply(
                QDBusError::LimitsExceeded,
                QStringLiteral("Too many calls of this user are waiting")));
        return;
    }
    call.method = message.member();
    call.wantsReply = wantsReply;
    call.answer = std::make_shared<Answer>(
        Answer{message.createReply(),
               message.createErrorReply(QDBusError::LimitsExceeded,
                                        QStringLiteral("Too many calls of this user are waiting")),
               message.createErrorReply(QDBusError::AccessDenied, QString()),
               message.createErrorReply(QDBusError::Failed, QString())});
    call.plan = std::move(plan);

    Sender &sender = m_senders[call.key];
    if (sender.name.isEmpty()) {
        sender.connection = call.connection;
        sender.name = call.sender;
        sender.uidKnown = uidKnown;
        sender.uid = uid;
        m_admission.addSender(call.key, call.connection, call.sender);
    }
    const quint64 id = ++m_lastSeq;
    call.seq = id;
    call.uidKnown = uidKnown;
    call.uid = uid;
    count(call, sender, room);
    if (room == CallBounds::WaitingRoom && uidKnown)
        m_admission.askSeat(call.key, m_lastSeq);
    TaskManager::instance()->addTask();
    sender.calls.push_back(id);
    sender.inLane[laneOf(call)] += 1;
    const QString key = call.key;
    m_calls.insert(id, std::move(call));
    advance(key);
}

void BusCallQueue::advance(const QString &key)
{
    // A call answered while its sender's calls are being stepped through
    // comes back here; the outer loop takes the next one.
    if (m_advancing.contains(key)) {
        m_again.insert(key);
        return;
    }
    m_advancing.insert(key);
    do {
        m_again.remove(key);
        step(key);
    } while (m_again.contains(key));
    m_advancing.remove(key);
    forgetIfIdle(key);
}

void BusCallQueue::step(const QString &key)
{
    stepLane(key, MainLane);
    stepLane(key, LongLane);
}

void BusCallQueue::stepLane(const QString &key, Lane lane)
{
    while (!m_closed) {
        const auto sender = m_senders.find(key);
        if (sender == m_senders.end() || sender->inLane[lane] == 0)
            return;
        const auto first =
            std::find_if(sender->calls.cbegin(), sender->calls.cend(), [this, lane](quint64 id) {
                const auto held = m_calls.constFind(id);
                return held != m_calls.cend() && laneOf(*held) == lane;
            });
        if (first == sender->calls.cend())
            return;
        const quint64 id = *first;
        Call &call = m_calls[id];
        if (call.running)
            return;
        if (!CallBounds::isUsersRoom(call.room) && !call.byPolicy &&
            (needsUser(call) || call.room == CallBounds::WaitingRoom || sender->uidKnown)) {
            // Judged once its user is known, and the seat's where that
            // decides its room.
            if (sender->uidKnown)
                m_admission.askSeat(key, m_lastSeq);
            else
                m_admission.askIdentity(key, m_lastSeq);
            return;
        }
        if (call.plan.level != CallerLevel::Open && !call.judged) {
            using Verdict = CallAdmission::Verdict;
            const Verdict verdict =
                m_admission.judge(key, call.uid, call.plan.level, call.seq, m_lastSeq);
            if (verdict == Verdict::Wait)
                return;
            if (verdict == Verdict::Refused) {
                refuse(id);
                continue;
            }
            call.judged = true;
        }
        if (m_outgoing.isFull(call.connection)) {
            m_outgoing.waitFor(key, call.connection);
            return;
        }
        if (start(id))
            return;
    }
}

void BusCallQueue::identityAnswered(const QString &key, quint64 covers,
                                    const CallerIdentity &identity)
{
    const auto sender = m_senders.find(key);
    // Its calls were all answered meanwhile, at a stop.
    if (sender == m_senders.end())
        return;
    QList<quint64> unknown;
    QList<quint64> beyondShare;
    bool byPolicy = false;
    if (!identity.hasUser()) {
        // Nothing can be decided about the calls the question was for; the
        // ones that came after it are asked about again.
        for (const quint64 id : sender->calls) {
            Call &call = m_calls[id];
            if (id > covers || call.running ||
                (!needsUser(call) && call.room != CallBounds::WaitingRoom))
                continue;
            // The bus takes root's methods only from root where the daemon
            // owns its name, so such a call of a caller that sent it and left
            // (the dpkg hook does) is root's.
            if (identity.senderGone() && call.plan.level == CallerLevel::RootOnly) {
                call.judged = call.byPolicy = byPolicy = true;
                continue;
            }
            unknown.append(id);
        }
        if (byPolicy)
            beyondShare = placeInUsersRoom(*sender, 0, true);
    } else if (!sender->uidKnown) {
        sender->uidKnown = true;
        sender->uid = identity.userId();
        beyondShare = placeInUsersRoom(*sender, sender->uid);
    }
    refuseOutOfTurn(key, unknown, beyondShare);
}

void BusCallQueue::refuseOutOfTurn(const QString &key, const QList<quint64> &unknown,
                                   const QList<quint64> &beyond)
{
    // They are out of the sender's turn before any is answered: answering
    // one steps through the sender's calls, which must not start them.
    std::deque<quint64> &calls = m_senders[key].calls;
    calls.erase(
        std::remove_if(calls.begin(), calls.end(),
                       [&](quint64 id) { return unknown.contains(id) || beyond.contains(id); }),
        calls.end());
    // From here on the sender's entry may go with its last call.
    for (const quint64 id : unknown)
        fail(id, kNoUserText);
    for (const quint64 id : beyond)
        limit(id);
    advance(key);
}

BusCallQueue::Room BusCallQueue::roomOfUser(uid_t uid) const
{
    if (uid == 0)
        return CallBounds::RootRoom;
    return m_admission.isSeatUser(uid) ? CallBounds::SeatRoom : CallBounds::OthersRoom;
}

bool BusCallQueue::waitingRoomFits(const Sender &sender, qint64 bytes) const
{
    return !sender.inWaitingRoom && m_bounds.roomFits(CallBounds::WaitingRoom, bytes);
}

BusCallQueue::Fit BusCallQueue::fitOfUser(uid_t uid, qint64 bytes, quint64 seq) const
{
    if (m_bounds.roomFits(roomOfUser(uid), bytes) && m_bounds.userFits(uid, bytes))
        return Fit::Fits;
    // The user may be the seat's since the seat was last asked.
    if (roomOfUser(uid) == CallBounds::OthersRoom && !m_admission.seatCovers(seq))
        return Fit::AwaitsSeat;
    return Fit::Beyond;
}

void BusCallQueue::count(Call &call, Sender &sender, Room room)
{
    call.room = room;
    m_bounds.count(room, call.uid, call.bytes);
    if (room == CallBounds::UnknownRoom) {
        sender.awaiting.calls += 1;
        sender.awaiting.bytes += call.bytes;
    } else if (room == CallBounds::WaitingRoom) {
        sender.inWaitingRoom = true;
    }
}

QList<quint64> BusCallQueue::placeInUsersRoom(Sender &sender, uid_t uid, bool onlyByPolicy)
{
    QList<quint64> beyond;
    bool awaitsSeat = false;
    for (const quint64 id : sender.calls) {
        Call &call = m_calls[id];
        if (CallBounds::isUsersRoom(call.room) || (onlyByPolicy && !call.byPolicy))
            continue;
        // Judged without itself, which it counts in where it waits.
        const Room waits = call.room;
        uncount(call, &sender);
        const Fit fit = fitOfUser(uid, call.bytes, call.seq);
        if (fit == Fit::Fits) {
            call.uidKnown = true;
            call.uid = uid;
            count(call, sender, roomOfUser(uid));
            continue;
        }
        count(call, sender, waits);
        if (fit == Fit::AwaitsSeat) {
            awaitsSeat = true;
            continue;
        }
        call.uidKnown = true;
        call.uid = uid;
        beyond.append(id);
    }
    if (awaitsSeat)
        m_admission.askSeat(keyOf(sender.connection, sender.name), m_lastSeq);
    return beyond;
}

void BusCallQueue::seatAnswered(const QSet<QString> &waiting)
{
    for (const QString &key : waiting) {
        const auto sender = m_senders.find(key);
        if (sender == m_senders.end())
            continue;
        const QList<quint64> beyond =
            sender->uidKnown ? placeInUsersRoom(*sender, sender->uid) : QList<quint64>();
        refuseOutOfTurn(key, {}, beyond);
    }
}

BusCaller BusCallQueue::callerOf(const Call &call) const
{
    BusCaller caller;
    caller.fromBus = true;
    caller.sender = call.sender;
    const auto sender = m_senders.constFind(call.key);
    if (call.uidKnown) {
        caller.uid = call.uid;
    } else if (sender != m_senders.cend() && sender->uidKnown) {
        caller.uid = sender->uid;
    } else {
        caller.uidKnown = false;
        caller.uid = 0;
    }
    return caller;
}

bool BusCallQueue::start(quint64 id)
{
    Call &call = m_calls[id];
    const BusCaller caller = callerOf(call);
    const std::function<QVariant(const BusCaller &)> work = call.plan.work;
    switch (call.plan.where) {
    case Where::Here: {
        QVariant result;
        {
            BusCaller::Scope scope(caller);
            result = work(caller);
        }
        complete(id, result);
        return false;
    }
    case Where::Worker:
        call.running = true;
        m_workers.post(caller.uid, id, [work, caller] {
            BusCaller::Scope scope(caller);
            return work(caller);
        });
        return true;
    case Where::Target:
        if (!call.plan.target) {
            fail(id, kNoWorkerText);
            return false;
        }
        call.running = true;
        QMetaObject::invokeMethod(
            call.plan.target,
            [postBox = m_postBox, id, work, caller] {
                {
                    BusCaller::Scope scope(caller);
                    work(caller);
                }
                postBox->post(id);
            },
            Qt::QueuedConnection);
        return true;
    }
    return false;
}

void BusCallQueue::complete(quint64 id, const QVariant &result, bool refused)
{
    const auto call = m_calls.constFind(id);
    // Answered already when the queue closed meanwhile.
    if (call == m_calls.cend())
        return;
    const std::function<void(const QVariant &)> finish = refused ? nullptr : call->plan.finish;
    QDBusMessage reply = call->answer->reply;
    // A short error in place of what its user would leave unread too.
    if (m_unread.isOver(call->connection, call->sender))
        reply = call->answer->limits;
    else if (result.isValid())
        reply.setArguments({result});
    if (call->wantsReply)
        m_unread.sent(call->connection, call->sender, BusMessageSize::of(reply));
    if (finish) {
        BusCaller::Scope scope(callerOf(*call));
        finish(result);
    }
    finishCall(id, std::move(reply));
}

void BusCallQueue::refuse(quint64 id)
{
    const auto call = m_calls.constFind(id);
    if (call == m_calls.cend())
        return;
    if (call->plan.refusal) {
        const std::function<QVariant()> refusal = call->plan.refusal;
        QVariant result;
        {
            BusCaller::Scope scope(callerOf(*call));
            result = refusal();
        }
        complete(id, result, true);
        return;
    }
    // Refusals may come by the thousand: the sender's record is read, not
    // copied with its held calls.
    const CallerIdentity &identity = m_admission.identityOf(call->key);
    const BusCaller caller = callerOf(*call);
    if (CallerLogBudget::admit(caller.budget()))
        qCWarning(daemonLogCategory).noquote()
            << "Authentication failed: Invalid exeFilePath:" << identity.executable() << "(sender"
            << call->sender << "pid" << identity.processId() << "uid" << caller.uid << "method"
            << call->method << ")";
    QDBusMessage denied = call->answer->denied;
    denied.setArguments(
        {QStringLiteral("Invalid caller executable path: %1").arg(identity.executable())});
    finishCall(id, std::move(denied));
}

void BusCallQueue::fail(quint64 id, const QString &text)
{
    const auto call = m_calls.constFind(id);
    if (call == m_calls.cend())
        return;
    QDBusMessage failed = call->answer->failed;
    failed.setArguments({text});
    finishCall(id, std::move(failed));
}

void BusCallQueue::limit(quint64 id)
{
    const auto call = m_calls.constFind(id);
    if (call == m_calls.cend())
        return;
    const BusCaller caller = callerOf(*call);
    if (CallerLogBudget::admit(caller.budget()))
        qCWarning(daemonLogCategory)
            << "refused a call of uid" << caller.uid << "beyond the bounds of its held calls";
    finishCall(id, QDBusMessage(call->answer->limits));
}

void BusCallQueue::finishCall(quint64 id, QDBusMessage message)
{
    Call call = m_calls.take(id);
    // A reply nobody asked for is refused by the bus, which then sends an
    // error back to read.
    if (call.wantsReply)
        call.connection.send(message);
    // Each copy keeps the received message; the last hold goes with the
    // prepared replies, on the connection's own thread.
    message = QDBusMessage();
    const auto sender = m_senders.find(call.key);
    uncount(call, sender != m_senders.end() ? &*sender : nullptr);
    if (sender != m_senders.end()) {
        std::deque<quint64> &calls = sender->calls;
        calls.erase(std::remove(calls.begin(), calls.end(), id), calls.end());
        sender->inLane[laneOf(call)] -= 1;
    }
    letGo(call.connection, std::move(call.answer));
    TaskManager::instance()->removeTask();
    advance(call.key);
}

void BusCallQueue::uncount(const Call &call, Sender *sender)
{
    m_bounds.uncount(call.room, call.uid, call.bytes);
    if (call.room == CallBounds::UnknownRoom && sender) {
        sender->awaiting.calls -= 1;
        sender->awaiting.bytes -= call.bytes;
    } else if (call.room == CallBounds::WaitingRoom && sender) {
        sender->inWaitingRoom = false;
    }
}

void BusCallQueue::forgetIfIdle(const QString &key)
{
    const auto sender = m_senders.find(key);
    if (sender == m_senders.end() || !sender->calls.empty())
        return;
    m_senders.erase(sender);
    m_admission.forget(key);
    m_outgoing.forget(key);
}

void BusCallQueue::close()
{
    if (m_closed)
        return;
    m_closed = true;
    m_workers.close();
    QDBusConnection connection(QString{});
    const QList<quint64> ids = m_calls.keys();
    for (const quint64 id : ids) {
        connection = m_calls.value(id).connection;
        fail(id, kStoppingText);
    }
    m_senders.clear();
    m_admission.clear();
    m_outgoing.clear();
    if (ids.isEmpty())
        return;
    // Replies leave through the connection's own thread, in order: once a
    // call made after them is answered, they have gone out, even when the
    // process ends right after this.
    connection.call(QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                   QStringLiteral("/org/freedesktop/DBus"),
                                                   QStringLiteral("org.freedesktop.DBus.Peer"),
                                                   QStringLiteral("Ping")),
                    QDBus::Block, BusBounds::kFlushWaitMs);
}

bool BusCallQueue::stop(int waitMs)
{
    close();
    return m_workers.stop(waitMs);
}

} // namespace AppStore
