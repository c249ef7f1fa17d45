#include "private_system_bus.h"
#include "system_file_guard.h"
#include "test_env.h"
#include "utils/process_runner.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QFile>
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

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(QFile::exists(TestEnv::daemonPath()));
        QVERIFY(m_home.isValid());
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
        ProcessSpec spec = daemonSpec();
        spec.timeoutMs = 120000;
        QVERIFY(daemon.start(spec));
        QVERIFY2(TestEnv::waitFor(daemonOnBus, 15000), qPrintable(daemon.pendingStandardError()));

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

        const ProcessResult second = ProcessRunner::run(daemonSpec());
        QCOMPARE(second.exitCode, 3);
        QVERIFY2(second.errorText().contains(QStringLiteral("Error:")),
                 qPrintable(second.errorText()));
        QVERIFY(daemon.isRunning());

        daemon.kill();
        daemon.waitForFinished();
        QVERIFY(TestEnv::waitFor([] { return !daemonOnBus(); }, 10000));
    }
};

QTEST_GUILESS_MAIN(TestDaemonFrame)
#include "tst_daemon_frame.moc"
