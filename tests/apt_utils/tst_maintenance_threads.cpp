#include "apt_utils/aptupdatethread.h"
#include "apt_utils/clearcachedirthread.h"
#include "apt_utils/updatesrcdirthread.h"
#include "test_env.h"
#include "utils/utils.h"

#include <QElapsedTimer>
#include <QSemaphore>
#include <QTest>

#include <atomic>
#include <memory>
#include <thread>

namespace {

// A job that reports each run and then blocks until released.
struct BlockingJob
{
    QSemaphore entered;
    QSemaphore release;
    std::atomic<int> runs{0};
    std::atomic<bool> onOwnThread{false};
    std::atomic<bool> returned{false};
    QThread *mainThread = QThread::currentThread();

    MaintenanceThread::Job job()
    {
        return [this] {
            ++runs;
            onOwnThread = QThread::currentThread() != mainThread;
            entered.release();
            release.acquire();
            returned = true;
            return true;
        };
    }
};

using Factory = std::function<MaintenanceThread *(MaintenanceThread::Job)>;
using Request = std::function<void(MaintenanceThread *)>;

} // namespace

Q_DECLARE_METATYPE(Factory)
Q_DECLARE_METATYPE(Request)

class TestMaintenanceThreads : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void runsItsJobOnceAtATime_data();
    void runsItsJobOnceAtATime();
    void aptUpdateAsksTheGateUnlessAtStartup();
    void stopWaitsForARunningJob();
    void destructionOfAnIdleThreadReturnsAtOnce();
};

void TestMaintenanceThreads::runsItsJobOnceAtATime_data()
{
    QTest::addColumn<Factory>("create");
    QTest::addColumn<Request>("request");

    QTest::newRow("apt update at start-up")
        << Factory([](MaintenanceThread::Job job) { return new AptUpdateThread(job); })
        << Request([](MaintenanceThread *thread) {
               emit static_cast<AptUpdateThread *>(thread)->sigStartAptUpdate(true);
           });
    QTest::newRow("cache cleaning")
        << Factory([](MaintenanceThread::Job job) { return new ClearCacheDirThread(job); })
        << Request([](MaintenanceThread *thread) {
               emit static_cast<ClearCacheDirThread *>(thread)->sigStartClearCacheDir();
           });
    QTest::newRow("source rebuild")
        << Factory([](MaintenanceThread::Job job) { return new UpdateSrcDirThread(job); })
        << Request([](MaintenanceThread *thread) {
               emit static_cast<UpdateSrcDirThread *>(thread)->sigStartUpdateSrcDir();
           });
}

void TestMaintenanceThreads::runsItsJobOnceAtATime()
{
    QFETCH(Factory, create);
    QFETCH(Request, request);
    BlockingJob job;
    std::unique_ptr<MaintenanceThread> thread(create(job.job()));

    // Requests are queued: nothing runs before the event loop delivers them.
    request(thread.get());
    request(thread.get());
    QCOMPARE(job.runs.load(), 0);
    QVERIFY(TestEnv::waitFor([&] { return job.runs.load() == 1; }, 5000));
    QVERIFY(job.onOwnThread);

    // A request while the job runs is dropped, not kept for later.
    request(thread.get());
    QTest::qWait(200);
    job.release.release();
    QVERIFY(thread->wait(5000));
    QTest::qWait(200);
    QCOMPARE(job.runs.load(), 1);

    // A finished thread runs again on the next request.
    request(thread.get());
    QVERIFY(TestEnv::waitFor([&] { return job.runs.load() == 2; }, 5000));
    job.release.release();
}

void TestMaintenanceThreads::aptUpdateAsksTheGateUnlessAtStartup()
{
    BlockingJob job;
    job.release.release(10);
    AptUpdateThread thread(job.job());
    auto requestAndSettle = [&](bool isStartup) {
        emit thread.sigStartAptUpdate(isStartup);
        QTest::qWait(100);
        QVERIFY(thread.wait(5000));
    };

    AppStore::Utils::startAptUpdateTask(); // an update runs elsewhere
    requestAndSettle(false);
    QCOMPARE(job.runs.load(), 0);
    requestAndSettle(true);
    QCOMPARE(job.runs.load(), 1);

    AppStore::Utils::AptUpdateFinish(QDateTime::currentDateTime(), true);
    emit thread.sigStartAptUpdate(); // the download tasks' form
    QVERIFY(TestEnv::waitFor([&] { return job.runs.load() == 2; }, 5000));
}

void TestMaintenanceThreads::stopWaitsForARunningJob()
{
    BlockingJob job;
    ClearCacheDirThread thread(job.job());
    emit thread.sigStartClearCacheDir();
    QVERIFY(TestEnv::waitFor([&] { return job.runs.load() == 1; }, 5000));

    std::thread releaser([&job] {
        QThread::msleep(300);
        job.release.release();
    });
    thread.stop();
    QVERIFY(job.returned);
    releaser.join();

    // Nothing starts once the quit has begun.
    emit thread.sigStartClearCacheDir();
    QTest::qWait(200);
    QCOMPARE(job.runs.load(), 1);
}

void TestMaintenanceThreads::destructionOfAnIdleThreadReturnsAtOnce()
{
    BlockingJob job;
    QElapsedTimer timer;
    timer.start();
    delete new UpdateSrcDirThread(job.job());
    QVERIFY(timer.elapsed() < 1000);
    QCOMPARE(job.runs.load(), 0);
}

QTEST_GUILESS_MAIN(TestMaintenanceThreads)
#include "tst_maintenance_threads.moc"
