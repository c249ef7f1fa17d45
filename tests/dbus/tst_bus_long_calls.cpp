#include "daemon_under_test.h"
#include "local_https_server.h"
#include "private_system_bus.h"
#include "store_test_setup.h"
#include "system_file_guard.h"
#include "test_env.h"

#include "utils/process_runner.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

QDBusMessage method(const QString &name, const QVariantList &arguments = {})
{
    return DaemonUnderTest::methodCall(name, arguments);
}

QDBusPendingCall callAside(const QDBusMessage &message)
{
    return QDBusConnection::systemBus().asyncCall(message, 600000);
}

// One user's calls beyond what the bus lets one connection have pending.
constexpr qsizetype kMaxHeldCalls = 1024;
constexpr int kCallsPerConnection = 100;
// What the bus still holds of a flood is read within this on a busy machine,
// also with the sanitizers; a daemon that stopped reading never gets through.
constexpr int kFloodReadLimitMs = 10000;
// The daemon's own wait for its long calls at a stop (3 s), and the time a
// busy machine takes to end it.
constexpr int kStopLimitMs = 6000;

QDBusConnection spreadConnection(qsizetype call)
{
    return QDBusConnection::connectToBus(
        QDBusConnection::SystemBus, QStringLiteral("spread%1").arg(call / kCallsPerConnection));
}

QDBusPendingCall spreadCall(const QDBusMessage &message, qsizetype call)
{
    return spreadConnection(call).asyncCall(message, 600000);
}

// Every processor kept busy while it lives.
class CpuLoad
{
public:
    CpuLoad()
    {
        for (unsigned i = 0; i < std::thread::hardware_concurrency(); ++i)
            m_threads.emplace_back([this] {
                while (!m_stop.load(std::memory_order_relaxed))
                    ;
            });
    }
    ~CpuLoad()
    {
        m_stop = true;
        for (std::thread &thread : m_threads)
            thread.join();
    }

private:
    std::atomic<bool> m_stop{false};
    std::vector<std::thread> m_threads;
};

} // namespace

// The real daemon on a private bus, its store answering each query after
// 5 s: one caller's long call holds up no other caller, one user's calls are
// bounded, and a stop is not held up by them. Calls wait with the event
// loop running, so that the daemon's log keeps draining.
class TestBusLongCalls : public QObject
{
    Q_OBJECT

private:
    PrivateSystemBus m_bus;
    LocalHttpsServer m_store;
    std::unique_ptr<SystemFileGuard> m_guard;
    std::unique_ptr<DaemonUnderTest> m_daemon;
    QList<QDBusPendingCall> m_pending;

private Q_SLOTS:
    void initTestCase()
    {
        m_guard = std::make_unique<SystemFileGuard>(
            DaemonUnderTest::statePaths() +
            QStringList{QStringLiteral("/etc/velkor/velkor-app-store")});
        QVERIFY2(m_guard->isValid(), qPrintable(m_guard->errorString()));
        QVERIFY2(m_store.start(), qPrintable(m_store.errorString()));
        LocalHttpsServer::Route slow;
        slow.body = "{}";
        slow.stallSeconds = 5;
        QVERIFY(m_store.setRoute(QStringLiteral("/store-dist-app/getAppBriefInfo"), slow));
        QVERIFY2(!m_bus.start().isEmpty(), qPrintable(m_bus.errorString()));
        QVERIFY(m_bus.openToAllUsers());
        m_daemon = std::make_unique<DaemonUnderTest>(m_bus);
        const QStringList storeEnvironment = StoreTestSetup::daemonEnvironment(m_store);
        QVERIFY(!storeEnvironment.isEmpty());
        m_daemon->addEnvironment(storeEnvironment);
        QVERIFY2(m_daemon->start(), qPrintable(m_daemon->logLines().join(u'\n')));
    }

    void cleanupTestCase()
    {
        m_daemon.reset();
        m_bus.stop();
        if (m_guard)
            QVERIFY2(m_guard->restore(), qPrintable(m_guard->errorString()));
    }

    // The open form takes 1,000 names from a user the daemon does not admit
    // (uid 1, no seat), not 1,001; root's list is taken; a list's refused
    // names go in one line.
    void listsAreBoundedAndRefusedWhole()
    {
        QStringList names;
        for (int i = 0; i <= 1000; ++i)
            names << QStringLiteral("-x%1").arg(i);
        for (const qsizetype count : {1000, 1001}) {
            AppStore::ProcessSpec gdbus;
            gdbus.program = QStringLiteral("setpriv");
            gdbus.arguments =
                QStringLiteral("--reuid=1 --regid=1 --clear-groups gdbus call --system "
                               "--dest=com.tarnwick.daemon --object-path=/appstore "
                               "--method=com.tarnwick.daemon.interface."
                               "GetPackageLatestList")
                    .split(u' ')
                << QStringLiteral("['%1']").arg(names.mid(0, count).join(QStringLiteral("', '")))
                << QStringLiteral("false");
            gdbus.environmentMode = AppStore::ProcessSpec::Environment::Extend;
            gdbus.environment = m_bus.environment();
            const AppStore::ProcessResult result = AppStore::ProcessRunner::run(gdbus);
            QVERIFY2(result.outputText().trimmed() == QStringLiteral("(@as [],)"),
                     qPrintable(result.errorText()));
        }
        QTRY_COMPARE(m_daemon->countLines(QStringLiteral("Params Invalid")), 1);
        const QDBusMessage reply = QDBusConnection::systemBus().call(
            method(QStringLiteral("GetPackageLatestList"), {names, false}), QDBus::BlockWithGui,
            5000);
        QCOMPARE(reply.arguments().value(0).toStringList(), QStringList());
        QTRY_COMPARE(m_daemon->countLines(QStringLiteral("1001 left out")), 1);
        QCOMPARE(m_daemon->countLines(QStringLiteral("1000 left out")), 1);
        QCOMPARE(m_daemon->countLines(QStringLiteral("left out")), 2);
        QCOMPARE(m_daemon->countLines(QStringLiteral("Params Invalid")), 1);
    }

    // A user not at the seat sends three lists of 1,000 names of 25,000
    // characters (about 25 MB each) and leaves, and as much to a checked
    // method, four times, on a busy machine: the daemon still reads its
    // bus, and root is answered at once.
    void floodsOfHugeListsLeaveTheBusRead()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                              QFile::ReadOther | QFile::ExeOther);
        const QString namesFile = dir.filePath(QStringLiteral("names"));
        QVERIFY(TestEnv::writeFile(namesFile,
                                   QByteArray(QByteArray(25000, 'a') + '\n').repeated(1000)));
        QFile::setPermissions(namesFile, QFile::ReadOwner | QFile::ReadOther);
        const QString client = dir.filePath(QStringLiteral("client"));
        QVERIFY(QFile::copy(qEnvironmentVariable("TWK_TEST_CLIENT"), client));
        // The open list, and a checked method whose caller check asks the
        // bus while the next calls arrive.
        const QList<QStringList> calls{{QStringLiteral("GetPackageLatestList"),
                                        QStringLiteral("aslines:") + namesFile,
                                        QStringLiteral("b:false")},
                                       {QStringLiteral("IntallPackage"), QStringLiteral("s:1"),
                                        QStringLiteral("sfile:") + namesFile}};
        {
            CpuLoad load;
            for (int round = 0; round < 4; ++round) {
                for (const QStringList &call : calls) {
                    AppStore::ProcessSpec flood;
                    flood.program = QStringLiteral("setpriv");
                    flood.arguments =
                        QStringList{QStringLiteral("--reuid=1"),      QStringLiteral("--regid=1"),
                                    QStringLiteral("--clear-groups"), client,
                                    QStringLiteral("--send"),         QStringLiteral("3")} +
                        call;
                    flood.environmentMode = AppStore::ProcessSpec::Environment::Extend;
                    flood.environment = m_bus.environment();
                    flood.timeoutMs = 120000;
                    const AppStore::ProcessResult result = AppStore::ProcessRunner::run(flood);
                    QVERIFY2(result.succeeded(), qPrintable(result.errorText()));
                }
            }
        }
        // What the bus still holds of the flood comes first; until the
        // daemon has read enough of it, the bus turns calls away ("full
        // message queue"). On a busy machine that takes a while, but it ends.
        QElapsedTimer reading;
        reading.start();
        const auto ask = [] {
            return QDBusConnection::systemBus().call(method(QStringLiteral("GetAgreeState")),
                                                     QDBus::BlockWithGui, 1000);
        };
        QDBusMessage first = ask();
        while (first.type() != QDBusMessage::ReplyMessage &&
               reading.elapsed() < kFloodReadLimitMs) {
            QTest::qWait(200);
            first = ask();
        }
        QVERIFY2(first.type() == QDBusMessage::ReplyMessage, qPrintable(first.errorMessage()));
        qInfo("the rest of the flood was read within %lld ms", qlonglong(reading.elapsed()));
        // The questions about callers go over a connection of their own,
        // which the flood does not hold up: none waited out its time.
        QCOMPARE(m_daemon->countLines(QStringLiteral("Did not receive a reply")), 0);
        for (int probe = 0; probe < 20; ++probe) {
            QTest::qWait(2000);
            QElapsedTimer timer;
            timer.start();
            const QDBusMessage reply = ask();
            QVERIFY2(reply.type() == QDBusMessage::ReplyMessage && timer.elapsed() < 1000,
                     qPrintable(QStringLiteral("probe %1: %2 after %3 ms")
                                    .arg(probe)
                                    .arg(reply.errorMessage())
                                    .arg(timer.elapsed())));
        }
    }

    // A store page asks once per application it lists, all at once, from
    // more than one connection; but a call whose arguments take more than a
    // user may have held is refused.
    void manyQueriesAtOnceAreAllAnswered()
    {
        const QDBusMessage huge = QDBusConnection::systemBus().call(
            method(QStringLiteral("GetPackageLatestList"),
                   {QStringList(1000, QString(9000, u'a')), false}),
            QDBus::BlockWithGui, 5000);
        QCOMPARE(huge.errorName(), QStringLiteral("org.freedesktop.DBus.Error.LimitsExceeded"));
        AppStore::ProcessSpec version;
        version.program = QStringLiteral("dpkg-query");
        version.arguments = QStringList{QStringLiteral("-W"), QStringLiteral("-f=${Version}"),
                                        QStringLiteral("dpkg")};
        const AppStore::ProcessResult dpkg = AppStore::ProcessRunner::run(version);
        QVERIFY(dpkg.succeeded());
        QList<QDBusPendingCall> infos;
        QList<QDBusPendingCall> desktopFiles;
        for (int i = 0; i < 100; ++i) {
            infos << spreadCall(
                method(QStringLiteral("GetLocalPackageInfo"), {QStringLiteral("dpkg")}), 2 * i);
            desktopFiles << spreadCall(
                method(QStringLiteral("GetPackageDesktopFile"), {QStringLiteral("dpkg")}),
                2 * i + 1);
        }
        // The daemon's log is read while waiting.
        QVERIFY(TestEnv::waitFor(
            [&] {
                return std::all_of(infos.cbegin(), infos.cend(),
                                   std::mem_fn(&QDBusPendingCall::isFinished)) &&
                       std::all_of(desktopFiles.cbegin(), desktopFiles.cend(),
                                   std::mem_fn(&QDBusPendingCall::isFinished));
            },
            60000));
        for (const QDBusPendingCall &info : std::as_const(infos))
            QVERIFY2(info.reply().arguments().value(0).toString().contains(dpkg.outputText()),
                     qPrintable(info.error().message()));
        for (const QDBusPendingCall &files : std::as_const(desktopFiles))
            QCOMPARE(files.reply().type(), QDBusMessage::ReplyMessage);
    }

    // Root's 100,000 names wait for the store; another connection does not,
    // and a later call of root's is judged at once, before it is held.
    void othersAreAnsweredDuringALongCall()
    {
        QStringList names;
        for (int i = 0; i < 100000; ++i)
            names << QStringLiteral("twk-test-n%1").arg(i);
        m_pending << callAside(method(QStringLiteral("GetPackageLatestList"), {names, false}));
        QVERIFY(TestEnv::waitFor(
            [this] {
                const QList<LocalHttpsServer::Request> log = m_store.requestLog();
                return !log.isEmpty() && log.last().path.contains(QLatin1String("twk-test-n0"));
            },
            30000));
        QDBusConnection other =
            QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("other"));
        QElapsedTimer timer;
        timer.start();
        const QDBusMessage reply =
            other.call(method(QStringLiteral("GetAgreeState")), QDBus::BlockWithGui, 5000);
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
        m_pending << callAside(method(QStringLiteral("GetPackageLatestList"),
                                      {QStringList{QStringLiteral("twk-test-kept"),
                                                   QStringLiteral("-x"), QStringLiteral("-y")},
                                       false}));
        QTRY_COMPARE_WITH_TIMEOUT(m_daemon->countLines(QStringLiteral("2 left out")), 1, 3000);
        QVERIFY(!m_pending.constFirst().isFinished());
    }

    // A request on the connection whose latest list waits for the store is
    // taken before that list is answered.
    void requestIsNotHeldBehindTheClientsLongQuery()
    {
        QVERIFY(!m_pending.constFirst().isFinished());
        const QDBusPendingCall request = callAside(method(
            QStringLiteral("IntallPackage"), {QStringLiteral("lanes"), QStringLiteral("{}")}));
        QVERIFY(TestEnv::waitFor([&request] { return request.isFinished(); },
                                 10000 * TestEnv::slowdown()));
        QVERIFY2(!request.isError(), qPrintable(request.error().message()));
        QVERIFY(!m_pending.constFirst().isFinished());
    }

    // Root's calls so far, the one in work among them, and more from other
    // connections up to the bound are held; the next is refused at once.
    void callBeyondTheBoundOfOneUserIsRefused()
    {
        const QDBusMessage query =
            method(QStringLiteral("GetLocalPackageInfo"), {QStringLiteral("twk-test-none")});
        // The connections are known by then: the calls of a fresh one, whose
        // user is not known yet, have a smaller bound of their own.
        for (qsizetype call = m_pending.size(); call <= kMaxHeldCalls; call += kCallsPerConnection)
            QCOMPARE(spreadConnection(call)
                         .call(method(QStringLiteral("WakeUpDaemon")), QDBus::BlockWithGui, 10000)
                         .type(),
                     QDBusMessage::ReplyMessage);
        for (qsizetype i = m_pending.size(); i < kMaxHeldCalls; ++i)
            m_pending << spreadCall(query, i);
        const QDBusMessage refused =
            spreadConnection(kMaxHeldCalls).call(query, QDBus::BlockWithGui, 5000);
        QCOMPARE(refused.errorName(), QStringLiteral("org.freedesktop.DBus.Error.LimitsExceeded"));
        for (const QDBusPendingCall &pending : std::as_const(m_pending))
            QVERIFY(!pending.isFinished());
    }

    // The daemon ends within its wait for its long calls at a stop, cleanly;
    // the calls still held are answered with an error, not left to time out.
    void stopDuringLongCalls()
    {
        QCOMPARE(::kill(pid_t(m_daemon->processId()), SIGTERM), 0);
        QVERIFY2(TestEnv::waitFor([this] { return !m_daemon->isRunning(); }, kStopLimitMs),
                 qPrintable(m_daemon->logLines().join(u'\n')));
        // The long call still at work is left to the ending process, which
        // does not destroy what it uses under it.
        QVERIFY2(m_daemon->result().succeeded(), qPrintable(m_daemon->logLines().join(u'\n')));
        for (QDBusPendingCall &pending : m_pending) {
            pending.waitForFinished();
            QCOMPARE(pending.error().type(), QDBusError::Failed);
        }
    }
};

QTEST_GUILESS_MAIN(TestBusLongCalls)
#include "tst_bus_long_calls.moc"
