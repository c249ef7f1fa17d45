#pragma once

#include <QList>
#include <QPointer>
#include <QVariant>

#include <functional>
#include <memory>
#include <sys/types.h>

class QObject;
class QThread;

namespace AppStore {

// A thread per user with work queued, which works that user's jobs one at a
// time in the order they came; different users' jobs run side by side. A
// job's result is handed to done on the owner's thread. Not thread-safe
// itself: the owner's thread only.
class UserWorkers
{
public:
    using Done = std::function<void(quint64 id, const QVariant &result)>;
    // Jobs that will not be worked: their worker could not be started.
    using Dropped = std::function<void(const QList<quint64> &ids)>;

    UserWorkers(QObject *owner, const Done &done, const Dropped &dropped);
    ~UserWorkers();

    void post(uid_t uid, quint64 id, const std::function<QVariant()> &job);
    // No job is started any more and no result is handed on.
    void close();
    // close(), then the workers are told to end and waited for, at most
    // waitMs in all; false when one still runs, which is then left to the
    // ending process.
    bool stop(int waitMs);

private:
    struct State;
    void start(uid_t uid);
    static void work(const std::shared_ptr<State> &state, uid_t uid);

    std::shared_ptr<State> m_state;
    Dropped m_dropped;
    QList<QPointer<QThread>> m_threads;
};

} // namespace AppStore
