#pragma once

#include <QDBusContext>
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
// order they came, and at most kMaxCallsPerUser of them are held (the one in
// work among them); different users' calls run side by side. A call made
// in-process, not from the bus, is worked at once on the calling thread.
class LongCallQueue : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxCallsPerUser = 16;

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
    struct Call;
    struct State;

    void take(const QDBusContext &context, const std::function<QVariant()> &work,
              const std::function<void(const QVariant &)> &finish);
    // Works the calls of one user until none is left; on a worker thread.
    static void workUser(const std::shared_ptr<State> &state, uint uid);
    // Hands a result to the queue's thread, unless the queue is gone.
    static void post(const std::shared_ptr<State> &state, const std::shared_ptr<Call> &call,
                     const QVariant &result);
    void deliver(const std::shared_ptr<Call> &call, const QVariant &result);

    std::shared_ptr<State> m_state;
    QList<QPointer<QThread>> m_workers;
};

} // namespace AppStore
