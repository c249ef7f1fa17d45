#include "test_env.h"
#include "utils/private_lists_gate.h"
#include "utils/utils.h"

#include <QDir>
#include <QFile>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

using AppStore::Utils;

// Priority changes are undone after each case (the test runs as root, which
// may lower a nice value again).
class TestProcessPriority : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void niceValue_data();
    void niceValue();
    void systemdUnit_data();
    void systemdUnit();
    void aptRunsWaitForTheSystemdStep();

private:
    QString listsDir() const { return m_dir.filePath(QStringLiteral("state/lists/")); }

    QTemporaryDir m_dir;
    int m_originalNice = 0;
};

void TestProcessPriority::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_originalNice = getpriority(PRIO_PROCESS, id_t(getpid()));
    // No apt index update runs in this process, so the clean-up may act.
    AppStore::AptSources::setRoots(m_dir.filePath(QStringLiteral("state")),
                                   m_dir.filePath(QStringLiteral("etc-apt")),
                                   m_dir.filePath(QStringLiteral("cache")));
}

void TestProcessPriority::cleanup()
{
    setpriority(PRIO_PROCESS, id_t(getpid()), m_originalNice);
    for (const char *name : {"TWK_SYSTEMCTL_ENABLED", "TWK_SYSTEMCTL_ENABLE_EXIT",
                             "TWK_SYSTEMCTL_ACTIVE", "TWK_SYSTEMCTL_LOG"})
        qunsetenv(name);
    Utils::setSystemctlProgram(QString());
}

void TestProcessPriority::niceValue_data()
{
    QTest::addColumn<int>("requested");
    QTest::addColumn<int>("expected");
    QTest::newRow("above the range") << 25 << 10;
    QTest::newRow("below the range") << -21 << 10;
    QTest::newRow("lowest valid") << -20 << -20;
    QTest::newRow("highest valid") << 19 << 19;
}

void TestProcessPriority::niceValue()
{
    QFETCH(int, requested);
    QFETCH(int, expected);
    // A real-time policy must be left for the normal one, whatever scheduler says.
    sched_param param{};
    param.sched_priority = 1;
    QCOMPARE(sched_setscheduler(getpid(), SCHED_FIFO, &param), 0);

    Utils::setNiceAndPriority(requested, 3);
    QCOMPARE(getpriority(PRIO_PROCESS, id_t(getpid())), expected);
    QCOMPARE(sched_getscheduler(getpid()), SCHED_OTHER);
    QCOMPARE(
        Utils::getNiceAndPriority(),
        QStringLiteral("Current Nice and Priority: priority = %1, scheduler = 0").arg(expected));
}

void TestProcessPriority::systemdUnit_data()
{
    QTest::addColumn<QByteArray>("enabled");
    QTest::addColumn<QByteArray>("enableExit");
    QTest::addColumn<QByteArray>("active");
    QTest::addColumn<bool>("withSystemctl");
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<bool>("listsCleared");

    const QString unit = QStringLiteral(" tarnwick-daemon.service");
    const QStringList all{QStringLiteral("is-enabled") + unit,
                          QStringLiteral("--runtime enable") + unit,
                          QStringLiteral("is-active") + unit};
    QTest::newRow("enabled") << QByteArray("enabled") << QByteArray("0") << QByteArray("inactive")
                             << true << all.mid(0, 1) << false;
    QTest::newRow("enabled for this boot")
        << QByteArray("enabled-runtime") << QByteArray("0") << QByteArray("inactive") << true
        << all.mid(0, 1) << false;
    QTest::newRow("static unit is not enabled")
        << QByteArray("static") << QByteArray("0") << QByteArray("active") << true << all << false;
    QTest::newRow("disabled, running as the unit") << QByteArray("disabled") << QByteArray("0")
                                                   << QByteArray("active") << true << all << false;
    QTest::newRow("disabled, started outside systemd")
        << QByteArray("disabled") << QByteArray("0") << QByteArray("inactive") << true << all
        << true;
    QTest::newRow("enable fails") << QByteArray("disabled") << QByteArray("1")
                                  << QByteArray("inactive") << true << all << true;
    QTest::newRow("no systemctl") << QByteArray() << QByteArray() << QByteArray() << false
                                  << QStringList() << true;
}

void TestProcessPriority::systemdUnit()
{
    QFETCH(QByteArray, enabled);
    QFETCH(QByteArray, enableExit);
    QFETCH(QByteArray, active);
    QFETCH(bool, withSystemctl);
    QFETCH(QStringList, commands);
    QFETCH(bool, listsCleared);

    QVERIFY(QDir().mkpath(listsDir() + QStringLiteral("partial")));
    QFile index(listsDir() + QStringLiteral("127.0.0.1_Packages"));
    QVERIFY(index.open(QIODevice::WriteOnly));
    index.close();

    const QString log = m_dir.filePath(QStringLiteral("systemctl.log"));
    QFile::remove(log);
    qputenv("TWK_SYSTEMCTL_ENABLED", enabled);
    qputenv("TWK_SYSTEMCTL_ENABLE_EXIT", enableExit);
    qputenv("TWK_SYSTEMCTL_ACTIVE", active);
    qputenv("TWK_SYSTEMCTL_LOG", QFile::encodeName(log));
    Utils::setSystemctlProgram(withSystemctl ? TestEnv::standinsDir() + QStringLiteral("/systemctl")
                                             : m_dir.filePath(QStringLiteral("no-such-systemctl")));

    Utils::enableSystemdService();

    QFile calls(log);
    const QStringList ran =
        calls.open(QIODevice::ReadOnly)
            ? QString::fromUtf8(calls.readAll()).split(u'\n', Qt::SkipEmptyParts)
            : QStringList();
    QCOMPARE(ran, commands);
    QCOMPARE(QFileInfo::exists(listsDir()), !listsCleared);
}

// The step runs beside the event loop; an apt run that asks for the private
// configuration meanwhile goes on only once the step is over.
void TestProcessPriority::aptRunsWaitForTheSystemdStep()
{
    QSemaphore stepMayEnd;
    AppStore::PrivateListsGate::runAside([&stepMayEnd] { stepMayEnd.acquire(); });
    std::atomic<bool> answered{false};
    QThread *asker = QThread::create([&answered] {
        Utils::aptConfigFilePath();
        answered = true;
    });
    asker->start();
    QVERIFY(!asker->wait(200));
    QVERIFY2(!answered, "the configuration was given while the step ran");
    stepMayEnd.release();
    QVERIFY(asker->wait(10000));
    QVERIFY(answered);
    delete asker;
}

QTEST_GUILESS_MAIN(TestProcessPriority)
#include "tst_process_priority.moc"
