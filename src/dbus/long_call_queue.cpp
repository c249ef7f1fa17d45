#include "long_call_queue.h"

#include "caller_identity.h"

#include "common/daemon_log.h"
#include "utils/caller_log_budget.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QHash>
#include <QMutex>
#include <QThread>

#include <deque>
#include <utility>

namespace AppStore {

namespace {

// How long the last replies may take to leave before the process ends.
constexpr int kFlushWaitMs = 1000;

void sendError(const QDBusConnection &connection, const QDBusMessage &message,
               QDBusError::ErrorType type, const QString &text)
{
    connection.send(message.createErrorReply(type, text));
}

} // namespace

struct LongCallQueue::Call
{
    QDBusConnection connection;
    QDBusMessage message;
    std::function<QVariant()> work;
    std::function<void(const QVariant &)> finish;
};

// Shared with the workers, which may outlive the queue at the end of the
// process.
struct LongCallQueue::State
{
    QMutex mutex;
    bool closed = false;
    // Per user: the call in work first, then the waiting ones.
    QHash<uint, std::deque<std::shared_ptr<Call>>> calls;
    // Where results go; null once the queue is gone.
    LongCallQueue *queue = nullptr;
    // The calls not answered yet; on the queue's thread only.
    QList<std::shared_ptr<Call>> unanswered;
};

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

void LongCallQueue::take(const QDBusContext &context, const std::function<QVariant()> &work,
                         const std::function<void(const QVariant &)> &finish)
{
    context.setDelayedReply(true);
    const QDBusConnection connection = context.connection();
    const QDBusMessage message = context.message();
    // Callers whose user the bus daemon could not tell share one queue.
    const uint uid = CallerIdentity::userOf(connection, message.service());
    const auto call = std::make_shared<Call>(Call{connection, message, work, finish});
    bool startWorker = false;
    {
        QMutexLocker locker(&m_state->mutex);
        if (m_state->closed) {
            locker.unlock();
            sendError(connection, message, QDBusError::Failed,
                      QStringLiteral("The daemon is stopping"));
            return;
        }
        std::deque<std::shared_ptr<Call>> &calls = m_state->calls[uid];
        if (calls.size() >= kMaxCallsPerUser) {
            locker.unlock();
            if (CallerLogBudget::admit(message.service()))
                qCWarning(daemonLogCategory) << "refused" << message.member() << "of uid" << uid
                                             << "with" << kMaxCallsPerUser << "of its calls held";
            sendError(connection, message, QDBusError::LimitsExceeded,
                      QStringLiteral("Too many calls of this user are waiting"));
            return;
        }
        startWorker = calls.empty();
        calls.push_back(call);
        m_state->unanswered.append(call);
    }
    if (!startWorker)
        return;
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
        std::shared_ptr<Call> call;
        {
            QMutexLocker locker(&state->mutex);
            if (state->closed || QThread::currentThread()->isInterruptionRequested()) {
                state->calls.remove(uid);
                return;
            }
            call = state->calls[uid].front();
        }
        post(state, call, call->work());
        QMutexLocker locker(&state->mutex);
        // The user's entry goes with its last call, under the same lock: a
        // call taken after this starts a worker of its own, and one taken
        // before it is this worker's next.
        std::deque<std::shared_ptr<Call>> &calls = state->calls[uid];
        calls.pop_front();
        if (calls.empty()) {
            state->calls.remove(uid);
            return;
        }
    }
}

void LongCallQueue::post(const std::shared_ptr<State> &state, const std::shared_ptr<Call> &call,
                         const QVariant &result)
{
    QMutexLocker locker(&state->mutex);
    if (LongCallQueue *queue = state->queue)
        QMetaObject::invokeMethod(
            queue, [queue, call, result] { queue->deliver(call, result); }, Qt::QueuedConnection);
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
    context.setDelayedReply(true);
    std::function<void(const QVariant &)> onResult;
    if (finish)
        onResult = [finish](const QVariant &) { finish(); };
    const auto call =
        std::make_shared<Call>(Call{context.connection(), context.message(), {}, onResult});
    {
        QMutexLocker locker(&m_state->mutex);
        if (m_state->closed) {
            locker.unlock();
            sendError(call->connection, call->message, QDBusError::Failed,
                      QStringLiteral("The daemon is stopping"));
            return;
        }
        m_state->unanswered.append(call);
    }
    QMetaObject::invokeMethod(
        target,
        [state = m_state, call, work] {
            work();
            post(state, call, QVariant());
        },
        Qt::QueuedConnection);
}

void LongCallQueue::deliver(const std::shared_ptr<Call> &call, const QVariant &result)
{
    // Answered already when the queue closed meanwhile.
    if (!m_state->unanswered.removeOne(call))
        return;
    if (call->finish)
        call->finish(result);
    call->connection.send(result.isValid() ? call->message.createReply(result)
                                           : call->message.createReply());
}

void LongCallQueue::close()
{
    {
        QMutexLocker locker(&m_state->mutex);
        m_state->closed = true;
    }
    const QList<std::shared_ptr<Call>> unanswered = std::exchange(m_state->unanswered, {});
    for (const std::shared_ptr<Call> &call : unanswered)
        sendError(call->connection, call->message, QDBusError::Failed,
                  QStringLiteral("The daemon is stopping"));
    if (unanswered.isEmpty())
        return;
    // Replies leave through the connection's own thread, in order: once a
    // call made after them is answered, they have gone out, even when the
    // process ends right after this.
    unanswered.constFirst()->connection.call(
        QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping")),
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
