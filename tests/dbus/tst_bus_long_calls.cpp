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
#include <QTest>

#include <csignal>
#include <memory>

namespace {

QDBusMessage method(const QString &name, const QVariantList &arguments = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("com.tarnwick.daemon"), QStringLiteral("/appstore"),
        QStringLiteral("com.tarnwick.daemon.interface"), name);
    message.setArguments(arguments);
    return message;
}

QDBusPendingCall callAside(const QDBusMessage &message)
{
    return QDBusConnection::systemBus().asyncCall(message, 600000);
}

} // namespace

// The real daemon on a private bus, its store answering each query after
// 5 s: one caller's long call holds up no other caller, one user's calls are
// bounded, and a stop is not held up by them.
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
            method(QStringLiteral("GetPackageLatestList"), {names, false}), QDBus::Block, 5000);
        QCOMPARE(reply.arguments().value(0).toStringList(), QStringList());
        QTRY_COMPARE(m_daemon->countLines(QStringLiteral("1001 left out")), 1);
        QCOMPARE(m_daemon->countLines(QStringLiteral("1000 left out")), 1);
        QCOMPARE(m_daemon->countLines(QStringLiteral("left out")), 2);
        QCOMPARE(m_daemon->countLines(QStringLiteral("Params Invalid")), 1);
    }

    // Root's 100,000 names wait for the store; another connection does not.
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
            other.call(method(QStringLiteral("GetAgreeState")), QDBus::Block, 5000);
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    }

    // The call in work and 15 waiting ones are held; the next is refused at once.
    void seventeenthCallOfOneUserIsRefused()
    {
        const QDBusMessage query =
            method(QStringLiteral("GetLocalPackageInfo"), {QStringLiteral("twk-test-none")});
        for (int i = 1; i < 16; ++i)
            m_pending << callAside(query);
        const QDBusMessage refused = QDBusConnection::systemBus().call(query, QDBus::Block, 5000);
        QCOMPARE(refused.errorName(), QStringLiteral("org.freedesktop.DBus.Error.LimitsExceeded"));
        for (const QDBusPendingCall &pending : std::as_const(m_pending))
            QVERIFY(!pending.isFinished());
    }

    // Within the daemon's wait for its long calls at a stop, which the store
    // query in work does not use up; the calls still held are answered with
    // an error, not left to time out.
    void stopDuringLongCalls()
    {
        QCOMPARE(::kill(pid_t(m_daemon->processId()), SIGTERM), 0);
        QVERIFY2(TestEnv::waitFor([this] { return !m_daemon->isRunning(); }, 3000),
                 qPrintable(m_daemon->logLines().join(u'\n')));
        for (QDBusPendingCall &pending : m_pending) {
            pending.waitForFinished();
            QCOMPARE(pending.error().type(), QDBusError::Failed);
        }
    }
};

QTEST_GUILESS_MAIN(TestBusLongCalls)
#include "tst_bus_long_calls.moc"
