#include "task/aptdownload.h"
#include "task/predownloadmanager.h"
#include "test_env.h"

#include <QMutex>
#include <QTest>

#include <memory>

namespace {

// A worker that runs nothing: it records what it is handed and ends a run
// when the test says so.
class ScriptedWorker : public AptDownload
{
public:
    void startDownload(Apt_Task task) override
    {
        QMutexLocker locker(&m_mutex);
        m_started.append(task);
        m_task = task;
        m_busy = true;
    }
    void stop() override
    {
        ++stops;
        m_busy = false;
    }
    bool isBusy() const override { return m_busy; }
    Apt_Task getTask() const override
    {
        QMutexLocker locker(&m_mutex);
        return m_task;
    }

    QList<Apt_Task> started() const
    {
        QMutexLocker locker(&m_mutex);
        return m_started;
    }
    // Ends the run as the real worker does: idle, then the report.
    void end(qlonglong current, qlonglong total = 100)
    {
        const Apt_Task task = getTask();
        m_busy = false;
        Q_EMIT sigDownloadProgress(task.sourceId, task.packageName, total, current);
    }
    // Idle without a report, so that a report can be made up by hand.
    void release() { m_busy = false; }

    std::atomic_int stops{0};

private:
    mutable QMutex m_mutex;
    QList<Apt_Task> m_started;
    Apt_Task m_task;
    std::atomic_bool m_busy{false};
};

Apt_Task task(const QString &name, const QString &sourceId = QStringLiteral("upgrade"))
{
    Apt_Task task;
    task.sourceId = sourceId;
    task.packageName = name;
    return task;
}

// A running queue over scripted workers; idealThreadCount picks their number.
struct Queue
{
    explicit Queue(int idealThreadCount)
        : manager(
              nullptr,
              [this] {
                  auto *worker = new ScriptedWorker;
                  workers.append(worker);
                  return worker;
              },
              idealThreadCount)
    {}
    ~Queue() { manager.stop(); }

    // One pass of the queue, on its own thread, done on return.
    void poll()
    {
        QMetaObject::invokeMethod(&manager, "OnProcessTaskSlot", Qt::BlockingQueuedConnection);
    }
    void report(const QString &id, const QString &name, qlonglong total, qlonglong current)
    {
        QMetaObject::invokeMethod(&manager, "OnDownloadProgressSlot", Qt::BlockingQueuedConnection,
                                  Q_ARG(QString, id), Q_ARG(QString, name), Q_ARG(qlonglong, total),
                                  Q_ARG(qlonglong, current));
    }
    // Every task handed to a worker, "sourceId:name", workers in order.
    QStringList started() const
    {
        QStringList all;
        for (ScriptedWorker *worker : workers)
            for (const Apt_Task &task : worker->started())
                all.append(task.sourceId + u':' + task.packageName);
        return all;
    }

    QList<ScriptedWorker *> workers;
    PreDownloadManager manager;
};

} // namespace

// The queue over workers that run nothing; the worker's own runs have tests
// of their own.
class TestPreDownloadManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void workerCount_data();
    void workerCount();
    void oneTaskPerPackageOnFreeWorkers();
    void progressReports_data();
    void progressReports();
    void startDropsWaitingTasks();
    void stopAndStartAgain();
};

void TestPreDownloadManager::workerCount_data()
{
    QTest::addColumn<int>("processors");
    QTest::addColumn<int>("workers");
    for (const auto &[processors, workers] :
         {std::pair{0, 1}, {1, 1}, {2, 1}, {3, 1}, {4, 2}, {8, 4}, {21, 10}, {24, 10}})
        QTest::addRow("%d", processors) << processors << workers;
}

void TestPreDownloadManager::workerCount()
{
    QFETCH(int, processors);
    QFETCH(int, workers);
    QCOMPARE(PreDownloadManager::workerCountFor(processors), workers);
    Queue queue(processors);
    queue.manager.start();
    QCOMPARE(queue.workers.size(), workers);
}

void TestPreDownloadManager::oneTaskPerPackageOnFreeWorkers()
{
    Queue queue(4);
    queue.manager.start();
    queue.manager.addTask(task(QStringLiteral("a"), QStringLiteral("first")));
    queue.manager.addTask(task(QStringLiteral("a"), QStringLiteral("second")));
    queue.manager.addTask(task(QStringLiteral("b")));
    queue.manager.addTask(task(QStringLiteral("c")));
    queue.poll();
    QCOMPARE(queue.started(),
             (QStringList{QStringLiteral("first:a"), QStringLiteral("upgrade:b")}));

    // A started task still holds its package; the third waits for a worker.
    queue.manager.addTask(task(QStringLiteral("a"), QStringLiteral("third")));
    queue.poll();
    QCOMPARE(queue.started().size(), 2);

    queue.workers.first()->end(100);
    QVERIFY(TestEnv::waitFor([&] { return queue.started().size() == 3; }, 5000));
    QCOMPARE(queue.workers.first()->started().last().packageName, QStringLiteral("c"));

    // A user install of b stops its worker and frees the package.
    queue.manager.removeTask(task(QStringLiteral("b")));
    QCOMPARE(queue.workers.at(1)->stops.load(), 1);
    queue.manager.addTask(task(QStringLiteral("b"), QStringLiteral("again")));
    QVERIFY(TestEnv::waitFor([&] { return queue.started().contains(u"again:b"); }, 5000));
    QVERIFY(!queue.started().contains(u"third:a"));
}

void TestPreDownloadManager::progressReports_data()
{
    QTest::addColumn<QString>("sourceId");
    QTest::addColumn<qlonglong>("current");
    QTest::addColumn<bool>("dropped");
    QTest::newRow("half") << QStringLiteral("upgrade") << 50LL << false;
    QTest::newRow("whole") << QStringLiteral("upgrade") << 100LL << true;
    QTest::newRow("more than whole") << QStringLiteral("upgrade") << 150LL << true;
    QTest::newRow("failed") << QStringLiteral("upgrade") << -1LL << true;
    QTest::newRow("other source") << QStringLiteral("other") << 100LL << false;
}

// A dropped task frees its package: the same package queued again starts anew.
void TestPreDownloadManager::progressReports()
{
    QFETCH(QString, sourceId);
    QFETCH(qlonglong, current);
    QFETCH(bool, dropped);

    Queue queue(2);
    queue.manager.start();
    queue.manager.addTask(task(QStringLiteral("p")));
    queue.poll();
    QCOMPARE(queue.started().size(), 1);
    queue.workers.first()->release();

    queue.report(sourceId, QStringLiteral("p"), 100, current);
    queue.manager.addTask(task(QStringLiteral("p"), QStringLiteral("again")));
    queue.poll();
    QCOMPARE(queue.started().size(), dropped ? 2 : 1);
}

void TestPreDownloadManager::startDropsWaitingTasks()
{
    Queue queue(2);
    queue.manager.addTask(task(QStringLiteral("early")));
    queue.manager.start();
    queue.poll();
    QVERIFY(queue.started().isEmpty());
}

// stop() ends every worker, and the queue can come up again after it.
void TestPreDownloadManager::stopAndStartAgain()
{
    PreDownloadManager never;
    never.stop();
    QVERIFY(!never.isRunning());

    Queue queue(4);
    queue.manager.start();
    QVERIFY(queue.manager.isRunning());
    queue.manager.addTask(task(QStringLiteral("p")));
    queue.poll();
    queue.manager.stop();
    QVERIFY(!queue.manager.isRunning());
    queue.workers.clear(); // deleted by stop()

    queue.manager.start();
    QCOMPARE(queue.workers.size(), 2);
    queue.manager.addTask(task(QStringLiteral("p")));
    QVERIFY(TestEnv::waitFor([&] { return queue.started().size() == 1; }, 5000));

    // A halt ends every worker's run and takes no task until the next start,
    // which the same workers then take.
    queue.manager.halt();
    QCOMPARE(queue.workers.at(0)->stops + queue.workers.at(1)->stops, 2);
    queue.manager.addTask(task(QStringLiteral("q")));
    queue.poll();
    QCOMPARE(queue.started().size(), 1);
    queue.manager.start();
    queue.manager.addTask(task(QStringLiteral("r")));
    QVERIFY(TestEnv::waitFor([&] { return queue.started().size() == 2; }, 5000));
    QVERIFY(queue.started().last().endsWith(QStringLiteral(":r")));
}

QTEST_GUILESS_MAIN(TestPreDownloadManager)
#include "tst_pre_download_manager.moc"
