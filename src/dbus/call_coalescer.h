#pragma once

#include "dbus/bus_bounds.h"

#include <QObject>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>

namespace AppStore {

// A refresh or a broadcast that any caller may ask for, run once for many
// callers: runs follow each other no faster than one a period, the requests
// of a period are answered together by one run at its end, and no run is
// started while the last one still waits to begin on its thread. A flood of
// requests costs one run a period and one run waiting at most, and every
// caller still sees a run that was started after its request, behind what
// was handed on before it.
class CallCoalescer : public QObject
{
    Q_OBJECT
public:
    // A run is handed the function to call once it begins, on whatever
    // thread it runs; until then no other run is started.
    using Run = std::function<void(const std::function<void()> &begun)>;

    explicit CallCoalescer(Run run, int periodMs = BusBounds::kCoalescePeriodMs,
                           QObject *parent = nullptr);

    void request();

private:
    void periodOver();
    void start();

    Run m_run;
    QTimer m_period;
    bool m_due = false;
    std::shared_ptr<std::atomic<bool>> m_waiting;
};

} // namespace AppStore
