#include "task/checkprogress.h"

#include <QFile>
#include <QPointer>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

namespace {

struct Report
{
    QString id;
    QString packageName;
    qlonglong total;
    qlonglong cursize;
};

// Collects the reports on the test's thread, and notes whether any check ran
// there instead of on the checker's own thread.
class Recorder : public QObject
{
public:
    explicit Recorder(CheckProgress *checker)
    {
        const QThread *mainThread = thread();
        connect(
            checker, &CheckProgress::sigDownloadProgress, checker,
            [this, mainThread](const QString &, const QString &, qlonglong, qlonglong) {
                if (QThread::currentThread() == mainThread)
                    ranOnMainThread = true;
            },
            Qt::DirectConnection);
        connect(checker, &CheckProgress::sigDownloadProgress, this,
                [this](const QString &id, const QString &name, qlonglong total, qlonglong cur) {
                    reports.append({id, name, total, cur});
                });
    }

    QList<Report> reports;
    std::atomic<bool> ranOnMainThread{false};
};

int countDuring(Recorder &recorder, int ms)
{
    const int before = recorder.reports.size();
    QTest::qWait(ms);
    return recorder.reports.size() - before;
}

} // namespace

class CheckProgressTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void reportsOnlyWhileFileExists();
    void stopEndsChecksAndStartResumes();
    void parentEndsIt();

private:
    QTemporaryDir dir;
};

void CheckProgressTest::reportsOnlyWhileFileExists()
{
    const QString path = dir.filePath(QStringLiteral("twk-test-a.tmp"));
    CheckProgress checker;
    Recorder recorder(&checker);
    checker.start(QStringLiteral("velkor-app-store"), QStringLiteral("twk-test-a"), path, 4096);

    QCOMPARE(countDuring(recorder, 700), 0);

    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    for (int i = 0; i < 5; ++i) {
        file.write(QByteArray(512, 'x'));
        file.flush();
        QTest::qWait(200);
    }
    // Five 200 ms periods: allow for a late first tick and a slow machine.
    QVERIFY2(recorder.reports.size() >= 3 && recorder.reports.size() <= 6,
             QByteArray::number(recorder.reports.size()));
    for (const Report &r : qAsConst(recorder.reports)) {
        QCOMPARE(r.id, QStringLiteral("velkor-app-store"));
        QCOMPARE(r.packageName, QStringLiteral("twk-test-a"));
        QCOMPARE(r.total, 4096);
        QCOMPARE(r.cursize, 1);
    }
    QVERIFY(!recorder.ranOnMainThread);

    file.close();
    QVERIFY(file.remove());
    QTest::qWait(250);
    QCOMPARE(countDuring(recorder, 600), 0);
}

void CheckProgressTest::stopEndsChecksAndStartResumes()
{
    const QString path = dir.filePath(QStringLiteral("twk-test-b.tmp"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    auto checker = std::make_unique<CheckProgress>();
    Recorder recorder(checker.get());
    checker->start(QStringLiteral("first"), QStringLiteral("twk-test-b"), path, 1);
    QTRY_VERIFY_WITH_TIMEOUT(!recorder.reports.isEmpty(), 2000);

    checker->stop();
    checker->stop();
    QCoreApplication::processEvents();
    QCOMPARE(countDuring(recorder, 600), 0);

    checker->start(QStringLiteral("second"), QStringLiteral("twk-test-b"), path, 2);
    QTRY_VERIFY_WITH_TIMEOUT(recorder.reports.last().id == QStringLiteral("second"), 2000);
    QCOMPARE(recorder.reports.last().total, 2);

    // Destruction while checking must neither hang nor leave a late report.
    QElapsedTimer clock;
    clock.start();
    checker.reset();
    QVERIFY(clock.elapsed() < 1000);
    QCoreApplication::processEvents();
    QCOMPARE(countDuring(recorder, 500), 0);
}

void CheckProgressTest::parentEndsIt()
{
    const QString path = dir.filePath(QStringLiteral("twk-test-c.tmp"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    auto parent = std::make_unique<QObject>();
    QPointer<CheckProgress> checker = new CheckProgress(parent.get());
    Recorder recorder(checker);
    checker->start(QStringLiteral("id"), QStringLiteral("twk-test-c"), path, 7);
    QTRY_VERIFY_WITH_TIMEOUT(!recorder.reports.isEmpty(), 2000);
    QVERIFY(!recorder.ranOnMainThread);

    parent.reset();
    QVERIFY(checker.isNull());
}

QTEST_GUILESS_MAIN(CheckProgressTest)
#include "tst_check_progress.moc"
