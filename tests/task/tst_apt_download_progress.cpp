#include "task/aptdownloadtask.h"

#include <QSignalSpy>
#include <QTest>

#include <limits>

// The standard-error parser and the progress timer of the download task, fed
// directly with what apt-get (or something posing as it) may print.
class TestAptDownloadProgress : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parsesToolOutput_data();
    void parsesToolOutput();
    void absurdTotalIsUnknown_data();
    void absurdTotalIsUnknown();
};

void TestAptDownloadProgress::parsesToolOutput_data()
{
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<qlonglong>("total");
    QTest::addColumn<qlonglong>("reported"); // -1: no progress signal

    // apt's size units are decimal.
    QTest::newRow("one file, 40 %")
        << QStringList{QStringLiteral("[40] Bytes: 0 / 1 k # Files: 0 / 1")} << 1000LL << 500LL;
    QTest::newRow("three files, grouped digits")
        << QStringList{QStringLiteral("[50.0] Bytes: 0 / 3,021 k # Files: 0 / 3")} << 3021000LL
        << 1510500LL;
    QTest::newRow("first total wins, last percentage")
        << QStringList{QStringLiteral("[0.000] Bytes: 0  / 2 M # Files: 0 / 2"),
                       QStringLiteral("E: something went wrong"),
                       QStringLiteral("[10] Bytes: 0  / 5 M # Files: 0 / 2")}
        << 2000000LL << 200000LL;
    QTest::newRow("zero total keeps parsing")
        << QStringList{QStringLiteral("[5] Bytes: 0 / 0 k # Files: 0 / 2"),
                       QStringLiteral("[5] Bytes: 0 / 800 B # Files: 0 / 2")}
        << 800LL << 40LL;
    QTest::newRow("percentage beyond 100 is complete")
        << QStringList{QStringLiteral("[250] Bytes: 0 / 1 k # Files: 0 / 2")} << 1000LL << -1LL;
    QTest::newRow("not-a-number percentage")
        << QStringList{QStringLiteral("[nan] Bytes: 0 / 1 k # Files: 0 / 2")} << 1000LL << 0LL;
    QTest::newRow("infinite percentage")
        << QStringList{QStringLiteral("[1e400] Bytes: 0 / 1 k # Files: 0 / 2")} << 1000LL << 0LL;
    QTest::newRow("negative percentage")
        << QStringList{QStringLiteral("[-30] Bytes: 0 / 1 k # Files: 0 / 2")} << 1000LL << 0LL;
    QTest::newRow("negative total refused")
        << QStringList{QStringLiteral("[20] Bytes: 0 / -7 k # Files: 0 / 2")} << 0LL << -1LL;
    QTest::newRow("absurd total refused")
        << QStringList{QStringLiteral("[20] Bytes: 0 / 9e30 G # Files: 0 / 2"),
                       QStringLiteral("[20] Bytes: 0 / nan k # Files: 0 / 2"),
                       QStringLiteral("[20] Bytes: 0 / inf M # Files: 0 / 2")}
        << 0LL << -1LL;
    QTest::newRow("fragments") << QStringList{QStringLiteral("["),
                                              QStringLiteral("[]"),
                                              QStringLiteral("[#"),
                                              QStringLiteral("[/#/"),
                                              QStringLiteral("[#/#/#"),
                                              QStringLiteral("[12] # Files: /"),
                                              QStringLiteral("]]]"),
                                              QStringLiteral("[x] Bytes / # Files"),
                                              QStringLiteral("[] Bytes: / # Files: 1 /"),
                                              QString(QChar(0xFFFD)) + QStringLiteral("[")}
                               << 0LL << -1LL;
    QTest::newRow("fragments then a real line")
        << QStringList{QStringLiteral("[12] # Files: 1 / x"),
                       QStringLiteral("[25] Bytes: 1 k / 4 k # Files: 0 / 2")}
        << 4000LL << 1000LL;
}

void TestAptDownloadProgress::parsesToolOutput()
{
    QFETCH(QStringList, lines);
    QFETCH(qlonglong, total);
    QFETCH(qlonglong, reported);

    Apt_Task record;
    record.packageName = QStringLiteral("twk-test-parse");
    AptDownloadTask task(record);
    QSignalSpy progress(&task, &AptDownloadTask::sigDownloadProgress);
    for (const QString &line : std::as_const(lines))
        task.onReadyReadAllStandardError(line);
    task.onCheckProgressSlot();

    QCOMPARE(task.getTask().totalSize, total);
    QVERIFY(task.getTask().downloadedSize <= total);
    if (reported < 0) {
        QCOMPARE(progress.count(), 0);
        return;
    }
    QCOMPARE(progress.count(), 1);
    QCOMPARE(progress.first().at(2).toLongLong(), total);
    QCOMPARE(progress.first().at(3).toLongLong(), reported);
}

// A total from anywhere else (apt-cache's "Size:", the caller) that no
// archive can have is taken as unknown before any arithmetic.
void TestAptDownloadProgress::absurdTotalIsUnknown_data()
{
    QTest::addColumn<qlonglong>("total");
    QTest::addColumn<QString>("line");
    QTest::newRow("index size near 2^63, done")
        << 9223372036854775000LL << QStringLiteral("[100] Bytes: 0 / 0 k");
    QTest::newRow("largest total, one file at 90 %")
        << std::numeric_limits<qlonglong>::max() << QStringLiteral("[90]");
    QTest::newRow("negative total") << -5000LL << QStringLiteral("[50]");
}

void TestAptDownloadProgress::absurdTotalIsUnknown()
{
    QFETCH(qlonglong, total);
    QFETCH(QString, line);

    Apt_Task record;
    record.packageName = QStringLiteral("twk-test-parse");
    record.totalSize = total;
    AptDownloadTask task(record);
    QSignalSpy progress(&task, &AptDownloadTask::sigDownloadProgress);
    task.onReadyReadAllStandardError(line);
    task.onCheckProgressSlot();

    QCOMPARE(progress.count(), 0);
    QCOMPARE(task.getTask().downloadedSize, 0LL);
}

QTEST_GUILESS_MAIN(TestAptDownloadProgress)
#include "tst_apt_download_progress.moc"
