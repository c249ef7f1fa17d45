#include "daemon_under_test.h"
#include "private_system_bus.h"
#include "server_process.h"
#include "system_file_guard.h"
#include "test_env.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <memory>

using AppStore::ProcessResult;
using AppStore::ProcessRunner;
using AppStore::ProcessSpec;

namespace {

const QString kClient = QStringLiteral("/usr/bin/tarnwick-client");
const QString kOtherCaseClient = QStringLiteral("/usr/bin/Tarnwick-client");
const QString kGdbus = QStringLiteral("/usr/bin/gdbus");
constexpr int kSeatUid = 65534; // nobody, the seat's user in these tests
constexpr int kOtherUid = 1;    // daemon, a user without a seat
const QString kAccessDenied = QStringLiteral("org.freedesktop.DBus.Error.AccessDenied");
// Logged by the update worker each time an update request reaches it.
const QString kUpdateRun = QStringLiteral("AptUpdateThread start");

} // namespace

// Who may make the daemon act: the real daemon, called by real programs run
// as root, as the user at the seat and as another user.
class TestBusCallers : public QObject
{
    Q_OBJECT

private:
    PrivateSystemBus m_bus;
    ServerProcess m_login1;
    std::unique_ptr<SystemFileGuard> m_guard;
    std::unique_ptr<DaemonUnderTest> m_daemon;

    ProcessSpec callSpec(int uid, const QString &program, const QStringList &arguments) const
    {
        ProcessSpec spec;
        spec.environmentMode = ProcessSpec::Environment::Extend;
        spec.environment = m_bus.environment();
        spec.timeoutMs = 90000;
        if (uid == 0) {
            spec.program = program;
            spec.arguments = arguments;
            return spec;
        }
        spec.program = QStringLiteral("setpriv");
        spec.arguments =
            QStringList{QStringLiteral("--reuid=%1").arg(uid),
                        QStringLiteral("--regid=%1").arg(uid), QStringLiteral("--clear-groups"),
                        QStringLiteral("--"), program} +
            arguments;
        return spec;
    }

    ProcessResult callUpdate(int uid, const QString &program) const
    {
        const QStringList arguments =
            program == kGdbus
                ? QStringList{QStringLiteral("call"),
                              QStringLiteral("--system"),
                              QStringLiteral("--dest"),
                              QStringLiteral("com.tarnwick.daemon"),
                              QStringLiteral("--object-path"),
                              QStringLiteral("/appstore"),
                              QStringLiteral("--method"),
                              QStringLiteral("com.tarnwick.daemon.interface.AptUpdateSource")}
                : QStringList{QStringLiteral("AptUpdateSource")};
        return ProcessRunner::run(callSpec(uid, program, arguments));
    }

    int updateRuns() const { return m_daemon->countLines(kUpdateRun); }

    // An accepted call made after a refused one reaches the worker after
    // anything the refused one set off: exactly one more run means none.
    void verifyNothingRanSince(int runs)
    {
        QVERIFY(callUpdate(0, kGdbus).succeeded());
        QVERIFY2(TestEnv::waitFor([&] { return updateRuns() > runs; }, 30000),
                 qPrintable(m_daemon->logLines().join(u'\n')));
        QTest::qWait(300);
        QCOMPARE(updateRuns(), runs + 1);
    }

    static void verifyDenied(const ProcessResult &result, const QString &path)
    {
        const QString answer = result.outputText() + result.errorText();
        QVERIFY2(result.started && result.exitCode != 0, qPrintable(answer));
        QVERIFY2(answer.contains(kAccessDenied), qPrintable(answer));
        QVERIFY2(answer.contains(QStringLiteral("Invalid caller executable path: ") + path),
                 qPrintable(answer));
    }

    static bool installClient(const QString &path)
    {
        QFile::remove(path);
        return QFile::copy(qEnvironmentVariable("TWK_TEST_CLIENT"), path) &&
               QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                               QFile::ReadGroup | QFile::ExeGroup |
                                               QFile::ReadOther | QFile::ExeOther);
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_guard = std::make_unique<SystemFileGuard>(
            DaemonUnderTest::statePaths() + QStringList{QStringLiteral("/etc/apt/sources.list"),
                                                        QStringLiteral("/etc/apt/sources.list.d"),
                                                        kClient, kOtherCaseClient});
        QVERIFY2(m_guard->isValid(), qPrintable(m_guard->errorString()));
        // Accepted calls update the package indexes: with no sources, that
        // stays on this machine.
        QVERIFY(QDir(QStringLiteral("/etc/apt/sources.list.d")).removeRecursively());
        QVERIFY(QDir().mkpath(QStringLiteral("/etc/apt/sources.list.d")));
        QVERIFY(TestEnv::writeFile(QStringLiteral("/etc/apt/sources.list"), QByteArray()));
        QVERIFY(installClient(kClient));
        QVERIFY(installClient(kOtherCaseClient));

        m_bus.allowService(QStringLiteral("org.freedesktop.login1"));
        QVERIFY2(!m_bus.start().isEmpty(), qPrintable(m_bus.errorString()));
        QVERIFY(m_bus.openToAllUsers());
        QVERIFY2(m_login1.start(qEnvironmentVariable("TWK_LOGIN1_STANDIN"),
                                {QStringLiteral("nobody"), QString::number(kSeatUid)},
                                m_bus.environment()),
                 qPrintable(m_login1.errorString()));
        m_daemon = std::make_unique<DaemonUnderTest>(m_bus);
        QVERIFY2(m_daemon->start(true), qPrintable(m_daemon->logLines().join(u'\n')));
    }

    void cleanupTestCase()
    {
        if (m_daemon)
            QVERIFY(m_daemon->stop());
        m_login1.stop();
        m_bus.stop();
        if (m_guard)
            QVERIFY2(m_guard->restore(), qPrintable(m_guard->errorString()));
    }

    void checkedMethod_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<int>("uid");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("store client of the seat user") << kClient << kSeatUid << true;
        QTest::newRow("root through any program") << kGdbus << 0 << true;
        QTest::newRow("client path in other letter case") << kOtherCaseClient << kSeatUid << false;
        QTest::newRow("other program of the seat user") << kGdbus << kSeatUid << false;
        QTest::newRow("store client of a user not at the seat") << kClient << kOtherUid << false;
    }

    void checkedMethod()
    {
        QFETCH(QString, program);
        QFETCH(int, uid);
        QFETCH(bool, accepted);
        const int runs = updateRuns();
        const ProcessResult result = callUpdate(uid, program);
        if (accepted) {
            QVERIFY2(result.succeeded(), qPrintable(result.outputText() + result.errorText()));
            QVERIFY2(TestEnv::waitFor([&] { return updateRuns() == runs + 1; }, 30000),
                     qPrintable(m_daemon->logLines().join(u'\n')));
            return;
        }
        verifyDenied(result, program);
        verifyNothingRanSince(runs);
    }

    void clientReplacedWhileRunning()
    {
        const int runs = updateRuns();
        ProcessRunner client;
        QStringList output;
        connect(&client, &ProcessRunner::standardOutputLine, &client,
                [&output](const QString &line) { output.append(line); });
        QVERIFY(client.start(callSpec(
            kSeatUid, kClient, {QStringLiteral("--wait"), QStringLiteral("AptUpdateSource")})));
        QVERIFY(TestEnv::waitFor([&] { return output.contains(QStringLiteral("ready")); }, 30000));
        QVERIFY(installClient(kClient));
        client.write("\n");
        client.closeWriteChannel();
        const ProcessResult result = client.waitForFinished();
        ProcessResult shown = result;
        shown.standardOutput = output.join(u'\n').toUtf8();
        verifyDenied(shown, kClient + QStringLiteral(" (deleted)"));
        verifyNothingRanSince(runs);
    }

    void hookEntryOnlyFromRoot()
    {
        const ProcessResult result = ProcessRunner::run(callSpec(
            kSeatUid, kClient,
            {QStringLiteral("SlotPackageOperationFromHook"), QStringLiteral("s:twk-test-absent"),
             QStringLiteral("s:1.0"), QStringLiteral("s:remove")}));
        verifyDenied(result, kClient);
    }
};

QTEST_GUILESS_MAIN(TestBusCallers)
#include "tst_bus_callers.moc"
