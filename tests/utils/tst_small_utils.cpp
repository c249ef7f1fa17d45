#include "utils/process_runner.h"
#include "utils/small_utils.h"

#include <QTest>

#include <limits>

using AppStore::ProcessRunner;
using AppStore::ProcessSpec;
using AppStore::SmallUtils;

class TestSmallUtils : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void downloadCountText_data();
    void downloadCountText();
    void processIdentity();
};

void TestSmallUtils::downloadCountText_data()
{
    QTest::addColumn<qint64>("count");
    QTest::addColumn<QString>("text");
    const QString small = QStringLiteral("<10k");
    const QString medium = QStringLiteral("<100k");
    const QString large = QStringLiteral("100k+");
    QTest::newRow("negative") << qint64(-1) << small;
    QTest::newRow("zero") << qint64(0) << small;
    QTest::newRow("9999") << qint64(9999) << small;
    QTest::newRow("10000") << qint64(10000) << medium;
    QTest::newRow("99999") << qint64(99999) << medium;
    QTest::newRow("100000") << qint64(100000) << large;
    QTest::newRow("max") << std::numeric_limits<qint64>::max() << large;
}

void TestSmallUtils::downloadCountText()
{
    QFETCH(qint64, count);
    QFETCH(QString, text);
    QCOMPARE(SmallUtils::downloadCountText(count), text);
}

void TestSmallUtils::processIdentity()
{
    ProcessRunner runner;
    ProcessSpec spec;
    spec.program = QStringLiteral("/usr/bin/sleep");
    // The arguments must not leak into the command.
    spec.arguments = {QStringLiteral("30"), QStringLiteral("1")};
    spec.timeoutMs = 60000;
    QVERIFY(runner.start(spec));
    const uint pid = uint(runner.processId());
    // The command line appears a moment after the exec has been reported.
    QTRY_COMPARE(SmallUtils::processCommand(pid), QStringLiteral("/usr/bin/sleep"));
    QCOMPARE(SmallUtils::processName(pid), QStringLiteral("sleep"));
    runner.kill(); // the runner's destructor would do it too, on a failed check

    // Beyond any pid the kernel hands out.
    const uint none = std::numeric_limits<int>::max();
    QCOMPARE(SmallUtils::processName(none), QString());
    QCOMPARE(SmallUtils::processCommand(none), QString());
}

QTEST_GUILESS_MAIN(TestSmallUtils)
#include "tst_small_utils.moc"
