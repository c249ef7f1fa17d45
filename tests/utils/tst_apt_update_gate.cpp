#include "utils/apt_update_gate.h"

#include <QTest>

using AppStore::AptUpdateGate;
using AppStore::AptUpdateStatus;

// The record is process-wide, so the cases run in order on one history.
class TestAptUpdateGate : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void freshProcessNeedsUpdate();
    void runningUpdateBlocksAndSuccessReopens();
    void threeFailuresPauseForFiveMinutes();
    void failuresBeyondThreeKeepTheirRemainder();
};

namespace {

QDateTime failOnce(const QDateTime &at)
{
    AptUpdateGate::startAptUpdateTask();
    AptUpdateGate::AptUpdateFinish(at, false);
    return at;
}

} // namespace

void TestAptUpdateGate::freshProcessNeedsUpdate()
{
    const AptUpdateStatus before = AptUpdateGate::aptUpdateStatus();
    QCOMPARE(before.state, 2);
    QVERIFY(before.lastTime.isValid());
    QVERIFY(AptUpdateGate::isAptUpdateNeeded());
    const AptUpdateStatus after = AptUpdateGate::aptUpdateStatus();
    QCOMPARE(after.state, 2);
    QCOMPARE(after.failCount, 0);
    QCOMPARE(after.lastTime, before.lastTime);
}

void TestAptUpdateGate::runningUpdateBlocksAndSuccessReopens()
{
    const QDateTime t0 = QDateTime::currentDateTime();
    AptUpdateGate::startAptUpdateTask();
    QCOMPARE(AptUpdateGate::aptUpdateStatus().state, int(AppStore::Enum_AptUpdate_State::Running));
    QVERIFY(!AptUpdateGate::isAptUpdateNeededAt(t0.addSecs(3600)));

    AptUpdateGate::AptUpdateFinish(t0, true);
    const AptUpdateStatus status = AptUpdateGate::aptUpdateStatus();
    QCOMPARE(status.state, int(AppStore::Enum_AptUpdate_State::Finished));
    QVERIFY(status.success);
    QCOMPARE(status.lastTime, t0);
    QVERIFY(AptUpdateGate::isAptUpdateNeededAt(t0));
}

void TestAptUpdateGate::threeFailuresPauseForFiveMinutes()
{
    const QDateTime t0 = QDateTime::currentDateTime();
    AptUpdateGate::AptUpdateFinish(t0, true);

    failOnce(t0);
    QVERIFY(AptUpdateGate::isAptUpdateNeededAt(t0));
    failOnce(t0.addSecs(10));
    QVERIFY(AptUpdateGate::isAptUpdateNeededAt(t0.addSecs(10)));

    // A new start resets the success flag but not the count.
    AptUpdateGate::startAptUpdateTask();
    AptUpdateStatus status = AptUpdateGate::aptUpdateStatus();
    QCOMPARE(status.failCount, 2);
    QVERIFY(!status.success);

    const QDateTime third = t0.addSecs(20);
    AptUpdateGate::AptUpdateFinish(third, false);
    QCOMPARE(AptUpdateGate::aptUpdateStatus().failCount, 3);
    for (const qint64 elapsed : {0, 1, 298, 299})
        QVERIFY2(!AptUpdateGate::isAptUpdateNeededAt(third.addSecs(elapsed)),
                 qPrintable(QString::number(elapsed)));
    QCOMPARE(AptUpdateGate::aptUpdateStatus().failCount, 3);

    QVERIFY(AptUpdateGate::isAptUpdateNeededAt(third.addSecs(300)));
    QCOMPARE(AptUpdateGate::aptUpdateStatus().failCount, 0);

    // The fresh count needs three new failures before pausing again.
    failOnce(third.addSecs(301));
    QVERIFY(AptUpdateGate::isAptUpdateNeededAt(third.addSecs(301)));
}

void TestAptUpdateGate::failuresBeyondThreeKeepTheirRemainder()
{
    const QDateTime t0 = QDateTime::currentDateTime();
    AptUpdateGate::AptUpdateFinish(t0, true);
    for (int i = 0; i < 4; ++i)
        failOnce(t0);
    QCOMPARE(AptUpdateGate::aptUpdateStatus().failCount, 4);
    QVERIFY(!AptUpdateGate::isAptUpdateNeededAt(t0.addSecs(299)));
    QVERIFY(AptUpdateGate::isAptUpdateNeededAt(t0.addSecs(300)));
    QCOMPARE(AptUpdateGate::aptUpdateStatus().failCount, 1);
}

QTEST_GUILESS_MAIN(TestAptUpdateGate)
#include "tst_apt_update_gate.moc"
