#include "database/appstoredb.h"
#include "database/cachedatabase.h"
#include "dpkg_listing.h"
#include "engine_test_setup.h"
#include "task/apt_install_manager.h"
#include "test_env.h"
#include "utils/process_runner.h"
#include "utils/utils.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QPair>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

using AppStore::Utils;

namespace {

const QString kUser = QStringLiteral("twk-tester");
const QString kAlone = QStringLiteral("twk-test-crash-alone");
const QString kGroup = QStringLiteral("twk-test-crash-group");
const QString kInstalled = QStringLiteral("install ok installed");
// Long enough that a kill lands inside it, and that a dpkg left running
// would still hold its lock well after a group kill.
constexpr int kPostinstSleepSeconds = 30;

// Holding dpkg's front-end lock keeps a new apt-get or dpkg from starting
// while dpkg's own lock is probed.
bool takeLock(const char *path, int &fd)
{
    fd = ::open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return ::fcntl(fd, F_SETLK, &lock) == 0;
}

bool dpkgLocksFree()
{
    int frontend = -1;
    int dpkg = -1;
    const bool free =
        takeLock("/var/lib/dpkg/lock-frontend", frontend) && takeLock("/var/lib/dpkg/lock", dpkg);
    // Closing the files drops the locks.
    for (const int fd : {dpkg, frontend})
        if (fd >= 0)
            ::close(fd);
    return free;
}

QStringList historyRow(const QString &package)
{
    return EngineTestSetup::historyRow(
        package,
        {QStringLiteral("operation"), QStringLiteral("result"), QStringLiteral("appSize")});
}

// Parent and process group of every process.
QMap<qint64, QPair<qint64, qint64>> processTable()
{
    QMap<qint64, QPair<qint64, qint64>> table;
    for (const qint64 pid : TestEnv::processIds()) {
        const qint64 parent = Utils::parentProcessId(pid);
        const pid_t group = ::getpgid(pid_t(pid));
        if (parent >= 0 && group >= 0)
            table.insert(pid, {parent, group});
    }
    return table;
}

// The process groups of root's descendants: apt-get runs dpkg in a session
// of its own, which a kill of the daemon's group alone would leave running.
QSet<qint64> descendantGroups(qint64 root)
{
    const auto table = processTable();
    QSet<qint64> tree{root};
    QSet<qint64> groups;
    for (bool grown = true; grown;) {
        grown = false;
        for (auto it = table.cbegin(); it != table.cend(); ++it) {
            if (!tree.contains(it.key()) && tree.contains(it.value().first)) {
                tree.insert(it.key());
                groups.insert(it.value().second);
                grown = true;
            }
        }
    }
    return groups;
}

bool anyRowInstalling()
{
    QList<QStringList> columns;
    AppstoreDb::instance()->seleteRecords({QStringLiteral("packageName")},
                                          {{QStringLiteral("operation"), QStringLiteral("6")}},
                                          columns, QStringLiteral("application_history"));
    return !columns.value(0).isEmpty();
}

} // namespace

// A process running the manager is killed in the middle of an install, as a
// crash of the daemon would end it; a fresh manager on the same databases
// then has to settle the history row so that it agrees with dpkg.
class TestEngineCrashRecovery : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();
    void killedMidInstall_data();
    void killedMidInstall();
    void stoppedMidInstall();

private:
    QString armPath() const { return m_marks.filePath(QStringLiteral("arm")); }
    QString runningPath(const QString &package) const { return m_marks.filePath(package); }
    void tidyDpkg();
    void startDriverUntilInstalling(const QString &package, bool wholeGroup,
                                    AppStore::ProcessRunner &driver, QStringList &lines);

    QTemporaryDir m_marks;
    EngineTestSetup m_setup;
};

void TestEngineCrashRecovery::initTestCase()
{
    QVERIFY(m_marks.isValid());
    QVERIFY(QFile::exists(qEnvironmentVariable("TWK_CRASH_DRIVER")));
    for (const QString &name : {kAlone, kGroup}) {
        // Sleeps only while armed, so that the repair after the kill is quick.
        LocalAptRepository::PackageOptions options;
        options.postinst = QStringLiteral("#!/bin/sh\nif [ -e '") + armPath() +
                           QStringLiteral("' ]; then\n    touch '") + runningPath(name) +
                           QStringLiteral("'\n    sleep ") +
                           QString::number(kPostinstSleepSeconds) + QStringLiteral("\n    echo '") +
                           name + QStringLiteral(" postinst: done'\nfi\nexit 0\n");
        QVERIFY2(m_setup.repository().addPackage(name, QStringLiteral("1.0"), options),
                 qPrintable(m_setup.repository().errorString()));
    }
    QVERIFY2(m_setup.start(qEnvironmentVariable("TWK_CHILDRENGUARD_STANDIN"),
                           {kUser + QStringLiteral("=2")}, 0),
             qPrintable(m_setup.errorString()));
}

void TestEngineCrashRecovery::cleanupTestCase()
{
    tidyDpkg();
    CacheDatabase::instance()->stop();
}

void TestEngineCrashRecovery::cleanup()
{
    tidyDpkg();
}

// Leaves dpkg consistent whatever the kill left behind.
void TestEngineCrashRecovery::tidyDpkg()
{
    QFile::remove(armPath());
    QVERIFY2(TestEnv::waitFor(dpkgLocksFree, 120000), "dpkg's lock is still held");
    QVERIFY(TestEnv::runTool(QStringLiteral("dpkg"),
                             {QStringLiteral("--configure"), QStringLiteral("-a")})
                .succeeded());
    QVERIFY(TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("--purge"), kAlone, kGroup})
                .succeeded());
    QVERIFY(DpkgListing::field(kAlone, QStringLiteral("Status")) != kInstalled &&
            DpkgListing::field(kGroup, QStringLiteral("Status")) != kInstalled);
}

void TestEngineCrashRecovery::killedMidInstall_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<bool>("wholeGroup");
    // apt-get and dpkg live on as orphans and finish or fail on their own.
    QTest::newRow("driver alone") << kAlone << false;
    // apt-get, dpkg and the maintainer script die with the driver.
    QTest::newRow("whole process group") << kGroup << true;
}

// Returns once the driver's install has reached the slow maintainer script.
void TestEngineCrashRecovery::startDriverUntilInstalling(const QString &package, bool wholeGroup,
                                                         AppStore::ProcessRunner &driver,
                                                         QStringList &lines)
{
    QVERIFY(TestEnv::writeFile(armPath(), QByteArray()));

    const QString stateDir = Utils::stateDir();
    // The fixture keeps the system apt folder beside the state folder.
    const QString aptEtcDir = QDir::cleanPath(stateDir + QStringLiteral("/../etc-apt"));
    const QStringList driverArguments{AppstoreDb::databasePath(),
                                      CacheDatabase::databasePath(),
                                      stateDir,
                                      aptEtcDir,
                                      Utils::cacheDir(),
                                      package,
                                      kUser};
    AppStore::ProcessSpec spec;
    // Not a group leader when started, setsid makes the driver one in place.
    spec.program = wholeGroup ? QStringLiteral("setsid") : qEnvironmentVariable("TWK_CRASH_DRIVER");
    spec.arguments = driverArguments;
    if (wholeGroup)
        spec.arguments.prepend(qEnvironmentVariable("TWK_CRASH_DRIVER"));
    spec.timeoutMs = 600000;
    connect(&driver, &AppStore::ProcessRunner::standardOutputLine, this,
            [&lines](const QString &line) { lines.append(line); });
    QVERIFY(driver.start(spec));

    const qint64 pid = driver.processId();
    QVERIFY(TestEnv::waitFor([&] { return !lines.isEmpty(); }, 30000));
    QCOMPARE(lines.first(),
             QStringLiteral("pid %1 pgid %2").arg(pid).arg(wholeGroup ? pid : ::getpgrp()));
    QVERIFY2(TestEnv::waitFor(
                 [&] {
                     return lines.contains(QStringLiteral("installing")) &&
                            QFile::exists(runningPath(package));
                 },
                 240000),
             qPrintable(lines.join(QLatin1Char('\n'))));
    QVERIFY(!lines.contains(QStringLiteral("finished")));
}

void TestEngineCrashRecovery::killedMidInstall()
{
    QFETCH(QString, package);
    QFETCH(bool, wholeGroup);
    QStringList lines;
    AppStore::ProcessRunner driver;
    startDriverUntilInstalling(package, wholeGroup, driver, lines);
    if (QTest::currentTestFailed())
        return;
    const qint64 pid = driver.processId();

    if (wholeGroup) {
        // As the service manager ends a crashed daemon: everything it started
        // goes with it, dpkg and the maintainer script included.
        QSet<qint64> groups = descendantGroups(pid);
        groups.insert(pid);
        groups.remove(::getpgrp());
        // A short-lived helper's group may be gone already.
        for (const qint64 group : std::as_const(groups))
            QVERIFY(group > 1 && (::kill(pid_t(-group), SIGKILL) == 0 || errno == ESRCH));
    } else {
        QCOMPARE(::kill(pid_t(pid), SIGKILL), 0);
    }
    QVERIFY(driver.waitForFinished().crashed);
    QElapsedTimer sinceKill;
    sinceKill.start();
    QVERIFY2(TestEnv::waitFor(dpkgLocksFree, (kPostinstSleepSeconds + 60) * 1000),
             "dpkg's lock is still held");
    // Far sooner than the maintainer script's sleep: nothing of the group lived on.
    if (wholeGroup)
        QVERIFY2(sinceKill.elapsed() < kPostinstSleepSeconds * 1000 / 3,
                 qPrintable(QString::number(sinceKill.elapsed())));
    QCOMPARE(historyRow(package).value(0), QStringLiteral("6"));

    auto *manager = new AptInstallManager;
    manager->syncLastInstallingTaskToPauseImply();
    manager->stopThread();
    delete manager;

    const QString status = DpkgListing::field(package, QStringLiteral("Status"));
    const QStringList history = historyRow(package);
    qInfo() << package << "left as" << status << "history" << history;
    if (wholeGroup)
        QVERIFY2(status != kInstalled, qPrintable(status));
    if (status == kInstalled) {
        const QString size = DpkgListing::field(package, QStringLiteral("Installed-Size"));
        QCOMPARE(history, (QStringList{QStringLiteral("1"), history.value(1),
                                       QString::number(size.toLongLong())}));
    } else {
        QCOMPARE(history.mid(0, 2), (QStringList{QStringLiteral("7"), QStringLiteral("0")}));
    }
    QVERIFY(!anyRowInstalling());
}

// As the service manager stops the daemon with KillMode=mixed: SIGTERM to the
// driver alone, in the middle of the maintainer script. The install runs to
// its end and is recorded before the driver exits.
void TestEngineCrashRecovery::stoppedMidInstall()
{
    QStringList lines;
    AppStore::ProcessRunner driver;
    startDriverUntilInstalling(kAlone, false, driver, lines);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(::kill(pid_t(driver.processId()), SIGTERM), 0);
    const AppStore::ProcessResult result = driver.waitForFinished();
    QVERIFY2(result.succeeded(), qPrintable(lines.join(QLatin1Char('\n'))));
    QCOMPARE(lines.mid(lines.size() - 2), (QStringList{"finished", "stopped"}));

    QCOMPARE(DpkgListing::field(kAlone, QStringLiteral("Status")), kInstalled);
    QCOMPARE(historyRow(kAlone).mid(0, 2), (QStringList{"1", "1"}));
}

QTEST_GUILESS_MAIN(TestEngineCrashRecovery)
#include "tst_engine_crash_recovery.moc"
