#include "common/apt_task.h"
#include "database/appstoredb.h"
#include "engine_test_setup.h"
#include "local_apt_repository.h"
#include "system_file_guard.h"
#include "task/aptinstallandremovetask.h"
#include "test_env.h"
#include "utils/utils.h"

#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <memory>
#include <vector>

using AppStore::Utils;

namespace {

const QString kRefused = QStringLiteral("twk-test-refused");

// "<status> <version>" as dpkg records the package; empty when it knows none.
QString dpkgState(const QString &package)
{
    const auto result = TestEnv::runTool(
        QStringLiteral("dpkg-query"),
        {QStringLiteral("-W"), QStringLiteral("-f=${db:Status-Status} ${Version}"), package});
    const QString state = result.outputText().trimmed();
    return state.startsWith(QLatin1String("not-installed")) ? QString() : state;
}

Apt_Task makeTask(const QString &package, int taskType)
{
    Apt_Task task;
    task.taskType = taskType;
    task.sourceId = QStringLiteral("velkor-app-store");
    task.packageName = package;
    task.version = QStringLiteral("1.0");
    task.totalSize = 1000;
    task.uid = 0;
    task.loginName = QStringLiteral("twk-nobody");
    return task;
}

// What one task signalled, collected on the test's thread.
struct Recording
{
    QList<bool> installResults;
    QList<int> installCodes;
    QList<bool> purgeResults;
    QStringList operations;
    QStringList outputs;
    QList<qlonglong> progress;
    QStringList startedPurges;

    bool finished() const { return !installResults.isEmpty() || !purgeResults.isEmpty(); }
    bool outputContains(const QString &text) const
    {
        return std::any_of(outputs.cbegin(), outputs.cend(),
                           [&text](const QString &output) { return output.contains(text); });
    }
};

} // namespace

// The task runs alone in a one-thread pool, created on the test's thread as
// the install manager creates it, against a loopback repository reached
// through the daemon's own apt configuration in a temporary tree.
class TestAptInstallAndRemoveTask : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void installWithProgressThenPurge();
    void failedScriptLeavesDpkgConsistent_data();
    void failedScriptLeavesDpkgConsistent();
    void promptAnswerReachesTheScript();
    void failingPrermKeepsThePackage();
    void refusedUpgradeReportsItsCode_data();
    void refusedUpgradeReportsItsCode();

private:
    AptInstallAndRemoveTask *startTask(const Apt_Task &task, Recording &recording,
                                       int silenceMs = 300000);
    bool waitForEnd(Recording &recording);
    void updateIndex();

    QTemporaryDir m_dir;
    LocalAptRepository m_repository;
    std::unique_ptr<SystemFileGuard> m_guard;
    QThreadPool m_pool;
    // The pool does not delete them: they go once their runs have ended.
    std::vector<std::unique_ptr<AptInstallAndRemoveTask>> m_tasks;
};

void TestAptInstallAndRemoveTask::initTestCase()
{
    QVERIFY(m_dir.isValid());
    registerAptTaskMetaType();
    qRegisterMetaType<AppStore::DownloadStatusCode>("AppStore::DownloadStatusCode");
    m_pool.setMaxThreadCount(1);

    // apt records which packages were installed automatically there.
    m_guard = std::make_unique<SystemFileGuard>(
        QStringList{QStringLiteral("/var/lib/apt/extended_states")});
    QVERIFY2(m_guard->isValid(), qPrintable(m_guard->errorString()));

    QVERIFY2(m_repository.addStandardPackages(), qPrintable(m_repository.errorString()));
    QVERIFY(m_repository.addPackage(QStringLiteral("twk-test-upgrade"), QStringLiteral("1.0")));
    LocalAptRepository::PackageOptions failing;
    failing.desktopApplication = false;
    failing.postinst = QStringLiteral("#!/bin/sh\nexit 1\n");
    QVERIFY(m_repository.addPackage(QStringLiteral("twk-test-upgrade"), QStringLiteral("2.0"),
                                    failing));
    LocalAptRepository::PackageOptions stuck;
    stuck.desktopApplication = false;
    // Lets the forced purge of a tidy-up through.
    stuck.prerm = QStringLiteral("#!/bin/sh\ncase \"$DPKG_FORCE\" in *remove-reinstreq*) exit 0 ;; "
                                 "esac\necho 'twk-test-stuck prerm: failing on purpose' >&2\n"
                                 "exit 1\n");
    QVERIFY(
        m_repository.addPackage(QStringLiteral("twk-test-stuck"), QStringLiteral("1.0"), stuck));
    // Refused the way the signature hook refuses an archive: its unpack fails
    // with the hook's words in dpkg's output.
    LocalAptRepository::PackageOptions refused;
    refused.desktopApplication = false;
    QVERIFY(m_repository.addPackage(kRefused, QStringLiteral("1.0"), refused));
    refused.preinst = QStringLiteral("#!/bin/sh\ncase \"$1\" in install|upgrade)\n"
                                     "    echo 'error executing hook "
                                     "/usr/sbin/velkor-pkg-install-hook -e hc-verifysign'\n"
                                     "    exit 1 ;;\nesac\nexit 0\n");
    QVERIFY(m_repository.addPackage(kRefused, QStringLiteral("2.0"), refused));
    QVERIFY2(m_repository.publish(), qPrintable(m_repository.errorString()));

    const QString state = m_dir.filePath(QStringLiteral("state/"));
    const QString cache = m_dir.filePath(QStringLiteral("cache/"));
    AppStore::AptSources::setRoots(state, m_dir.filePath(QStringLiteral("etc-apt")), cache);
    AppstoreDb::setDatabasePath(m_dir.filePath(QStringLiteral("appstore.db")));
    QVERIFY(EngineTestSetup::writeSystemSources(m_dir.filePath(QStringLiteral("etc-apt")),
                                                m_repository.sourcesLine()));
    QVERIFY(Utils::updateSourceDir());
    QVERIFY(Utils::checkCustomCacheDir());
    const QString configError = EngineTestSetup::writeAptConfigs(state, cache);
    QVERIFY2(configError.isEmpty(), qPrintable(configError));
    updateIndex();
}

void TestAptInstallAndRemoveTask::cleanupTestCase()
{
    if (m_pool.waitForDone(60000))
        m_tasks.clear();
    if (m_guard)
        QVERIFY2(m_guard->restore(), qPrintable(m_guard->errorString()));
}

void TestAptInstallAndRemoveTask::updateIndex()
{
    const auto update = TestEnv::runTool(
        QStringLiteral("apt-get"),
        {QStringLiteral("-c"), Utils::aptConfigFilePath(), QStringLiteral("update")});
    QVERIFY2(update.succeeded(), qPrintable(update.errorText()));
}

AptInstallAndRemoveTask *TestAptInstallAndRemoveTask::startTask(const Apt_Task &task,
                                                                Recording &recording, int silenceMs)
{
    auto *runnable = new AptInstallAndRemoveTask(task);
    runnable->setPromptSilenceInterval(silenceMs);
    connect(runnable, &AptInstallAndRemoveTask::sigInstallTaskFinished, this,
            [&recording](const Apt_Task &, bool ok, AppStore::DownloadStatusCode code) {
                recording.installResults.append(ok);
                recording.installCodes.append(code);
            });
    connect(runnable, &AptInstallAndRemoveTask::sigPurgeTaskFinished, this,
            [&recording](const Apt_Task &, bool ok) { recording.purgeResults.append(ok); });
    connect(runnable, &AptInstallAndRemoveTask::sigAptOperationDataChange, this,
            [&recording](const Apt_Task &, const QString &operation) {
                recording.operations.append(operation);
            });
    connect(runnable, &AptInstallAndRemoveTask::sigAptOutputRead, this,
            [&recording](const QString &, const QString &, const QString &output) {
                recording.outputs.append(output);
            });
    connect(runnable, &AptInstallAndRemoveTask::sigInstallProgress, this,
            [&recording](const QString &, const QString &, qlonglong total, qlonglong current,
                         const QString &) {
                QCOMPARE(total, 1000);
                recording.progress.append(current);
            });
    connect(runnable, &AptInstallAndRemoveTask::sigStartPurge, this,
            [&recording](const QString &, const QString &package) {
                recording.startedPurges.append(package);
            });
    m_tasks.emplace_back(runnable);
    m_pool.start(runnable);
    return runnable;
}

bool TestAptInstallAndRemoveTask::waitForEnd(Recording &recording)
{
    const bool ended = m_pool.waitForDone(240000);
    QCoreApplication::processEvents();
    if (ended)
        m_tasks.clear();
    return ended && recording.finished();
}

void TestAptInstallAndRemoveTask::installWithProgressThenPurge()
{
    const QString package = QStringLiteral("twk-test-hello");
    Recording install;
    startTask(makeTask(package, 0), install);
    QVERIFY(waitForEnd(install));
    QCOMPARE(install.installResults, QList<bool>{true});
    QCOMPARE(install.installCodes, QList<int>{0});
    QCOMPARE(dpkgState(package), QStringLiteral("installed 1.0"));
    QVERIFY(install.outputContains(QStringLiteral("Setting up twk-test-hello")));
    // Progress climbs below the total and never goes back.
    QVERIFY(!install.progress.isEmpty());
    QVERIFY(std::is_sorted(install.progress.cbegin(), install.progress.cend()));
    QVERIFY(install.progress.constFirst() >= 0 && install.progress.constLast() < 1000);
    QVERIFY(std::any_of(install.progress.cbegin(), install.progress.cend(),
                        [](qlonglong value) { return value > 0; }));

    Recording purge;
    Apt_Task removal = makeTask(package, 1);
    removal.version.clear();
    startTask(removal, purge);
    QVERIFY(waitForEnd(purge));
    QCOMPARE(purge.startedPurges, QStringList{package});
    QCOMPARE(purge.operations, QStringList{QStringLiteral("purging")});
    QCOMPARE(purge.purgeResults, QList<bool>{true});
    QCOMPARE(dpkgState(package), QString());

    // Purging what is not installed succeeds without apt-get.
    Recording again;
    startTask(removal, again);
    QVERIFY(waitForEnd(again));
    QCOMPARE(again.purgeResults, QList<bool>{true});
    QVERIFY(again.operations.isEmpty());
}

void TestAptInstallAndRemoveTask::failedScriptLeavesDpkgConsistent_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("installedBefore");
    QTest::addColumn<QString>("stateAfter");
    // A first install is taken out again.
    QTest::newRow("first install")
        << QStringLiteral("twk-test-broken") << QStringLiteral("1.0") << QString() << QString();
    // An upgrade is not purged: the user keeps the package and its files.
    QTest::newRow("upgrade") << QStringLiteral("twk-test-upgrade") << QStringLiteral("2.0")
                             << QStringLiteral("1.0") << QStringLiteral("half-configured 2.0");
}

void TestAptInstallAndRemoveTask::failedScriptLeavesDpkgConsistent()
{
    QFETCH(QString, package);
    QFETCH(QString, version);
    QFETCH(QString, installedBefore);
    QFETCH(QString, stateAfter);
    if (!installedBefore.isEmpty()) {
        const auto install =
            TestEnv::runTool(QStringLiteral("dpkg"),
                             {QStringLiteral("-i"), m_repository.debPath(package, installedBefore)},
                             m_repository.environment());
        QVERIFY2(install.succeeded(), qPrintable(install.errorText()));
    }

    Recording recording;
    Apt_Task task = makeTask(package, 0);
    task.version = version;
    startTask(task, recording);
    QVERIFY(waitForEnd(recording));
    QCOMPARE(recording.installResults, QList<bool>{false});
    QCOMPARE(recording.installCodes, QList<int>{0});
    QCOMPARE(dpkgState(package), stateAfter);
    // Nothing is left for dpkg to finish but what the failing script holds.
    const auto audit = TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("--audit")});
    QVERIFY2(stateAfter.isEmpty() ? audit.outputText().trimmed().isEmpty()
                                  : audit.outputText().contains(package),
             qPrintable(audit.outputText()));
    QVERIFY(QFile::exists(QStringLiteral("/var/lib/dpkg/lock")));
    TestEnv::runTool(QStringLiteral("dpkg"),
                     {QStringLiteral("--purge"), QStringLiteral("--force-all"), package});
}

void TestAptInstallAndRemoveTask::promptAnswerReachesTheScript()
{
    const QString package = QStringLiteral("twk-test-config");
    Recording recording;
    const Apt_Task task = makeTask(package, 0);
    AptInstallAndRemoveTask *runnable = startTask(task, recording, 2000);

    QVERIFY(TestEnv::waitFor(
        [&] { return recording.operations.contains(QStringLiteral("pending")); }, 120000));
    QVERIFY(recording.outputContains(QStringLiteral("Greeting of the test package")));
    QVERIFY(recording.outputContains(QStringLiteral("[Showing...]")));
    QVERIFY(recording.outputContains(QStringLiteral("[SettingUp]=")));

    // The display is restored without touching apt-get's input.
    const qsizetype before = recording.outputs.size();
    Q_EMIT runnable->sigAptInputReceived(task, QStringLiteral("[Recovering...]"));
    QVERIFY(TestEnv::waitFor([&] { return recording.outputs.size() >= before + 3; }, 10000));
    QVERIFY(recording.outputs.at(before).contains(QStringLiteral("[NewLine...]")));

    // Another package's answer is not ours.
    Apt_Task other = task;
    other.packageName = QStringLiteral("twk-test-hello");
    Q_EMIT runnable->sigAptInputReceived(other, QStringLiteral("wrong"));
    Q_EMIT runnable->sigAptInputReceived(task, QStringLiteral("hello-from-the-user"));

    QVERIFY(waitForEnd(recording));
    QCOMPARE(recording.installResults, QList<bool>{true});
    QCOMPARE(dpkgState(package), QStringLiteral("installed 1.0"));
    const auto shown = TestEnv::runTool(QStringLiteral("debconf-show"), {package});
    QVERIFY2(shown.outputText().contains(QStringLiteral("greeting: hello-from-the-user")),
             qPrintable(shown.outputText()));
    TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("--purge"), package});
}

void TestAptInstallAndRemoveTask::refusedUpgradeReportsItsCode_data()
{
    QTest::addColumn<QByteArray>("aptHook");
    QTest::addColumn<int>("code");
    QTest::newRow("signature hook") << QByteArray() << int(AppStore::SignatureRefused);
    // As the install-control check refuses: an apt hook that fails before
    // dpkg runs, naming the check on apt-get's standard error.
    QTest::newRow("install-control check")
        << QByteArray("DPkg::Pre-Install-Pkgs:: \"cat >/dev/null; echo "
                      "'/usr/bin/velkor-apt-install-control-check.sh: not permitted' >&2; "
                      "exit 1\";\n")
        << int(AppStore::InstallControlRefused);
}

// The version the user had stays installed, and the store asked for no
// particular version: what an ordinary failure's verdict would take for
// success is a refusal, reported with its own code.
void TestAptInstallAndRemoveTask::refusedUpgradeReportsItsCode()
{
    QFETCH(QByteArray, aptHook);
    QFETCH(int, code);
    const QString config = Utils::aptConfigFilePath();
    const QByteArray original = TestEnv::readFile(config);
    const auto restore = qScopeGuard([&] {
        TestEnv::writeFile(config, original);
        TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("--purge"), kRefused});
    });
    QVERIFY(TestEnv::writeFile(config, original + aptHook));
    const auto install = TestEnv::runTool(
        QStringLiteral("dpkg"),
        {QStringLiteral("-i"), m_repository.debPath(kRefused, QStringLiteral("1.0"))},
        m_repository.environment());
    QVERIFY2(install.succeeded(), qPrintable(install.errorText()));

    Recording recording;
    Apt_Task task = makeTask(kRefused, 0);
    task.version.clear();
    startTask(task, recording);
    QVERIFY(waitForEnd(recording));
    QCOMPARE(recording.installResults, QList<bool>{false});
    QCOMPARE(recording.installCodes, QList<int>{code});
    QCOMPARE(dpkgState(kRefused), QStringLiteral("installed 1.0"));
}

// The purge, the repairs and apt's own removal all meet the failing script:
// the removal is reported failed and the package stays as it was.
void TestAptInstallAndRemoveTask::failingPrermKeepsThePackage()
{
    const QString package = QStringLiteral("twk-test-stuck");
    const auto install = TestEnv::runTool(
        QStringLiteral("dpkg"), {QStringLiteral("-i"), m_repository.debPath(package, "1.0")});
    QVERIFY2(install.succeeded(), qPrintable(install.errorText()));

    Recording purge;
    Apt_Task removal = makeTask(package, 1);
    removal.version.clear();
    startTask(removal, purge);
    QVERIFY(waitForEnd(purge));
    QCOMPARE(purge.startedPurges, QStringList{package});
    QCOMPARE(purge.purgeResults, QList<bool>{false});
    QCOMPARE(dpkgState(package), QStringLiteral("installed 1.0"));

    TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("--purge"),
                                              QStringLiteral("--force-remove-reinstreq"), package});
    QCOMPARE(dpkgState(package), QString());
}

QTEST_GUILESS_MAIN(TestAptInstallAndRemoveTask)
#include "tst_apt_install_and_remove_task.moc"
