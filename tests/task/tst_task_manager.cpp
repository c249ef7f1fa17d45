#include "task/abstract_task.h"
#include "task/task_manager.h"
#include "utils/process_runner.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <vector>

namespace {

constexpr int kIdlePeriodMs = 50;
constexpr int kStayed = 42;

// Runs the application's event loop until the idle exit quits it (0) or
// limitMs pass (kStayed).
int runEventLoop(int limitMs)
{
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, [] { QCoreApplication::exit(kStayed); });
    limit.start(limitMs);
    return QCoreApplication::exec();
}

} // namespace

class TaskManagerTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void quitsOnlyWhenNoTaskLives();
    void countsTasksOfPoolThreads();
    void staysWhileClientRuns();
    void trimsTheHeapEachIdleTest();
};

void TaskManagerTest::initTestCase()
{
    // Thousands of count changes follow.
    QLoggingCategory::setFilterRules(
        QStringLiteral("com.velkor.app-store.system-daemon.debug=false"));
    TaskManager::instance()->setInterval(kIdlePeriodMs);
}

void TaskManagerTest::quitsOnlyWhenNoTaskLives()
{
    QCOMPARE(runEventLoop(5000), 0);
    {
        AbstractTask task;
        QCOMPARE(runEventLoop(10 * kIdlePeriodMs), kStayed);
    }
    // Created and destroyed before the loop turns: a stop, then a start.
    {
        AbstractTask flash;
    }
    QCOMPARE(runEventLoop(5000), 0);
}

void TaskManagerTest::countsTasksOfPoolThreads()
{
    constexpr int kThreads = 8;
    QThreadPool pool;
    pool.setMaxThreadCount(kThreads);
    std::vector<std::unique_ptr<AbstractTask>> held(kThreads);
    // Every thread churns short-lived tasks and creates (then destroys) one
    // long-lived task halfway, so the count keeps crossing zero.
    const auto churn = [&](bool create) {
        for (int i = 0; i < kThreads; ++i) {
            pool.start([&held, i, create] {
                for (int n = 0; n < 400; ++n) {
                    if (n == 200)
                        held[i] = create ? std::make_unique<AbstractTask>() : nullptr;
                    AbstractTask transient;
                }
            });
        }
        pool.waitForDone();
    };
    churn(true);
    QCOMPARE(runEventLoop(10 * kIdlePeriodMs), kStayed);
    churn(false);
    QCOMPARE(runEventLoop(5000), 0);
}

void TaskManagerTest::staysWhileClientRuns()
{
    QTemporaryDir dir;
    const QString client = dir.filePath(QStringLiteral("tarnwick-client"));
    const QString other = dir.filePath(QStringLiteral("other"));
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), client));
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), other));
    AppStore::ProcessSpec spec;
    spec.program = client;
    spec.arguments = {QStringLiteral("300")};
    spec.timeoutMs = 120000;
    AppStore::ProcessRunner runner;
    QVERIFY(runner.start(spec));

    // Any user may give a process the client's name: the client is its file.
    TaskManager::instance()->setClientExecutable(other);
    QCOMPARE(runEventLoop(5000), 0);
    TaskManager::instance()->setClientExecutable(client);
    QCOMPARE(runEventLoop(10 * kIdlePeriodMs), kStayed);
    runner.kill();
    runner.waitForFinished();
    QCOMPARE(runEventLoop(5000), 0);
}

void TaskManagerTest::trimsTheHeapEachIdleTest()
{
    QLoggingCategory::setFilterRules(
        QStringLiteral("com.velkor.app-store.system-daemon.debug=true"));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral(
                                         "^Utils::isProcessRunning malloc_trim: [01]$")));
    QCOMPARE(runEventLoop(5000), 0);
}

QTEST_GUILESS_MAIN(TaskManagerTest)
#include "tst_task_manager.moc"
