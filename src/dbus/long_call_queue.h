#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QVariant>

#include <functional>
#include <memory>

class QThread;

namespace AppStore {

// The bus methods that run a tool, ask the network or wait on another thread
// answer late, so that no caller holds up the others: the bus thread only
// takes such a call in, a worker thread does its work, and the reply leaves
// from this object's thread. One user's calls run one at a time, in the
// order they came; different users' calls run side by side. A call held or
// in work keeps the daemon from its idle exit, as a task does. What one user
// may have held (the call in work among them) is bounded in calls and in the
// size of their arguments; beyond either bound a call is answered at once
// with "LimitsExceeded". A call made in-process, not from the bus, is worked
// at once on the calling thread.
//
// A held call keeps only its work (with the arguments it uses) and its
// prepared replies. The received message stays behind those replies until
// the call is answered, and is then let go on the bus connection's own
// thread: the bus library resumes reading a connection from the thread that
// frees its messages, and only that thread may.
class LongCallQueue : public QObject
{
    Q_OBJECT
public:
    // A store page asks once per listed application; the bus itself lets one
    // connection have 128 replies pending.
    static constexpr int kMaxCallsPerUser = 1024;
    // Counted over the arguments of the held calls as they came.
    static constexpr qint64 kMaxBytesPerUser = 16 * 1024 * 1024;

    explicit LongCallQueue(QObject *parent = nullptr);
    ~LongCallQueue() override;

    // work's result is the reply. finish, when given, runs on this object's
    // thread with the result just before the reply leaves: what the method
    // signals or hands on goes out in the order it did when the whole method
    // ran on that thread. The value returned to a bus call is a placeholder.
    template<typename Result>
    Result answer(const QDBusContext &context, const std::function<Result()> &work,
                  const std::function<void(const Result &)> &finish = {})
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
        take(
            context, [work] { return QVariant::fromValue(work()); }, onResult);
        return Result();
    }

    // The same for a method that replies with no value.
    void run(const QDBusContext &context, const std::function<void()> &work)
    {
        if (!context.calledFromDBus()) {
            work();
            return;
        }
        take(context,
             [work] {
                 work();
                 return QVariant();
             },
             {});
    }

    // A method without a reply value whose work runs on target's thread,
    // behind what was queued to it before; finish, when given, runs on this
    // object's thread just before the reply leaves. Held like the other
    // calls until answered, so a stop answers it too.
    void runOn(QObject *target, const QDBusContext &context, const std::function<void()> &work,
               const std::function<void()> &finish = {});

    // No call is taken any more, and every call not yet answered is answered
    // with an error now; a result that comes later is dropped.
    void close();
    // close(), then the workers are told to end and waited for, at most
    // waitMs in all. A worker still running after that is left to the
    // ending process.
    void stop(int waitMs);

private:
    // The replies prepared for a call; each keeps the received message.
    struct Answer
    {
        QDBusMessage reply;
        QDBusMessage stopping;
        QDBusMessage limits;
    };
    struct Held
    {
        QDBusConnection connection{QString()};
        QString sender;
        std::shared_ptr<Answer> answer;
        std::function<QVariant()> work;
        std::function<void(const QVariant &)> finish;
        qint64 bytes = 0;
        // Counted against a user's bounds once admitted.
        bool counted = false;
        // Counted as a task, which keeps the daemon from its idle exit.
        bool guarded = false;
        uint uid = 0;
    };
    struct Usage
    {
        int calls = 0;
        qint64 bytes = 0;
    };
    struct Awaiting
    {
        QList<quint64> ids;
        Usage usage;
    };
    struct State;

    // The call, its replies prepared, kept until answered; 0 when answered
    // at once because the queue is closed.
    quint64 hold(const QDBusContext &context, const std::function<void(const QVariant &)> &finish);
    void take(const QDBusContext &context, const std::function<QVariant()> &work,
              const std::function<void(const QVariant &)> &finish);
    // The caller's user is asked of the bus daemon without waiting for it;
    // the calls of that sender wait, bounded like a user's, until it answers.
    void awaitUser(quint64 id, const QString &sender);
    void userKnown(const QString &key, uint uid);
    // Held within the user's bounds and queued to its worker, or refused.
    void admit(quint64 id, uint uid);
    void startWorker(uint uid);
    // Works the calls of one user until none is left; on a worker thread.
    static void workUser(const std::shared_ptr<State> &state, uint uid);
    // Hands a result to the queue's thread, unless the queue is gone.
    static void post(const std::shared_ptr<State> &state, quint64 id, const QVariant &result);
    void deliver(quint64 id, const QVariant &result);
    // Sends the reply or error prepared for the call and lets it go.
    void answerHeld(Held &&held, const QVariant *result, bool limits = false);

    std::shared_ptr<State> m_state;
    QList<QPointer<QThread>> m_workers;
    // The rest on this object's thread only.
    quint64 m_lastId = 0;
    QHash<quint64, Held> m_held;
    QHash<uint, Usage> m_usage;
    QHash<QString, Awaiting> m_awaiting;
};

} // namespace AppStore
