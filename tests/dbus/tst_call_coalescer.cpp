#include "dbus/call_coalescer.h"

#include <QTest>

#include <functional>

using AppStore::CallCoalescer;

namespace {

constexpr int kPeriodMs = 100;

} // namespace

// Requests of many callers make one run a period and one run waiting at
// most, and each request still gets a run started after it.
class TestCallCoalescer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void floodOfRequestsRunsOnceAPeriodAndOnceAfterTheLast()
    {
        int runs = 0;
        CallCoalescer coalescer(
            [&runs](const std::function<void()> &begun) {
                ++runs;
                begun();
            },
            kPeriodMs);
        for (int i = 0; i < 1000; ++i)
            coalescer.request();
        QCOMPARE(runs, 1);
        QTRY_COMPARE(runs, 2);
        QTest::qWait(3 * kPeriodMs);
        QCOMPARE(runs, 2);
    }

    void noRunStartsWhileTheLastWaitsToBegin()
    {
        int runs = 0;
        std::function<void()> waiting;
        CallCoalescer coalescer(
            [&](const std::function<void()> &begun) {
                ++runs;
                waiting = begun;
            },
            kPeriodMs);
        coalescer.request();
        QTest::qWait(2 * kPeriodMs);
        coalescer.request();
        QTest::qWait(3 * kPeriodMs);
        QCOMPARE(runs, 1);
        // The request came before the first run began: it gets a run of its
        // own once that one has.
        waiting();
        QTRY_COMPARE(runs, 2);
    }
};

QTEST_GUILESS_MAIN(TestCallCoalescer)
#include "tst_call_coalescer.moc"
