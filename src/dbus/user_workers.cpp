#include "user_workers.h"

#include "common/daemon_log.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QMutex>
#include <QObject>
#include <QThread>

#include <deque>
#include <utility>

namespace AppStore {

struct UserWorkers::State
{
    struct Job
    {
        quint64 id = 0;
        std::function<QVariant()> work;
    };

    QMutex mutex;
    bool closed = false;
    // Per user: the job in work first, then the waiting ones.
    QHash<uid_t, std::deque<Job>> jobs;
    // Where results go; null once closed.
    QObject *owner = nullptr;
    Done done;
};

UserWorkers::UserWorkers(QObject *owner, const Done &done, const Dropped &dropped)
    : m_state(std::make_shared<State>())
    , m_dropped(dropped)
{
    m_state->owner = owner;
    m_state->done = done;
}

UserWorkers::~UserWorkers()
{
    stop(0);
}

void UserWorkers::post(uid_t uid, quint64 id, const std::function<QVariant()> &job)
{
    bool first = false;
    {
        QMutexLocker locker(&m_state->mutex);
        if (m_state->closed)
            return;
        std::deque<State::Job> &jobs = m_state->jobs[uid];
        first = jobs.empty();
        jobs.push_back(State::Job{id, job});
    }
    if (first)
        start(uid);
}

void UserWorkers::start(uid_t uid)
{
    QThread *thread = QThread::create(&UserWorkers::work, m_state, uid);
    thread->setObjectName(QStringLiteral("LongCall"));
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    m_threads.removeIf([](const QPointer<QThread> &known) { return known.isNull(); });
    thread->start();
    // A thread that could not be made is neither running nor finished.
    if (thread->isRunning() || thread->isFinished()) {
        m_threads.append(thread);
        return;
    }
    delete thread;
    QList<quint64> ids;
    {
        QMutexLocker locker(&m_state->mutex);
        for (const State::Job &job : m_state->jobs.take(uid))
            ids.append(job.id);
    }
    qCWarning(daemonLogCategory) << "No worker could be started for the calls of uid" << uid;
    m_dropped(ids);
}

void UserWorkers::work(const std::shared_ptr<State> &state, uid_t uid)
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
        const quint64 id = job.id;
        const QVariant result = job.work();
        job = State::Job();
        QMutexLocker locker(&state->mutex);
        if (QObject *owner = state->owner) {
            Done done = state->done;
            QMetaObject::invokeMethod(
                owner, [done, id, result] { done(id, result); }, Qt::QueuedConnection);
        }
        // The user's entry goes with its last job, under the same lock: a job
        // posted after this starts a worker of its own, and one posted before
        // it is this worker's next.
        std::deque<State::Job> &jobs = state->jobs[uid];
        jobs.pop_front();
        if (jobs.empty()) {
            state->jobs.remove(uid);
            return;
        }
    }
}

void UserWorkers::close()
{
    QMutexLocker locker(&m_state->mutex);
    m_state->closed = true;
    m_state->owner = nullptr;
    m_state->done = {};
}

bool UserWorkers::stop(int waitMs)
{
    close();
    const QDeadlineTimer deadline(waitMs);
    for (const QPointer<QThread> &thread : std::as_const(m_threads))
        if (thread)
            thread->requestInterruption();
    bool allEnded = true;
    for (const QPointer<QThread> &thread : std::as_const(m_threads)) {
        if (thread && !thread->wait(deadline)) {
            qCWarning(daemonLogCategory) << "a long call still runs; it ends with the process";
            // Never destroyed while it runs.
            QObject::disconnect(thread, &QThread::finished, thread, &QObject::deleteLater);
            allEnded = false;
        }
    }
    m_threads.clear();
    return allEnded;
}

} // namespace AppStore
