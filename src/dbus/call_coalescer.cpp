#include "call_coalescer.h"

namespace AppStore {

CallCoalescer::CallCoalescer(Run run, int periodMs, QObject *parent)
    : QObject(parent)
    , m_run(std::move(run))
    , m_waiting(std::make_shared<std::atomic<bool>>(false))
{
    m_period.setSingleShot(true);
    m_period.setInterval(periodMs);
    connect(&m_period, &QTimer::timeout, this, &CallCoalescer::periodOver);
}

void CallCoalescer::request()
{
    if (m_period.isActive() || m_waiting->load()) {
        m_due = true;
        if (!m_period.isActive())
            m_period.start();
        return;
    }
    start();
}

void CallCoalescer::periodOver()
{
    if (!m_due)
        return;
    // The one still waiting was started before some of these requests:
    // theirs is started once it has begun.
    if (m_waiting->load()) {
        m_period.start();
        return;
    }
    start();
}

void CallCoalescer::start()
{
    m_due = false;
    m_waiting->store(true);
    m_period.start();
    m_run([waiting = m_waiting] { waiting->store(false); });
}

} // namespace AppStore
