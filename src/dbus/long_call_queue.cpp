#include "long_call_queue.h"

#include "caller_identity.h"

#include "common/daemon_log.h"
#include "task/task_manager.h"
#include "utils/caller_log_budget.h"

#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusPendingCallWatcher>
#include <QDeadlineTimer>
#include <QMutex>
#include <QThread>

#include <deque>
#include <utility>

namespace AppStore {

namespace {

// How long the last replies may take to leave before the process ends.
constexpr int kFlushWaitMs = 1000;
// The bus daemon answers at once unless something is badly wrong.
constexpr int kUserQueryTimeoutMs = 3000;
// What a value takes beside its text, roughly as the bus carries it.
constexpr qint64 kValueOverhead = 16;

const QString kStoppingText = QStringLiteral("The daemon is stopping");

// Memory the arguments of a call take, as received.
qint64 argumentBytes(const QVariantList &arguments)
{
    qint64 bytes = 0;
    for (const QVariant &argument : arguments) {
        if (argument.metaType() == QMetaType::fromType<QString>()) {
            bytes += kValueOverhead + argument.toString().size() * qint64(sizeof(QChar));
        } else if (argument.metaType() == QMetaType::fromType<QStringList>()) {
            const QStringList texts = argument.toStringList();
            for (const QString &text : texts)
                bytes += kValueOverhead + text.size() * qint64(sizeof(QChar));
        } else {
            bytes += kValueOverhead;
        }
    }
    return bytes;
}

} // namespace

struct LongCallQueue::State
{
    struct Job
    {
        quint64 id = 0;
        std::function<QVariant()> work;
    };

    QMutex mutex;
    bool closed = false;
    // Per user: the call in work first, then the waiting ones.
    QHash<uint, std::deque<Job>> jobs;
    // Where results go; null once the queue is gone.
    LongCallQueue *queue = nullptr;
};

namespace {

// The last hold on a received message goes on the connection's own thread.
void letGo(const QDBusConnection &connection, std::shared_ptr<void> hold)
{
    QObject *busSide = connection.interface();
    if (!busSide)
        return;
    QMetaObject::invokeMethod(
        busSide, [hold = std::move(hold)]() mutable { hold.reset(); }, Qt::QueuedConnection);
}

} // namespace

LongCallQueue::LongCallQueue(QObject *parent)
    : QObject(parent)
    , m_state(std::make_shared<State>())
{
    m_state->queue = this;
}

LongCallQueue::~LongCallQueue()
{
    stop(0);
    QMutexLocker locker(&m_state->mutex);
    m_state->queue = nullptr;
}

quint64 LongCallQueue::hold(const QDBusContext &context,
                            const std::function<void(const QVariant &)> &finish)
{
    context.setDelayedReply(true);
    const QDBusMessage message = context.message();
    Held held;
    held.connection = context.connection();
    held.sender = message.service();
    held.answer = std::make_shared<Answer>(Answer{
        message.createReply(), message.createErrorReply(QDBusError::Failed, kStoppingText),
        message.createErrorReply(QDBusError::LimitsExceeded,
                                 QStringLiteral("Too many calls of this user are waiting"))});
    held.finish = finish;
    held.bytes = argumentBytes(message.arguments());
    const bool closed = [this] {
        QMutexLocker locker(&m_state->mutex);
        return m_state->closed;
    }();
    if (closed) {
        answerHeld(std::move(held), nullptr);
        return 0;
    }
    const quint64 id = ++m_lastId;
    held.guarded = true;
    TaskManager::instance()->addTask();
    m_held.insert(id, std::move(held));
    return id;
}

void LongCallQueue::take(const QDBusContext &context, const std::function<QVariant()> &work,
                         const std::function<void(const QVariant &)> &finish)
{
    const quint64 id = hold(context, finish);
    if (id == 0)
        return;
    m_held[id].work = work;
    const QString sender = context.message().service();
    uid_t uid = 0;
    if (CallerIdentity::knownUserOf(context.connection(), sender, uid))
        admit(id, uid);
    else
        awaitUser(id, sender);
}

void LongCallQueue::awaitUser(quint64 id, const QString &sender)
{
    Held &held = m_held[id];
    const QString key = held.connection.name() + u'\n' + sender;
    const bool asked = m_awaiting.contains(key);
    Awaiting &awaiting = m_awaiting[key];
    if (awaiting.usage.calls >= kMaxCallsPerUser ||
        awaiting.usage.bytes + held.bytes > kMaxBytesPerUser) {
        if (CallerLogBudget::admit(sender))
            qCWarning(daemonLogCategory)
                << "refused a call of" << sender << "beyond the bounds of its held calls";
        answerHeld(m_held.take(id), nullptr, true);
        return;
    }
    awaiting.ids.append(id);
    awaiting.usage.calls += 1;
    awaiting.usage.bytes += held.bytes;
    if (asked)
        return;
    const QDBusConnection connection = held.connection;
    auto *watcher = new QDBusPendingCallWatcher(
        CallerIdentity::questionsConnection(connection)
            .asyncCall(CallerIdentity::credentialsQuery(sender), kUserQueryTimeoutMs),
        this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, connection, key, sender](QDBusPendingCallWatcher *finished) {
                finished->deleteLater();
                // Callers whose user the bus daemon could not tell share one
                // queue.
                userKnown(key, CallerIdentity::userFromCredentials(connection, sender,
                                                                   finished->reply()));
            });
}

void LongCallQueue::userKnown(const QString &key, uint uid)
{
    const Awaiting awaiting = m_awaiting.take(key);
    for (const quint64 id : awaiting.ids)
        // Not there when answered meanwhile, at a stop.
        if (m_held.contains(id))
            admit(id, uid);
}

void LongCallQueue::admit(quint64 id, uint uid)
{
    Held &held = m_held[id];
    Usage &usage = m_usage[uid];
    if (usage.calls >= kMaxCallsPerUser || usage.bytes + held.bytes > kMaxBytesPerUser) {
        if (CallerLogBudget::admit(held.sender))
            qCWarning(daemonLogCategory)
                << "refused a call of uid" << uid << "with" << usage.calls << "of its calls held";
        if (usage.calls == 0)
            m_usage.remove(uid);
        answerHeld(m_held.take(id), nullptr, true);
        return;
    }
    usage.calls += 1;
    usage.bytes += held.bytes;
    held.counted = true;
    held.uid = uid;
    bool first = false;
    {
        QMutexLocker locker(&m_state->mutex);
        std::deque<State::Job> &jobs = m_state->jobs[uid];
        first = jobs.empty();
        jobs.push_back(State::Job{id, std::exchange(held.work, {})});
    }
    if (first)
        startWorker(uid);
}

void LongCallQueue::startWorker(uint uid)
{
    QThread *worker = QThread::create(&LongCallQueue::workUser, m_state, uid);
    worker->setObjectName(QStringLiteral("LongCall"));
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    m_workers.removeIf([](const QPointer<QThread> &thread) { return thread.isNull(); });
    m_workers.append(worker);
    worker->start();
}

void LongCallQueue::workUser(const std::shared_ptr<State> &state, uint uid)
{
    for (;;) {
        State::Job job;
        {
            QMutexLocker locker(&state->mutex);
            if (state->closed || QThread::currentThread()->isInterruptionRequested()) {
                state->jobs.remove(uid);
                return;
            }
            job = std::move(state->jobs[uid].front());
        }
        post(state, job.id, job.work());
        job = State::Job();
        QMutexLocker locker(&state->mutex);
        // The user's entry goes with its last call, under the same lock: a
        // call taken after this starts a worker of its own, and one taken
        // before it is this worker's next.
        std::deque<State::Job> &jobs = state->jobs[uid];
        jobs.pop_front();
        if (jobs.empty()) {
            state->jobs.remove(uid);
            return;
        }
    }
}

void LongCallQueue::post(const std::shared_ptr<State> &state, quint64 id, const QVariant &result)
{
    QMutexLocker locker(&state->mutex);
    if (LongCallQueue *queue = state->queue)
        QMetaObject::invokeMethod(
            queue, [queue, id, result] { queue->deliver(id, result); }, Qt::QueuedConnection);
}

void LongCallQueue::runOn(QObject *target, const QDBusContext &context,
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
    // Held like a queued call, but neither bounded nor queued to a worker.
    const quint64 id = hold(context, onResult);
    if (id == 0)
        return;
    QMetaObject::invokeMethod(
        target,
        [state = m_state, id, work] {
            work();
            post(state, id, QVariant());
        },
        Qt::QueuedConnection);
}

void LongCallQueue::deliver(quint64 id, const QVariant &result)
{
    // Answered already when the queue closed meanwhile.
    const auto held = m_held.find(id);
    if (held == m_held.end())
        return;
    Held call = std::move(*held);
    m_held.erase(held);
    if (call.finish)
        call.finish(result);
    answerHeld(std::move(call), &result);
}

void LongCallQueue::answerHeld(Held &&held, const QVariant *result, bool limits)
{
    if (held.counted) {
        Usage &usage = m_usage[held.uid];
        usage.calls -= 1;
        usage.bytes -= held.bytes;
        if (usage.calls <= 0)
            m_usage.remove(held.uid);
    }
    {
        QDBusMessage reply =
            !result ? (limits ? held.answer->limits : held.answer->stopping) : held.answer->reply;
        if (result && result->isValid())
            reply.setArguments({*result});
        held.connection.send(reply);
    }
    letGo(held.connection, std::move(held.answer));
    if (held.guarded)
        TaskManager::instance()->removeTask();
}

void LongCallQueue::close()
{
    {
        QMutexLocker locker(&m_state->mutex);
        m_state->closed = true;
    }
    m_awaiting.clear();
    QHash<quint64, Held> held = std::exchange(m_held, {});
    if (held.isEmpty())
        return;
    const QDBusConnection connection = held.cbegin()->connection;
    for (auto call = held.begin(); call != held.end(); ++call)
        answerHeld(std::move(call.value()), nullptr);
    // Replies leave through the connection's own thread, in order: once a
    // call made after them is answered, they have gone out, even when the
    // process ends right after this.
    connection.call(QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                   QStringLiteral("/org/freedesktop/DBus"),
                                                   QStringLiteral("org.freedesktop.DBus.Peer"),
                                                   QStringLiteral("Ping")),
                    QDBus::Block, kFlushWaitMs);
}

void LongCallQueue::stop(int waitMs)
{
    close();
    const QDeadlineTimer deadline(waitMs);
    for (const QPointer<QThread> &worker : std::as_const(m_workers))
        if (worker)
            worker->requestInterruption();
    for (const QPointer<QThread> &worker : std::as_const(m_workers)) {
        if (worker && !worker->wait(deadline)) {
            qCWarning(daemonLogCategory) << "a long call still runs; it ends with the process";
            // Never destroyed while it runs.
            disconnect(worker, &QThread::finished, worker, &QObject::deleteLater);
        }
    }
    m_workers.clear();
}

} // namespace AppStore
