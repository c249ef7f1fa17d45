#include "appstoredb_test_file.h"
#include "daemon_apt_configs.h"
#include "dpkg_admin_dir.h"
#include "local_apt_repository.h"
#include "local_https_server.h"
#include "private_system_bus.h"
#include "server_process.h"
#include "store_test_setup.h"
#include "system_file_guard.h"
#include "test_env.h"
#include "utils/process_runner.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using AppStore::ProcessResult;
using AppStore::ProcessRunner;
using AppStore::ProcessSpec;

// The daemon binary itself: how it starts, refuses and shows itself on the bus.
class TestDaemonFrame : public QObject
{
    Q_OBJECT

private:
    PrivateSystemBus m_bus;
    QTemporaryDir m_home;
    DaemonAptConfigs m_aptConfigs;

    ProcessSpec daemonSpec(const QStringList &arguments = {}) const
    {
        ProcessSpec spec;
        spec.program = TestEnv::daemonPath();
        spec.arguments = arguments;
        spec.environmentMode = ProcessSpec::Environment::Extend;
        spec.environment = m_bus.environment();
        spec.environment << QStringLiteral("HOME=") + m_home.path()
                         << QStringLiteral("XDG_CACHE_HOME=") +
                                m_home.filePath(QStringLiteral("cache"))
                         << QStringLiteral("BEXA_CONFIG_DIR=") +
                                m_home.filePath(QStringLiteral("config"));
        spec.timeoutMs = 20000;
        return spec;
    }

    static bool daemonOnBus()
    {
        return QDBusConnection::systemBus().interface()->isServiceRegistered(
            QStringLiteral("com.tarnwick.daemon"));
    }

    // Starts the daemon in the background, keeping each line it logs, and
    // waits until it owns its name.
    bool startDaemon(ProcessRunner &daemon, QStringList &lines) const
    {
        connect(&daemon, &ProcessRunner::standardErrorLine, &daemon,
                [&lines](const QString &line) { lines.append(line); });
        ProcessSpec spec = daemonSpec();
        spec.timeoutMs = 120000;
        return daemon.start(spec) && TestEnv::waitFor(daemonOnBus, 15000);
    }

    static void stopDaemon(ProcessRunner &daemon)
    {
        daemon.kill();
        daemon.waitForFinished();
        QVERIFY(TestEnv::waitFor([] { return !daemonOnBus(); }, 10000));
    }

    bool writeLogRules(const QString &rules) const
    {
        const QJsonObject values{{QStringLiteral("log_rules"), rules}};
        return TestEnv::writeFile(
            m_home.filePath(QStringLiteral("config/velkor-app-store/com.velkor.app-store.json")),
            QJsonDocument(values).toJson());
    }

    static QStringList logFiles()
    {
        return QDir(QStringLiteral("/var/log/velkor/tarnwick-daemon"))
            .entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(QFile::exists(TestEnv::daemonPath()));
        QVERIFY(m_home.isValid());
        QVERIFY2(m_aptConfigs.isValid(), qPrintable(m_aptConfigs.errorString()));
        m_bus.allowService(QStringLiteral("org.freedesktop.NetworkManager"));
        QVERIFY2(!m_bus.start().isEmpty(), qPrintable(m_bus.errorString()));
    }

    void refusesToRunWithoutRoot()
    {
        // A copy in a folder that nobody can reach, since the build tree may not be.
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                              QFile::ReadOther | QFile::ExeOther);
        const QString copy = dir.filePath(QStringLiteral("tarnwick-daemon"));
        QVERIFY(QFile::copy(TestEnv::daemonPath(), copy));
        QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                        QFile::ReadOther | QFile::ExeOther);

        ProcessSpec spec = daemonSpec();
        spec.program = QStringLiteral("runuser");
        spec.arguments = {QStringLiteral("-u"), QStringLiteral("nobody"), QStringLiteral("--"),
                          copy};
        const ProcessResult result = ProcessRunner::run(spec);
        QVERIFY2(result.started, qPrintable(result.errorString));
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.errorText().contains(QStringLiteral("Please run as root")),
                 qPrintable(result.errorText()));
    }

    void versionOptionPrintsTheVersion()
    {
        const ProcessResult result = ProcessRunner::run(daemonSpec({QStringLiteral("--version")}));
        QVERIFY2(result.succeeded(), qPrintable(result.errorText()));
        QCOMPARE(result.outputText().trimmed(), QStringLiteral("tarnwick-daemon 8.0.7.0007"));
        QVERIFY(!daemonOnBus());
    }

    void ownsItsNameAndRefusesASecondInstance()
    {
        // A full start rebuilds the daemon's state, cache and log folders.
        SystemFileGuard guard({QStringLiteral("/var/lib/tarnwick-daemon"),
                               QStringLiteral("/var/cache/velkor"),
                               QStringLiteral("/var/log/velkor")});
        QVERIFY2(guard.isValid(), qPrintable(guard.errorString()));
        ProcessRunner daemon;
        QStringList lines;
        QVERIFY2(startDaemon(daemon, lines), qPrintable(lines.join(u'\n')));

        ProcessSpec introspect = daemonSpec();
        introspect.program = QStringLiteral("gdbus");
        introspect.arguments = {
            QStringLiteral("introspect"),    QStringLiteral("--system"),
            QStringLiteral("--dest"),        QStringLiteral("com.tarnwick.daemon"),
            QStringLiteral("--object-path"), QStringLiteral("/appstore")};
        const ProcessResult shown = ProcessRunner::run(introspect);
        QVERIFY2(shown.succeeded(), qPrintable(shown.errorText()));
        QVERIFY(
            shown.outputText().contains(QStringLiteral("interface com.tarnwick.daemon.interface")));
        QVERIFY(shown.outputText().contains(QStringLiteral("readonly s Version")));

        QDBusInterface appstore(QStringLiteral("com.tarnwick.daemon"), QStringLiteral("/appstore"),
                                QStringLiteral("com.tarnwick.daemon.interface"),
                                QDBusConnection::systemBus());
        QCOMPARE(appstore.property("Version").toString(), QStringLiteral("8.0.7.0007"));

        // What the running daemon is in the middle of: an install it has
        // under way, and an archive that a cleaning would take for done, since
        // the second start's dpkg has the package at that version.
        AppstoreDbTestFile db(QStringLiteral("/var/lib/tarnwick-daemon/appstore.db"));
        QVERIFY(db.exec(QStringLiteral("INSERT INTO application_history (packageName, version, "
                                       "operation) VALUES ('twk-test-running', '1.0', '6')")));
        LocalAptRepository repository;
        LocalAptRepository::PackageOptions plain;
        plain.desktopApplication = false;
        QVERIFY2(
            repository.addPackage(QStringLiteral("twk-test-running"), QStringLiteral("1.0"), plain),
            qPrintable(repository.errorString()));
        const QString archive = QStringLiteral(
            "/var/cache/velkor/tarnwick-daemon/archives/twk-test-running_1.0_all.deb");
        QVERIFY(QFile::copy(
            repository.debPath(QStringLiteral("twk-test-running"), QStringLiteral("1.0")),
            archive));
        DpkgAdminDir dpkg;
        QVERIFY(dpkg.write(QStringLiteral("twk-test-running"), QStringLiteral("1.0")));
        dpkg.activate();
        const QStringList logsBefore = logFiles();
        QVERIFY(logsBefore.contains(QStringLiteral("tarnwick-daemon.log")));

        const ProcessResult second = ProcessRunner::run(daemonSpec());
        QCOMPARE(second.exitCode, 3);
        QVERIFY2(second.errorText().contains(QStringLiteral("Error:")),
                 qPrintable(second.errorText()));
        QVERIFY(daemon.isRunning());
        QCOMPARE(db.value(QStringLiteral("SELECT operation FROM application_history WHERE "
                                         "packageName = 'twk-test-running'")),
                 QStringLiteral("6"));
        QVERIFY(QFile::exists(archive));
        QCOMPARE(logFiles(), logsBefore);

        stopDaemon(daemon);
    }

    void followsLogRulesWhileRunning()
    {
        SystemFileGuard guard({QStringLiteral("/var/lib/tarnwick-daemon"),
                               QStringLiteral("/var/cache/velkor"),
                               QStringLiteral("/var/log/velkor")});
        QVERIFY2(guard.isValid(), qPrintable(guard.errorString()));
        // The rules in force from the start, as the daemon's first line needs.
        const QString category = QStringLiteral("com.velkor.app-store.system-daemon");
        QVERIFY(writeLogRules(category + QStringLiteral(".debug=false")));
        ProcessRunner daemon;
        QStringList lines;
        QVERIFY2(startDaemon(daemon, lines), qPrintable(lines.join(u'\n')));
        const auto logged = [&lines](const QString &text) { return !lines.filter(text).isEmpty(); };
        QVERIFY(!logged(QStringLiteral("[Debug] [") + category));

        // Each change's own debug line shows only while the rules leave debug on.
        QVERIFY(writeLogRules(category + QStringLiteral(".debug=true")));
        QVERIFY2(TestEnv::waitFor([&] { return logged(QStringLiteral(".debug=true")); }, 10000),
                 qPrintable(lines.join(u'\n')));
        QVERIFY(writeLogRules(category + QStringLiteral(".debug=false;twk.test.debug=true")));
        QTest::qWait(1000);
        QVERIFY(writeLogRules(category + QStringLiteral(".debug=true;twk.test.debug=false")));
        QVERIFY2(
            TestEnv::waitFor([&] { return logged(QStringLiteral("twk.test.debug=false")); }, 10000),
            qPrintable(lines.join(u'\n')));
        QVERIFY(!logged(QStringLiteral("twk.test.debug=true")));

        stopDaemon(daemon);
    }

    // Once online, the daemon makes the machine known to the store, trusting
    // the CA it is given, and remembers that it did.
    void reportsTheHardwareOnce()
    {
        SystemFileGuard guard(
            {QStringLiteral("/var/lib/tarnwick-daemon"), QStringLiteral("/var/cache/velkor"),
             QStringLiteral("/var/log/velkor"), QStringLiteral("/etc/velkor/velkor-app-store")});
        QVERIFY2(guard.isValid(), qPrintable(guard.errorString()));
        LocalHttpsServer store;
        QVERIFY2(store.start(), qPrintable(store.errorString()));
        const QString query =
            QStringLiteral("/store-dist-app/getAppBriefInfo?package_names=velkor-app-store");
        QVERIFY(store.setRoute(query, {200, "{\"status\":200,\"datas\":[]}", 0, false}));
        QVERIFY(TestEnv::writeFile(
            QStringLiteral("/etc/velkor/velkor-app-store/appstore-serveice-0618.conf"),
            StoreTestSetup::baseUrl(store).toUtf8() + '\n'));
        ServerProcess networkManager;
        QVERIFY(networkManager.start(qEnvironmentVariable("TWK_NM_STANDIN"), {QStringLiteral("70")},
                                     m_bus.environment()));

        ProcessRunner daemon;
        QStringList lines;
        connect(&daemon, &ProcessRunner::standardErrorLine, &daemon,
                [&lines](const QString &line) { lines.append(line); });
        ProcessSpec spec = daemonSpec();
        spec.environment << QStringLiteral("TARNWICK_EXTRA_CA_FILE=") + store.caCertificatePath();
        spec.timeoutMs = 120000;
        QVERIFY(daemon.start(spec) && TestEnv::waitFor(daemonOnBus, 15000));
        const auto marked = [] {
            AppstoreDbTestFile db(QStringLiteral("/var/lib/tarnwick-daemon/appstore.db"));
            return db.value(QStringLiteral("SELECT value FROM key_value_info WHERE key = ?"),
                            {QStringLiteral("upload_hardware")}) == QLatin1String("yes");
        };
        QVERIFY2(TestEnv::waitFor(marked, 40000), qPrintable(lines.join(u'\n')));
        // The start-up check of the store client asks the same, right after
        // its upgrade-information query.
        int asked = 0;
        int clientChecks = 0;
        for (const LocalHttpsServer::Request &request : store.requestLog()) {
            asked += request.path == query;
            clientChecks +=
                request.path.startsWith(QLatin1String("/store-dist-app/appUpgradeInfos"));
        }
        QCOMPARE(asked, 1 + clientChecks);
        stopDaemon(daemon);
    }
};

QTEST_GUILESS_MAIN(TestDaemonFrame)
#include "tst_daemon_frame.moc"
