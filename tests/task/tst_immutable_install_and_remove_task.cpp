#include "common/apt_task.h"
#include "common/operation_codes.h"
#include "database/appstoredb.h"
#include "dpkg_admin_dir.h"
#include "engine_test_setup.h"
#include "local_apt_repository.h"
#include "task/immutableinstallandremovetask.h"
#include "test_env.h"
#include "test_user.h"
#include "utils/utils.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <memory>

namespace {

const QString kPackage = QStringLiteral("twk-test-hello");
const QString kNoApplication = QStringLiteral("twk-test-plain");
// Installed at 1.0; the index has 2.0 marked Protected.
const QString kFlagged = QStringLiteral("twk-test-flagged");

QString dpkgStatus(const QString &package)
{
    return TestEnv::runTool(
               QStringLiteral("dpkg-query"),
               {QStringLiteral("-W"), QStringLiteral("-f=${db:Status-Status}"), package})
        .outputText()
        .trimmed();
}

Apt_Task makeTask(const QString &package, const QString &version, int taskType)
{
    Apt_Task task;
    task.taskType = taskType;
    task.sourceId = QStringLiteral("velkor-app-store");
    task.packageName = package;
    task.version = version;
    task.loginName = QStringLiteral("twk-nobody");
    return task;
}

// What one task signalled, collected on the test's thread.
struct Recording
{
    QList<bool> installResults;
    QList<int> installCodes;
    QList<bool> firstInstalls;
    QList<bool> purgeResults;
    QStringList startedPurges;
    QStringList operations;
    QStringList outputs;
};

} // namespace

// The task runs alone in a one-thread pool against a loopback repository that
// the test's APT_CONFIG names, as the system's own configuration would on an
// immutable system.
class TestImmutableInstallAndRemoveTask : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void installThenPurge_data();
    void installThenPurge();
    void failedInstallReportsFailure();
    void purgeOfNoApplicationRefused();
    void refusedPurgeKeepsShortcuts();
    void commandLineAndRefusals_data();
    void commandLineAndRefusals();

private:
    bool runTask(const Apt_Task &task, Recording &recording);

    QTemporaryDir m_dir;
    LocalAptRepository m_repository;
    QThreadPool m_pool;
};

void TestImmutableInstallAndRemoveTask::initTestCase()
{
    QVERIFY(m_dir.isValid());
    registerAptTaskMetaType();
    qRegisterMetaType<AppStore::DownloadStatusCode>("AppStore::DownloadStatusCode");
    m_pool.setMaxThreadCount(1);

    QVERIFY2(m_repository.addPackage(kPackage, QStringLiteral("1.0")),
             qPrintable(m_repository.errorString()));
    LocalAptRepository::PackageOptions plain;
    plain.desktopApplication = false;
    QVERIFY(m_repository.addPackage(kNoApplication, QStringLiteral("1.0"), plain));
    LocalAptRepository::PackageOptions flagged;
    flagged.controlFields.insert(QStringLiteral("Protected"), QStringLiteral("yes"));
    QVERIFY(m_repository.addPackage(kFlagged, QStringLiteral("1.0")) &&
            m_repository.addPackage(kFlagged, QStringLiteral("2.0"), flagged));
    QVERIFY2(m_repository.publish(), qPrintable(m_repository.errorString()));
    // Inherited by the task's apt-get.
    for (const QString &entry : m_repository.environment())
        qputenv(entry.section(u'=', 0, 0).toUtf8(), entry.section(u'=', 1).toUtf8());
    const auto update = TestEnv::runTool(QStringLiteral("apt-get"), {QStringLiteral("update")});
    QVERIFY2(update.succeeded(), qPrintable(update.errorText()));

    AppStore::AptSources::setRoots(m_dir.filePath(QStringLiteral("state/")),
                                   m_dir.filePath(QStringLiteral("etc-apt")),
                                   m_dir.filePath(QStringLiteral("cache/")));
    AppstoreDb::setDatabasePath(m_dir.filePath(QStringLiteral("appstore.db")));
}

bool TestImmutableInstallAndRemoveTask::runTask(const Apt_Task &task, Recording &recording)
{
    auto runnable = std::make_unique<ImmutableInstallAndRemoveTask>(task);
    ImmutableInstallAndRemoveTask *raw = runnable.get();
    connect(raw, &ImmutableInstallAndRemoveTask::sigInstallTaskFinished, this,
            [&recording](const Apt_Task &ended, bool ok, AppStore::DownloadStatusCode code) {
                recording.installResults.append(ok);
                recording.installCodes.append(code);
                recording.firstInstalls.append(ended.isFirstInstall);
            });
    connect(raw, &ImmutableInstallAndRemoveTask::sigPurgeTaskFinished, this,
            [&recording](const Apt_Task &, bool ok) { recording.purgeResults.append(ok); });
    connect(raw, &ImmutableInstallAndRemoveTask::sigStartPurge, this,
            [&recording](const QString &, const QString &package) {
                recording.startedPurges.append(package);
            });
    connect(raw, &ImmutableInstallAndRemoveTask::sigAptOperationDataChange, this,
            [&recording](const Apt_Task &, const QString &operation) {
                recording.operations.append(operation);
            });
    connect(raw, &ImmutableInstallAndRemoveTask::sigAptOutputRead, this,
            [&recording](const QString &, const QString &, const QString &output) {
                recording.outputs.append(output);
            });
    m_pool.start(raw);
    const bool ended = m_pool.waitForDone(240000);
    QCoreApplication::processEvents();
    if (!ended)
        (void)runnable.release(); // still running: the pool must not meet a freed task
    return ended;
}

// A silent purge removes the package with no start, no end and no row.
void TestImmutableInstallAndRemoveTask::installThenPurge_data()
{
    QTest::addColumn<bool>("silent");
    QTest::newRow("store") << false;
    QTest::newRow("silent") << true;
}

void TestImmutableInstallAndRemoveTask::installThenPurge()
{
    QFETCH(bool, silent);
    Apt_Task removal = makeTask(kPackage, QString(), 1);
    if (silent)
        removal.sourceId = QStringLiteral("SilentPurge");
    const QStringList started = silent ? QStringList() : QStringList{kPackage};
    const QList<bool> ended = silent ? QList<bool>() : QList<bool>{true};
    const QStringList removed{silent ? OPERATION_INSTALL : OPERATION_PURGE};
    Recording install;
    QVERIFY(runTask(makeTask(kPackage, QStringLiteral("1.0"), 0), install));
    QCOMPARE(install.installResults, QList<bool>{true});
    QCOMPARE(install.installCodes, QList<int>{AppStore::NoStatusCode});
    QCOMPARE(install.firstInstalls, QList<bool>{true});
    QVERIFY(std::any_of(install.outputs.cbegin(), install.outputs.cend(), [](const QString &out) {
        return out.contains(QStringLiteral("Setting up twk-test-hello"));
    }));
    QCOMPARE(dpkgStatus(kPackage), QStringLiteral("installed"));

    ApplicationHistoryRow row;
    row.packageName = kPackage;
    row.version = QStringLiteral("1.0");
    row.operation = OPERATION_INSTALL;
    AppstoreDb::instance()->updateApplicationHistoryInfo(row);
    const QStringList operation{QStringLiteral("operation")};

    TestUser user;
    QVERIFY(user.create() && user.addShortcut(kPackage));
    removal.loginName = user.login;
    Recording purge;
    QVERIFY(runTask(removal, purge));
    QCOMPARE(purge.startedPurges, started);
    QCOMPARE(purge.operations, QStringList{QStringLiteral("purging")});
    QCOMPARE(purge.purgeResults, ended);
    QVERIFY(purge.outputs.isEmpty());
    QCOMPARE(EngineTestSetup::historyRow(kPackage, operation), removed);
    QVERIFY(dpkgStatus(kPackage) != QLatin1String("installed"));
    QVERIFY(!user.hasShortcut(kPackage));

    // Nothing to purge: done at once, without apt-get, and the row written.
    AppstoreDb::instance()->updateApplicationHistoryInfo(row);
    Recording again;
    QVERIFY(runTask(removal, again));
    QCOMPARE(again.purgeResults, ended);
    QVERIFY(again.operations.isEmpty());
    QCOMPARE(EngineTestSetup::historyRow(kPackage, operation), removed);
}

void TestImmutableInstallAndRemoveTask::failedInstallReportsFailure()
{
    Recording recording;
    QVERIFY(runTask(makeTask(kPackage, QStringLiteral("9.9"), 0), recording));
    QCOMPARE(recording.installResults, QList<bool>{false});
    QCOMPARE(recording.installCodes, QList<int>{AppStore::InstallFailed});
    QVERIFY(dpkgStatus(kPackage) != QLatin1String("installed"));
}

// Its simulation would let it go; only an application is the store's to remove.
void TestImmutableInstallAndRemoveTask::purgeOfNoApplicationRefused()
{
    const auto tidy = qScopeGuard([] {
        TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("--purge"), kNoApplication});
    });
    QVERIFY(TestEnv::runTool(QStringLiteral("dpkg"),
                             {QStringLiteral("-i"), m_repository.debPath(kNoApplication, "1.0")})
                .succeeded());
    Recording recording;
    QVERIFY(runTask(makeTask(kNoApplication, QString(), 1), recording));
    QCOMPARE(recording.purgeResults, QList<bool>{false});
    QVERIFY(recording.operations.isEmpty());
    QCOMPARE(dpkgStatus(kNoApplication), QStringLiteral("installed"));
}

// apt reads a package's flags from its repository's index too, which the
// listing does not see: apt refuses the purge it allowed, and the user's
// shortcut stays with the package.
void TestImmutableInstallAndRemoveTask::refusedPurgeKeepsShortcuts()
{
    const auto tidy = qScopeGuard([] {
        TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("--purge"), kFlagged});
    });
    QVERIFY(TestEnv::runTool(QStringLiteral("dpkg"),
                             {QStringLiteral("-i"), m_repository.debPath(kFlagged, "1.0")})
                .succeeded());
    TestUser user;
    QVERIFY(user.create() && user.addShortcut(kFlagged));
    Apt_Task task = makeTask(kFlagged, QString(), 1);
    task.loginName = user.login;
    Recording recording;
    QVERIFY(runTask(task, recording));
    QCOMPARE(recording.purgeResults, QList<bool>{false});
    QCOMPARE(dpkgStatus(kFlagged), QStringLiteral("installed"));
    QVERIFY(user.hasShortcut(kFlagged));
}

void TestImmutableInstallAndRemoveTask::commandLineAndRefusals_data()
{
    QTest::addColumn<int>("taskType");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("version");
    // apt-get's arguments one a line; empty when nothing may run.
    QTest::addColumn<QString>("arguments");
    QTest::newRow("install with version")
        << 0 << kPackage << QStringLiteral("1.0")
        << QStringLiteral(
               "-y\n-o\nDPkg::Lock::Timeout=1800\n-o\nDpkg::Options::=--force-confdef\n-o\n"
               "Dpkg::Options::=--force-confold\n-o\nAPT::Get::AutomaticRemove=false\n-o\n"
               "APT::Get::Remove=false\ninstall\n--\n"
               "twk-test-hello=1.0\n");
    QTest::newRow("install without version")
        << 0 << kPackage << QString()
        << QStringLiteral(
               "-y\n-o\nDPkg::Lock::Timeout=1800\n-o\nDpkg::Options::=--force-confdef\n-o\n"
               "Dpkg::Options::=--force-confold\n-o\nAPT::Get::AutomaticRemove=false\n-o\n"
               "APT::Get::Remove=false\ninstall\n--\n"
               "twk-test-hello\n");
    // Removed in one architecture, installed in another (in a private dpkg
    // database): present, so judged, and refused as no application.
    QTest::newRow("purge of a package in two architectures")
        << 1 << QStringLiteral("twk-test-multi") << QString() << QString();
    const QStringList hostile{QStringLiteral("x;touch owned"), QStringLiteral("$(id)"),
                              QStringLiteral("-oAPT::x")};
    for (const QString &text : hostile) {
        QTest::addRow("install name %s", qPrintable(text)) << 0 << text << QString() << QString();
        QTest::addRow("install version %s", qPrintable(text)) << 0 << kPackage << text << QString();
        QTest::addRow("purge name %s", qPrintable(text)) << 1 << text << QString() << QString();
    }
}

// A stand-in apt-get records its arguments and reads its input to the end:
// an input left open would hold it, and the task, for good.
void TestImmutableInstallAndRemoveTask::commandLineAndRefusals()
{
    QFETCH(int, taskType);
    QFETCH(QString, name);
    QFETCH(QString, version);
    QFETCH(QString, arguments);
    const QString bin = m_dir.filePath(QStringLiteral("fake-bin"));
    const QString record = m_dir.filePath(QStringLiteral("apt-get.args"));
    QFile::remove(record);
    QVERIFY(TestEnv::writeFile(
        bin + QStringLiteral("/apt-get"),
        "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"" + record.toUtf8() + "\"\ncat >/dev/null\n", true));
    const QByteArray path = qgetenv("PATH");
    const auto restore = qScopeGuard([&] { qputenv("PATH", path); });
    qputenv("PATH", bin.toUtf8() + ':' + path);
    DpkgAdminDir database;
    if (name == QLatin1String("twk-test-multi")) {
        QVERIFY(database.writeInstances(name, {QStringLiteral("amd64 deinstall ok config-files"),
                                               QStringLiteral("i386 install ok installed")}));
        database.activate();
    }

    Recording recording;
    QVERIFY(runTask(makeTask(name, version, taskType), recording));
    QCOMPARE(QString::fromUtf8(TestEnv::readFile(record)), arguments);
    QVERIFY(!QFile::exists(QDir::current().filePath(QStringLiteral("owned"))));
    if (taskType == 0) {
        const bool ok = !arguments.isEmpty();
        QCOMPARE(recording.installResults, QList<bool>{ok});
        QCOMPARE(recording.installCodes,
                 QList<int>{ok ? AppStore::NoStatusCode : AppStore::InstallFailed});
    } else {
        QCOMPARE(recording.purgeResults, QList<bool>{false});
        // Only the hostile names are refused before the purge starts.
        QCOMPARE(recording.startedPurges.isEmpty(), name != QLatin1String("twk-test-multi"));
    }
}

QTEST_GUILESS_MAIN(TestImmutableInstallAndRemoveTask)
#include "tst_immutable_install_and_remove_task.moc"
