#include "daemon_under_test.h"
#include "local_apt_repository.h"
#include "private_system_bus.h"
#include "system_file_guard.h"
#include "test_env.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QString kPackage = QStringLiteral("twk-test-hooked");
const QString kDpkgConfig = QStringLiteral("/etc/dpkg/dpkg.cfg.d/twk-test-status-logger");

// The hook's report of a package, as a shell command: sent without waiting
// for an answer, the sender gone at once, as a hook naturally does.
QString hookReport(const QString &busAddress, const QString &name, const QString &version,
                   const QString &operation)
{
    return QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS='%1' dbus-send --system --type=method_call "
                          "--dest=com.tarnwick.daemon /appstore "
                          "com.tarnwick.daemon.interface.SlotPackageOperationFromHook "
                          "string:%2 string:%3 string:%4 >/dev/null 2>&1 || true")
        .arg(busAddress, name, version, operation);
}

// What the platform's dpkg hook does, in small: dpkg's status lines become
// "install" or "remove" calls of the daemon, once per package and state, made
// as root. Whatever happens, dpkg goes on.
QByteArray statusLogger(const QString &busAddress)
{
    return QStringLiteral(
               "#!/bin/sh\n"
               "# dpkg may start the logger more than once in one run.\n"
               "seen=\"$0.last\"\n"
               "while read -r kind name state; do\n"
               "    [ \"$kind\" = status: ] || continue\n"
               "    name=${name%%:}\n"
               "    case $state in\n"
               "    installed) operation=install ;;\n"
               "    not-installed|config-files) operation=remove ;;\n"
               "    *) continue ;;\n"
               "    esac\n"
               "    [ \"$(cat \"$seen\" 2>/dev/null)\" = \"$name $operation\" ] && continue\n"
               "    echo \"$name $operation\" > \"$seen\"\n"
               "    version=$(dpkg-query -W -f='${Version}' \"$name\" 2>/dev/null)\n"
               "    %1\n"
               "done\n"
               "exit 0\n")
        .arg(hookReport(busAddress, QStringLiteral("\"$name\""),
                        QStringLiteral("\"${version:-0}\""), QStringLiteral("\"$operation\"")))
        .toUtf8();
}

} // namespace

// Packages installed and removed with plain dpkg, outside the store, are
// announced on the bus through the dpkg hook's call.
class TestBusDpkgHook : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_guard = std::make_unique<SystemFileGuard>(DaemonUnderTest::statePaths() +
                                                    QStringList{kDpkgConfig});
        QVERIFY2(m_guard->isValid(), qPrintable(m_guard->errorString()));
        QVERIFY2(m_repository.addPackage(kPackage, QStringLiteral("1.0")) && m_repository.publish(),
                 qPrintable(m_repository.errorString()));
        QVERIFY2(!m_bus.start().isEmpty(), qPrintable(m_bus.errorString()));
        m_daemon = std::make_unique<DaemonUnderTest>(m_bus);
        QVERIFY2(m_daemon->start(true), qPrintable(m_daemon->logLines().join(u'\n')));

        const QString logger = m_dir.filePath(QStringLiteral("status-logger"));
        QVERIFY(TestEnv::writeFile(logger, statusLogger(m_bus.address())));
        QVERIFY(QFile::setPermissions(logger, QFile::ReadOwner | QFile::ExeOwner));
        QVERIFY(TestEnv::writeFile(kDpkgConfig,
                                   QStringLiteral("status-logger=%1\n").arg(logger).toUtf8()));
    }

    void cleanupTestCase()
    {
        QFile::remove(kDpkgConfig);
        TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("--purge"), kPackage});
        if (m_daemon)
            QVERIFY(m_daemon->stop());
        m_guard.reset();
    }

    void installAndRemovalAreAnnounced()
    {
        QDBusInterface appstore(QStringLiteral("com.tarnwick.daemon"), QStringLiteral("/appstore"),
                                QStringLiteral("com.tarnwick.daemon.interface"),
                                QDBusConnection::systemBus());
        QSignalSpy installed(&appstore, SIGNAL(sigInstallPackageFromHook(QString, QString, QString,
                                                                         QStringList, QString)));
        QSignalSpy removed(&appstore, SIGNAL(sigRemovePackageFromHook(QString)));

        QVERIFY(TestEnv::runTool(
                    QStringLiteral("dpkg"),
                    {QStringLiteral("-i"), m_repository.debPath(kPackage, QStringLiteral("1.0"))})
                    .succeeded());
        QVERIFY2(
            installed.wait(30000) || !installed.isEmpty(),
            qPrintable(m_daemon->logLines().mid(m_daemon->logLines().size() - 40).join(u'\n')));
        QCOMPARE(installed.first().at(0).toString(), kPackage);
        QCOMPARE(installed.first().at(1).toString(), QStringLiteral("1.0"));
        QVERIFY(installed.first().at(3).toStringList().join(u' ').contains(kPackage));

        QVERIFY(
            TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("-r"), kPackage}).succeeded());
        QVERIFY(removed.wait(30000) || !removed.isEmpty());
        QCOMPARE(removed.first().at(0).toString(), kPackage);
        // One announcement, though dpkg reports "installed" more than once.
        QVERIFY2(m_daemon->countLines(QStringLiteral("emit sigInstallPackageFromHook")) == 1,
                 qPrintable(m_daemon->logLines().filter(QStringLiteral("Hook")).join(u'\n')));
    }

    // Reports whose sender left before the daemon could ask who it was are
    // worked all the same.
    void everyReportOfASenderGoneIsWorked()
    {
        QDBusInterface appstore(QStringLiteral("com.tarnwick.daemon"), QStringLiteral("/appstore"),
                                QStringLiteral("com.tarnwick.daemon.interface"),
                                QDBusConnection::systemBus());
        QSignalSpy removed(&appstore, SIGNAL(sigRemovePackageFromHook(QString)));
        constexpr int kReports = 40;
        for (int i = 0; i < kReports; ++i)
            QVERIFY(TestEnv::runTool(
                        QStringLiteral("sh"),
                        {QStringLiteral("-c"),
                         hookReport(m_bus.address(), QStringLiteral("twk-test-gone%1").arg(i),
                                    QStringLiteral("1.0"), QStringLiteral("remove"))})
                        .succeeded());
        QVERIFY(TestEnv::waitFor([&removed] { return removed.size() >= kReports; }, 30000));
        QCOMPARE(removed.size(), kReports);
    }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<SystemFileGuard> m_guard;
    LocalAptRepository m_repository;
    PrivateSystemBus m_bus;
    std::unique_ptr<DaemonUnderTest> m_daemon;
};

QTEST_GUILESS_MAIN(TestBusDpkgHook)
#include "tst_bus_dpkg_hook.moc"
