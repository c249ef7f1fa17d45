#include "daemon_under_test.h"
#include "private_system_bus.h"
#include "server_process.h"
#include "system_file_guard.h"
#include "test_env.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTest>

#include <memory>

using AppStore::ProcessResult;
using AppStore::ProcessRunner;
using AppStore::ProcessSpec;

namespace {

const QString kClient = QStringLiteral("/usr/bin/tarnwick-client");
const QString kOtherCaseClient = QStringLiteral("/usr/bin/Tarnwick-client");
const QString kLongerClient = QStringLiteral("/usr/bin/tarnwick-client2");
const QString kGdbus = QStringLiteral("/usr/bin/gdbus");
const QString kStateDir = QStringLiteral("/var/lib/tarnwick-daemon/");
const QString kInterface = QStringLiteral("com.tarnwick.daemon.interface");
constexpr int kSeatUid = 65534; // nobody, the seat's user in these tests
constexpr int kOtherUid = 1;    // daemon, a user without a seat
const QString kAccessDenied = QStringLiteral("org.freedesktop.DBus.Error.AccessDenied");
// Logged by the update worker each time an update request reaches it.
const QString kUpdateRun = QStringLiteral("AptUpdateThread start");

// Every method that asks who calls, with arguments (as the test client takes
// them) that change what the daemon keeps when it is admitted. The store is
// an address of this machine where nothing answers.
const QStringList kCheckedCalls =
    QStringLiteral(
        "AptUpdateSource b:false;IntallPackage s:i s:%1;RemovePackage s:i s:%1 s:Absent;"
        "PauseInstallPackage s:i s:%1;prepareToDeletePackage s:i s:%1;CancelInstall s:i s:%1;"
        "ConfigureInstallPackage s:i s:%1 s:y;PausePartAptTasks s:i as:%1;CheckAppUpgrade;"
        "ClearHistoryInstalledPackageList;ClearPartHistoryInstalledPackageList s:i as:%1;"
        "GetPackageLatestList as:%1 b:true;OperateLocalOnTheShelvesAppDb i:0 "
        "as:{\"package_name\":\"%1\"};"
        "SetConfigByNodeName s:onNotice s:7;setAgreeSign s:7;setAgreeVersion s:7|7;"
        "setNiceAndPriority i:5 i:0;SetWineAutoStart s:%1 b:true;GetCpuAndBoardInfo;"
        "SetSystemProxy s:nobody s:{\"http_proxy\":\"http://127.0.0.1:9\"};saveHardWareInfo;"
        "WakeUpDaemon")
        .arg(QStringLiteral("twk-test-absent"))
        .split(u';');

QDBusMessage rootCall(const QString &method, const QVariantList &arguments = {})
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("com.tarnwick.daemon"), QStringLiteral("/appstore"), kInterface, method);
    call.setArguments(arguments);
    return QDBusConnection::systemBus().call(call, QDBus::Block, 60000);
}

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
    int m_callerFacts = 0;
    int m_listenerFacts = 0;

    // prefix: what starts the program, run as uid (namespaces, binds).
    ProcessSpec callSpec(int uid, const QString &program, const QStringList &arguments,
                         const QStringList &prefix = {}) const
    {
        QStringList command = prefix + QStringList{program} + arguments;
        if (uid != 0)
            command = QStringLiteral("setpriv --reuid=%1 --regid=%1 --clear-groups --")
                          .arg(uid)
                          .split(u' ') +
                      command;
        ProcessSpec spec;
        spec.environmentMode = ProcessSpec::Environment::Extend;
        spec.environment = m_bus.environment();
        spec.timeoutMs = 90000;
        spec.program = command.takeFirst();
        spec.arguments = command;
        return spec;
    }

    // "Method t:value ..." through the test client or gdbus, which take
    // their arguments in forms of their own.
    ProcessResult call(int uid, const QString &program, const QString &methodAndArguments,
                       const QStringList &prefix = {}) const
    {
        QStringList words = methodAndArguments.split(u' ');
        if (program == kGdbus) {
            for (QString &word : words)
                word = word.startsWith(u"as:") ? "['" + word.mid(3) + "']" : word.section(u':', 1);
            words = QStringLiteral("call --system --dest com.tarnwick.daemon --object-path "
                                   "/appstore --method %1.%2")
                        .arg(kInterface, methodAndArguments.section(u' ', 0, 0))
                        .split(u' ') +
                    words.mid(1);
        }
        return ProcessRunner::run(callSpec(uid, program, words, prefix));
    }

    // What the admitted checked calls would change.
    QStringList keptState() const
    {
        QStringList state{QString::fromUtf8(TestEnv::readFile(kStateDir + "proxy.conf"))};
        for (const char *query : {"GetHistoryInstalledPackageList", "GetLocalOnTheShelvesAppInfo",
                                  "GetAgreeState", "GetAgreeVersion", "getNiceAndPriority"})
            state += rootCall(QLatin1String(query)).arguments().value(0).toStringList();
        return state +
               rootCall("GetConfigByNodeName", {"onNotice"}).arguments().value(0).toStringList();
    }

    int updateRuns() const { return m_daemon->countLines(kUpdateRun); }

    // An accepted call made after a refused one reaches the worker after
    // anything the refused one set off: exactly one more run means none.
    void verifyNothingRanSince(int runs)
    {
        QVERIFY(call(0, kGdbus, QStringLiteral("AptUpdateSource")).succeeded());
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
            DaemonUnderTest::statePaths() +
            QStringList{
                QStringLiteral("/etc/apt/sources.list"), QStringLiteral("/etc/apt/sources.list.d"),
                QStringLiteral("/etc/velkor/velkor-app-store"), QStringLiteral("/opt/velkorwine"),
                kClient, kOtherCaseClient, kLongerClient});
        QVERIFY2(m_guard->isValid(), qPrintable(m_guard->errorString()));
        // Accepted calls update the package indexes: with no sources, that
        // stays on this machine.
        QVERIFY(QDir(QStringLiteral("/etc/apt/sources.list.d")).removeRecursively());
        QVERIFY(QDir().mkpath(QStringLiteral("/etc/apt/sources.list.d")));
        QVERIFY(TestEnv::writeFile(QStringLiteral("/etc/apt/sources.list"), QByteArray()));
        QVERIFY(TestEnv::writeFile("/etc/velkor/velkor-app-store/appstore-serveice-0618.conf",
                                   "https://127.0.0.1:9\n"));
        for (const QString &path : {kClient, kOtherCaseClient, kLongerClient})
            QVERIFY(installClient(path));

        m_bus.allowService(QStringLiteral("org.freedesktop.login1"));
        QVERIFY2(!m_bus.start().isEmpty(), qPrintable(m_bus.errorString()));
        QVERIFY(m_bus.openToAllUsers());
        QVERIFY2(m_login1.start(qEnvironmentVariable("TWK_LOGIN1_STANDIN"),
                                {QStringLiteral("nobody"), QString::number(kSeatUid)},
                                m_bus.environment()),
                 qPrintable(m_login1.errorString()));
        // The test's own connection asks for hardware facts; another one
        // listens from before the daemon starts.
        const QString facts = QStringLiteral("sigGetCpuAndBoardInfoFinished");
        QVERIFY(QDBusConnection::systemBus().connect({}, "/appstore", kInterface, facts, this,
                                                     SLOT(countCallerFacts())));
        QVERIFY(QDBusConnection::connectToBus(m_bus.address(), QStringLiteral("listener"))
                    .connect({}, "/appstore", kInterface, facts, this, SLOT(countListenerFacts())));
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
        // The bus refuses it, before the daemon could.
        const QString answer = result.outputText() + result.errorText();
        QVERIFY2(result.started && result.exitCode != 0 && answer.contains(kAccessDenied),
                 qPrintable(answer));
    }

    // Neither the collection at start-up nor the test's own call reaches
    // the listener.
    void hardwareFactsOnlyToTheirCaller()
    {
        QCOMPARE(rootCall(QStringLiteral("GetCpuAndBoardInfo")).type(), QDBusMessage::ReplyMessage);
        QTRY_COMPARE_WITH_TIMEOUT(m_callerFacts, 1, 60000);
        QTest::qWait(300);
        QCOMPARE(m_listenerFacts, 0);
    }

    void callersSetOnlyWhatIsTheirs()
    {
        QCOMPARE(TestEnv::fileMode(kStateDir + "appstore.db"), 0600);
        // Only root's start-up updates skip the throttle of failed ones.
        const int throttled = m_daemon->countLines("isClientStartup: false");
        QVERIFY(call(kSeatUid, kClient, "AptUpdateSource b:true").succeeded());
        QCOMPARE(rootCall("AptUpdateSource", {true}).type(), QDBusMessage::ReplyMessage);
        QVERIFY(TestEnv::waitFor([&] { return m_daemon->countLines("isClientStartup: true") == 1; },
                                 30000));
        QCOMPARE(m_daemon->countLines("isClientStartup: false"), throttled + 1);
        // The seat user's proxy is that user's own; root may keep one for
        // another user, which does not become the seat's.
        // Only what this test writes is compared: an earlier run may have
        // left other users' groups.
        const QString url = QStringLiteral("http://127.0.0.1:9");
        const QString proxy = QStringLiteral("{\"http_proxy\":\"%1\"}").arg(url);
        const auto saved = [](const char *key) {
            return QSettings(kStateDir + "proxy.conf", QSettings::IniFormat)
                .value(QLatin1String(key))
                .toString();
        };
        const QString daemonBefore = saved("daemon/http_proxy");
        for (const char *user : {"nobody", "daemon"})
            QVERIFY(
                call(kSeatUid, kClient, "SetSystemProxy s:" + QLatin1String(user) + " s:" + proxy)
                    .succeeded());
        QCOMPARE(saved("nobody/http_proxy"), url);
        QCOMPARE(saved("daemon/http_proxy"), daemonBefore);
        QCOMPARE(rootCall("SetSystemProxy", {"daemon", proxy}).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(saved("daemon/http_proxy"), url);
        QCOMPARE(saved("user"), QStringLiteral("nobody"));
    }

    // Refused callers first, and this test last: what admitted calls set off
    // would blur the check that a refusal changes nothing.
    void checkedMethod_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<int>("uid");
        QTest::addColumn<QStringList>("prefix");
        QTest::addColumn<bool>("accepted");
        const QStringList none;
        QTest::newRow("client path in other letter case")
            << kOtherCaseClient << kSeatUid << none << false;
        QTest::newRow("other program of the seat user") << kGdbus << kSeatUid << none << false;
        QTest::newRow("path that begins with the client's")
            << kLongerClient << kSeatUid << none << false;
        QTest::newRow("store client of a user not at the seat")
            << kClient << kOtherUid << none << false;
        // Root of a user namespace of its own binds a copy of another
        // program, then runs it as the seat user again, whom the bus knows.
        QTest::newRow("copy bound at the client's path by the seat user")
            << kClient << kSeatUid
            << QStringLiteral("unshare -Urm sh -c").split(u' ') +
                   QStringList{"mount --bind $0 $1 && exec unshare --map-user=65534 "
                               "--map-group=65534 \"$@\"",
                               kLongerClient}
            << false;
        // The same copy run from the daemon's own namespaces, through the
        // root of such a namespace: its executable reads as the client's.
        QTest::newRow("copy reached through the root of the seat user's namespace")
            << kClient << kSeatUid
            << QStringList{"sh", "-c",
                           "unshare -Urm sh -c 'mount --bind \"$0\" \"$1\" && exec sleep 600' "
                           "\"$0\" \"$1\" & h=$!; until [ \"/proc/$h/root$1\" -ef \"$0\" ]; do "
                           "sleep 0.1; done; \"/proc/$h/root$@\"; r=$?; kill $h; exit $r",
                           kLongerClient}
            << false;
        QTest::newRow("store client in a mount namespace of its own")
            << kClient << 0
            << QStringLiteral("unshare -m setpriv --reuid=65534 --regid=65534 --clear-groups --")
                   .split(u' ')
            << false;
        QTest::newRow("store client in a user namespace of its own")
            << kClient << kSeatUid << QStringList{"unshare", "-c"} << false;
        QTest::newRow("store client of the seat user") << kClient << kSeatUid << none << true;
        QTest::newRow("root through any program") << kGdbus << 0 << none << true;
    }

    void checkedMethod()
    {
        QFETCH(QString, program);
        QFETCH(int, uid);
        QFETCH(QStringList, prefix);
        QFETCH(bool, accepted);
        const int runs = updateRuns();
        const QStringList state = keptState();
        for (const QString &checked : kCheckedCalls) {
            const ProcessResult result = call(uid, program, checked, prefix);
            if (!accepted)
                verifyDenied(result, program);
            else
                QVERIFY2(result.succeeded(), qPrintable(checked + result.errorText()));
        }
        if (!accepted) {
            verifyNothingRanSince(runs);
            QCOMPARE(keptState(), state);
        }
    }

public Q_SLOTS:
    void countCallerFacts() { ++m_callerFacts; }
    void countListenerFacts() { ++m_listenerFacts; }
};

QTEST_GUILESS_MAIN(TestBusCallers)
#include "tst_bus_callers.moc"
