#include "common/apt_task.h"
#include "common/operation_codes.h"
#include "database/appstoredb.h"
#include "engine_test_setup.h"
#include "local_apt_repository.h"
#include "system_file_guard.h"
#include "task/aptinstallandremovetask.h"
#include "test_env.h"
#include "test_user.h"
#include "upgradable_packages.h"
#include "utils/process_runner.h"
#include "utils/small_utils.h"
#include "utils/utils.h"

#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <memory>
#include <unistd.h>
#include <vector>

using AppStore::Utils;

namespace {

const QString kRefused = QStringLiteral("twk-test-refused");
const QString kSlowDependency = QStringLiteral("twk-test-slowdep");
const QString kWaiting = QStringLiteral("twk-test-waiting");
const QString kPlain = QStringLiteral("twk-test-plain");
const QString kHeld = QStringLiteral("twk-test-held");
const QString kRival = QStringLiteral("twk-test-rival");
const QString kGame = QStringLiteral("twk-test-game");
// What an important package needs, through an alternative and a name it provides.
const QString kProvider = QStringLiteral("twk-test-provider");
const QString kKeeper = QStringLiteral("twk-test-keeper");
const QString kTalker = QStringLiteral("twk-test-talker");
// Important, and needs what no repository has: apt's repair would remove it.
const QString kNeedy = QStringLiteral("twk-test-needy");
const QStringList kCore{QStringLiteral("twk-test-base"), QStringLiteral("twk-test-core")};
// Important, installed as a dependency and needed by nothing any more.
const QString kUnneeded = QStringLiteral("twk-test-unneeded");
// Its purge fails in dpkg: apt's removal comes after.
const QString kPurgeFails = QStringLiteral("twk-test-purgefails");
const QString kAutoRemoveConfig = QStringLiteral("/etc/apt/apt.conf.d/99twk-test-autoremove");
const QString kSolverConfig = QStringLiteral("/etc/apt/apt.conf.d/99twk-test-solver");

// "<status> <version>" as dpkg records the package; empty when it knows none.
QString dpkgState(const QString &package)
{
    const auto result = TestEnv::runTool(
        QStringLiteral("dpkg-query"),
        {QStringLiteral("-W"), QStringLiteral("-f=${db:Status-Status} ${Version}"), package});
    const QString state = result.outputText().trimmed();
    return state.startsWith(QLatin1String("not-installed")) ? QString() : state;
}

// A running child of this test process with that command name; 0 when none.
qint64 childNamed(const QByteArray &name)
{
    for (const qint64 pid : TestEnv::processIds()) {
        if (AppStore::SmallUtils::parentProcessId(pid) == ::getpid() &&
            TestEnv::readFile(QStringLiteral("/proc/%1/comm").arg(pid)).trimmed() == name)
            return pid;
    }
    return 0;
}

// Another package frontend: takes dpkg's locks as apt and dpkg take them,
// says so, and holds them a few seconds.
const QString kLockHolder =
    QStringLiteral("import fcntl, os, time\n"
                   "for path in ('/var/lib/dpkg/lock-frontend', '/var/lib/dpkg/lock'):\n"
                   "    fcntl.lockf(os.open(path, os.O_RDWR | os.O_CREAT, 0o640), fcntl.LOCK_EX)\n"
                   "print('locked', flush=True)\n"
                   "time.sleep(4)\n");

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
    bool outputContains(const QString &text) const { return outputCount(text) > 0; }
    qsizetype outputCount(const QString &text) const
    {
        return std::count_if(outputs.cbegin(), outputs.cend(),
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
    void installWaitsForAnotherFrontend();
    void failedInstallKeepsWhatWorks_data();
    void failedInstallKeepsWhatWorks();
    void promptAnswerReachesTheScript();
    void scriptThatMovedOnGetsNoAnswer();
    void slowRepairAsksNothing();
    void failingPrermKeepsThePackage();
    void refusedUpgradeReportsItsCode_data();
    void refusedUpgradeReportsItsCode();
    void protectedPackagesStay_data();
    void protectedPackagesStay();
    void unneededPackagesStay_data();
    void unneededPackagesStay();
    void refusedRemovalKeepsShortcuts();

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
    // The daemon runs with a system service's PATH, which lacks /usr/games.
    qputenv("PATH", "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin");

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
    // Lets the forced purge of a tidy-up through.
    stuck.prerm = QStringLiteral("#!/bin/sh\ncase \"$DPKG_FORCE\" in *remove-reinstreq*) exit 0 ;; "
                                 "esac\necho 'twk-test-stuck prerm: failing on purpose' >&2\n"
                                 "exit 1\n");
    QVERIFY(
        m_repository.addPackage(QStringLiteral("twk-test-stuck"), QStringLiteral("1.0"), stuck));
    // Version 2.0 of the clash package brings a file of the owner package.
    LocalAptRepository::PackageOptions owning;
    owning.desktopApplication = false;
    owning.files = {{QStringLiteral("/usr/share/twk-test-clash/shared"), "owned\n"}};
    QVERIFY(m_repository.addPackage(QStringLiteral("twk-test-fileowner"), QStringLiteral("1.0"),
                                    owning));
    QVERIFY(m_repository.addPackage(QStringLiteral("twk-test-clash"), QStringLiteral("1.0")));
    owning.desktopApplication = true;
    QVERIFY(
        m_repository.addPackage(QStringLiteral("twk-test-clash"), QStringLiteral("2.0"), owning));
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
    // Left waiting for a dependency whose setup outlasts a prompt's silence.
    LocalAptRepository::PackageOptions slow;
    slow.postinst = QStringLiteral("#!/bin/sh\nsleep 6\n");
    QVERIFY(m_repository.addPackage(kSlowDependency, QStringLiteral("1.0"), slow));
    slow = {};
    slow.depends = kSlowDependency;
    QVERIFY(m_repository.addPackage(kWaiting, QStringLiteral("1.0"), slow));
    // twk-test-core is what the system is built on; the rival's install
    // would take it, or the ordinary plain package, with it.
    LocalAptRepository::PackageOptions plain;
    plain.desktopApplication = false;
    LocalAptRepository::PackageOptions core = plain;
    core.priority = QStringLiteral("important");
    core.depends = kCore.first();
    LocalAptRepository::PackageOptions needy = core;
    needy.depends = QStringLiteral("twk-test-absent");
    LocalAptRepository::PackageOptions rival;
    rival.controlFields.insert(QStringLiteral("Conflicts"), kCore.last() + u',' + kPlain);
    // As Debian ships a game: the entry names its program without a folder.
    LocalAptRepository::PackageOptions game = plain;
    plain.files = {{QStringLiteral("/usr/share/applications/twk-test-plain.desktop"),
                    "[Desktop Entry]\nType=Link\nName=plain\nURL=file:///\n"}};
    game.files = {{QStringLiteral("/usr/games/") + kGame, "#!/bin/sh\n"},
                  {QStringLiteral("/usr/share/applications/twk-test-game.desktop"),
                   "[Desktop Entry]\nType=Application\nName=game\nExec=twk-test-game\n"}};
    LocalAptRepository::PackageOptions provider;
    provider.controlFields.insert(QStringLiteral("Provides"), QStringLiteral("twk-test-virtual"));
    LocalAptRepository::PackageOptions keeper = core;
    keeper.depends.clear();
    keeper.controlFields.insert(QStringLiteral("Pre-Depends"),
                                QStringLiteral("twk-test-absent | twk-test-virtual"));
    QVERIFY(m_repository.addPackage(kProvider, QStringLiteral("1.0"), provider) &&
            m_repository.addPackage(kKeeper, QStringLiteral("1.0"), keeper));
    QVERIFY(m_repository.addPackage(kPlain, QStringLiteral("1.0"), plain) &&
            m_repository.addPackage(kHeld, QStringLiteral("1.0")) &&
            m_repository.addPackage(kCore.first(), QStringLiteral("1.0")) &&
            m_repository.addPackage(kCore.last(), QStringLiteral("1.0"), core) &&
            m_repository.addPackage(kRival, QStringLiteral("1.0"), rival) &&
            m_repository.addPackage(kGame, QStringLiteral("1.0"), game) &&
            m_repository.addPackage(kNeedy, QStringLiteral("1.0"), needy));
    // Silent long enough to be taken for a question, then talking on while it
    // waits a few seconds for input nobody was asked for.
    LocalAptRepository::PackageOptions talker;
    talker.desktopApplication = false;
    talker.postinst = QStringLiteral(
        "#!/bin/bash\necho \"keeps changed configuration: ${UCF_FORCE_CONFFOLD:-no}\"\n"
        "sleep 4\necho 'moved on'\n(while :; do echo busy; sleep 0.2; done) & ticker=$!\n"
        "read -r -t 5 line && echo \"stale answer: $line\"\nkill $ticker\nexit 0\n");
    QVERIFY(m_repository.addPackage(kTalker, QStringLiteral("1.0"), talker));
    LocalAptRepository::PackageOptions unneeded = core;
    unneeded.depends.clear();
    LocalAptRepository::PackageOptions purgeFails;
    purgeFails.postrm = QStringLiteral("#!/bin/sh\ncase \"$1 $DPKG_FORCE\" in purge*reinstreq*) "
                                       ";; purge*) exit 1 ;; esac\nexit 0\n");
    QVERIFY(m_repository.addPackage(kUnneeded, QStringLiteral("1.0"), unneeded) &&
            m_repository.addPackage(kPurgeFails, QStringLiteral("1.0"), purgeFails));
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
    // apt-get writes its status lines to descriptor 3, which leads nowhere.
    qint64 apt = 0;
    QVERIFY(TestEnv::waitFor([&] { return (apt = childNamed("apt-get")) > 0; }, 60000));
    QCOMPARE(QFile::symLinkTarget(QStringLiteral("/proc/%1/fd/3").arg(apt)),
             QStringLiteral("/dev/null"));
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

// Another frontend that takes dpkg's locks while our apt-get runs is waited
// for, in the one apt-get run, never met in the middle of a transaction.
void TestAptInstallAndRemoveTask::installWaitsForAnotherFrontend()
{
    const QString package = QStringLiteral("twk-test-hello");
    Recording recording;
    startTask(makeTask(package, 0), recording);
    QVERIFY(TestEnv::waitFor([] { return childNamed("apt-get") > 0; }, 60000));
    AppStore::ProcessRunner holder;
    AppStore::ProcessSpec spec;
    spec.program = QStringLiteral("python3");
    spec.arguments = {QStringLiteral("-c"), kLockHolder};
    spec.timeoutMs = 300000;
    QVERIFY(holder.start(spec));

    QVERIFY(waitForEnd(recording));
    const AppStore::ProcessResult held = holder.waitForFinished();
    QCOMPARE(held.outputText(), QStringLiteral("locked\n"));
    QCOMPARE(recording.installResults, QList<bool>{true});
    QCOMPARE(recording.outputCount(QStringLiteral("Reading package lists")), 1);
    QCOMPARE(dpkgState(package), QStringLiteral("installed 1.0"));

    // A silent removal: no start, no end and its history row left alone.
    ApplicationHistoryRow row;
    row.packageName = package;
    row.operation = OPERATION_INSTALL;
    AppstoreDb::instance()->updateApplicationHistoryInfo(row);
    Recording silent;
    Apt_Task removal = makeTask(package, 1);
    removal.sourceId = QStringLiteral("SilentPurge");
    startTask(removal, silent);
    QVERIFY(!waitForEnd(silent) && m_tasks.empty());
    QVERIFY(silent.startedPurges.isEmpty() && silent.purgeResults.isEmpty());
    QCOMPARE(dpkgState(package), QString());
    QCOMPARE(EngineTestSetup::historyRow(package, {QStringLiteral("operation")}),
             QStringList{OPERATION_INSTALL});
}

void TestAptInstallAndRemoveTask::failedInstallKeepsWhatWorks_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<QString>("version");
    // "name=version" installed before the task, in order.
    QTest::addColumn<QStringList>("installedBefore");
    // The version whose archive the task installs from the cache; none when
    // empty.
    QTest::addColumn<QString>("archive");
    QTest::addColumn<QString>("stateAfter");
    // A first install is taken out again.
    QTest::newRow("first install") << QStringLiteral("twk-test-broken") << QStringLiteral("1.0")
                                   << QStringList() << QString() << QString();
    // An upgrade is not purged: the user keeps the package and its files.
    QTest::newRow("upgrade") << QStringLiteral("twk-test-upgrade") << QStringLiteral("2.0")
                             << QStringList{"twk-test-upgrade=1.0"} << QString()
                             << QStringLiteral("half-configured 2.0");
    // dpkg puts the old version back; nothing may purge it.
    QTest::newRow("upgrade overwriting another package's file")
        << QStringLiteral("twk-test-clash") << QStringLiteral("2.0")
        << QStringList{"twk-test-fileowner=1.0", "twk-test-clash=1.0"} << QString()
        << QStringLiteral("installed 1.0");
    // Not the version asked for, but installed and working.
    QTest::newRow("first install of another version")
        << QStringLiteral("twk-test-hello") << QStringLiteral("2.0") << QStringList()
        << QStringLiteral("1.0") << QStringLiteral("installed 1.0");
}

void TestAptInstallAndRemoveTask::failedInstallKeepsWhatWorks()
{
    QFETCH(QString, package);
    QFETCH(QString, version);
    QFETCH(QStringList, installedBefore);
    QFETCH(QString, archive);
    QFETCH(QString, stateAfter);
    QStringList packages{package};
    for (const QString &before : std::as_const(installedBefore)) {
        const QString name = before.section(u'=', 0, 0);
        const auto install = TestEnv::runTool(
            QStringLiteral("dpkg"),
            {QStringLiteral("-i"), m_repository.debPath(name, before.section(u'=', 1))});
        QVERIFY2(install.succeeded(), qPrintable(install.errorText()));
        if (name != package)
            packages.prepend(name);
    }
    Apt_Task task = makeTask(package, 0);
    task.version = version;
    const QString cached =
        Utils::cacheDir() + QStringLiteral("archives/") + package + QStringLiteral(".deb");
    if (!archive.isEmpty()) {
        QVERIFY(QFile::copy(m_repository.debPath(package, archive), cached));
        task.isSpecificPkg = 1;
    }

    Recording recording;
    startTask(task, recording);
    QVERIFY(waitForEnd(recording));
    QFile::remove(cached);
    QCOMPARE(recording.installResults, QList<bool>{false});
    QCOMPARE(recording.installCodes, QList<int>{0});
    QCOMPARE(dpkgState(package), stateAfter);
    // Nothing is left for dpkg to finish but what a failing script holds,
    // and what stays installed has its files.
    const bool settled = stateAfter.isEmpty() || stateAfter.startsWith(QLatin1String("installed"));
    const auto audit = TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("--audit")});
    QVERIFY2(settled ? audit.outputText().trimmed().isEmpty()
                     : audit.outputText().contains(package),
             qPrintable(audit.outputText()));
    if (settled && !stateAfter.isEmpty())
        QCOMPARE(TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("--verify"), package})
                     .outputText(),
                 QString());
    QVERIFY(QFile::exists(QStringLiteral("/var/lib/dpkg/lock")));
    TestEnv::runTool(QStringLiteral("dpkg"),
                     QStringList{QStringLiteral("--purge"), QStringLiteral("--force-all")} +
                         packages);
}

void TestAptInstallAndRemoveTask::promptAnswerReachesTheScript()
{
    const QString package = QStringLiteral("twk-test-config");
    Recording recording;
    const Apt_Task task = makeTask(package, 0);
    AptInstallAndRemoveTask *runnable = startTask(task, recording, 2000);
    // Nothing asked yet: an answer now would go to whatever asks first.
    QVERIFY(TestEnv::waitFor([&] { return !recording.outputs.isEmpty(); }, 60000));
    Q_EMIT runnable->sigAptInputReceived(task, QStringLiteral("Z"));

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
    // One question, one line.
    Q_EMIT runnable->sigAptInputReceived(task, QStringLiteral("two\nlines"));
    Q_EMIT runnable->sigAptInputReceived(task, QStringLiteral("hello-from-the-user"));

    QVERIFY(waitForEnd(recording));
    QCOMPARE(recording.installResults, QList<bool>{true});
    QCOMPARE(dpkgState(package), QStringLiteral("installed 1.0"));
    const auto shown = TestEnv::runTool(QStringLiteral("debconf-show"), {package});
    QVERIFY2(shown.outputText().contains(QStringLiteral("greeting: hello-from-the-user")),
             qPrintable(shown.outputText()));
    TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("--purge"), package});
}

// The question the silence suggested is gone once the script talks again:
// an answer sent then reaches nothing. Like dpkg, ucf keeps a configuration
// file the administrator changed.
void TestAptInstallAndRemoveTask::scriptThatMovedOnGetsNoAnswer()
{
    const auto tidy = qScopeGuard([] {
        TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("--purge"), kTalker});
    });
    Recording recording;
    const Apt_Task task = makeTask(kTalker, 0);
    AptInstallAndRemoveTask *runnable = startTask(task, recording, 1000);
    QVERIFY(TestEnv::waitFor([&] { return recording.outputContains(QStringLiteral("moved on")); },
                             120000));
    QVERIFY(recording.operations.contains(QStringLiteral("pending")));
    Q_EMIT runnable->sigAptInputReceived(task, QStringLiteral("late"));
    QVERIFY(waitForEnd(recording));
    QCOMPARE(recording.installResults, QList<bool>{true});
    QVERIFY(!recording.outputContains(QStringLiteral("stale answer")));
    QVERIFY(recording.outputContains(QStringLiteral("keeps changed configuration: 1")));
}

// The repair of the unmet dependency outlasts the silence bound: no prompt.
void TestAptInstallAndRemoveTask::slowRepairAsksNothing()
{
    TestEnv::runTool(QStringLiteral("dpkg"),
                     {QStringLiteral("-i"), m_repository.debPath(kWaiting, QStringLiteral("1.0"))});
    Recording recording;
    startTask(makeTask(QStringLiteral("twk-test-hello"), 0), recording, 3000);
    QVERIFY(waitForEnd(recording));
    TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("--purge"), kWaiting, kSlowDependency,
                                              QStringLiteral("twk-test-hello")});
    QCOMPARE(recording.installResults, QList<bool>{true});
    QCOMPARE(recording.operations, QStringList());
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

void TestAptInstallAndRemoveTask::protectedPackagesStay_data()
{
    QTest::addColumn<int>("taskType");
    QTest::addColumn<QString>("package");
    QTest::addColumn<QStringList>("installedBefore");
    QTest::addColumn<bool>("held");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QStringList>("installedAfter");
    QTest::addColumn<QByteArray>("aptConf");
    QTest::newRow("removal of no application") << 1 << kPlain << QStringList{kPlain} << false
                                               << false << QStringList{kPlain} << QByteArray();
    QTest::newRow("removal of a game off PATH")
        << 1 << kGame << QStringList{kGame} << false << true << QStringList{} << QByteArray();
    QTest::newRow("removal of a held package")
        << 1 << kHeld << QStringList{kHeld} << true << false << QStringList{kHeld} << QByteArray();
    QTest::newRow("removal taking an important package")
        << 1 << kCore.first() << kCore << false << false << kCore << QByteArray();
    QTest::newRow("removal taking an important package through what it provides")
        << 1 << kProvider << QStringList{kProvider, kKeeper} << false << false
        << QStringList{kProvider, kKeeper} << QByteArray();
    QTest::newRow("removal while a package misses its dependency")
        << 1 << kGame << QStringList{kGame, kNeedy} << false << false << QStringList{kGame}
        << QByteArray();
    QTest::newRow("install removing an important package")
        << 0 << kRival << kCore << false << false << kCore << QByteArray();
    QTest::newRow("install removing an ordinary package")
        << 0 << kRival << QStringList{kPlain} << false << true << QStringList{kRival}
        << QByteArray();
    // The install meets broken dependencies, whose repair would take kNeedy.
    QTest::newRow("repair removing an important package")
        << 0 << QStringLiteral("twk-test-hello") << QStringList{kNeedy} << false << false
        << QStringList{kNeedy} << QByteArray();
    // It hands even a plain purge to the solver, whatever the listing saw.
    QTest::newRow("removal an external solver widens")
        << 1 << kGame << QStringList{kGame, kUnneeded} << false << false
        << QStringList{kGame, kUnneeded}
        << QStringLiteral("Dir::Bin::Solvers:: \"%1\";\n"
                          "Binary::apt-get::APT::Solver \"twk-test-solver\";\n")
               .arg(TestEnv::standinsDir())
               .toUtf8();
}

// What the system is built on and what the administrator holds stay, and
// only an application is removed; the refusal is the task's failure.
void TestAptInstallAndRemoveTask::protectedPackagesStay()
{
    QFETCH(int, taskType);
    QFETCH(QString, package);
    QFETCH(QStringList, installedBefore);
    QFETCH(bool, held);
    QFETCH(bool, ok);
    QFETCH(QStringList, installedAfter);
    QFETCH(QByteArray, aptConf);
    std::unique_ptr<SystemFileGuard> config;
    if (!aptConf.isEmpty()) {
        config = std::make_unique<SystemFileGuard>(QStringList{kSolverConfig});
        QVERIFY2(config->isValid(), qPrintable(config->errorString()));
        QVERIFY(TestEnv::writeFile(kSolverConfig, aptConf));
    }
    const auto tidy = qScopeGuard([&] {
        if (config)
            config->restore();
        TestEnv::runTool(QStringLiteral("apt-mark"), {QStringLiteral("unhold"), package});
        TestEnv::runTool(QStringLiteral("dpkg"),
                         QStringList{QStringLiteral("--purge"), QStringLiteral("--force-depends"),
                                     kRival, package} +
                             installedBefore);
    });
    // Installed in order; a dependency no repository has is left broken, as
    // on a broken system.
    for (const QString &name : std::as_const(installedBefore))
        QVERIFY(TestEnv::runTool(QStringLiteral("dpkg"),
                                 {QStringLiteral("-i"), QStringLiteral("--force-depends"),
                                  m_repository.debPath(name, "1.0")})
                    .succeeded());
    if (held)
        QVERIFY(TestEnv::runTool(QStringLiteral("apt-mark"), {QStringLiteral("hold"), package})
                    .succeeded());

    Recording recording;
    Apt_Task task = makeTask(package, taskType);
    if (taskType == 1)
        task.version.clear();
    startTask(task, recording);
    QVERIFY(waitForEnd(recording));
    QCOMPARE(taskType == 0 ? recording.installResults : recording.purgeResults, QList<bool>{ok});
    const bool removed = ok && taskType == 1;
    QCOMPARE(recording.operations.contains(QStringLiteral("purging")), removed);
    if (removed)
        QCOMPARE(dpkgState(package), QString());
    for (const QString &name : std::as_const(installedAfter))
        QCOMPARE(dpkgState(name), QStringLiteral("installed 1.0"));
}

void TestAptInstallAndRemoveTask::unneededPackagesStay_data()
{
    QTest::addColumn<int>("taskType");
    QTest::addColumn<QString>("package");
    QTest::addColumn<QByteArray>("aptConf");
    const QByteArray autoRemove = "Binary::%1::APT::Get::AutomaticRemove \"true\";\n";
    QTest::newRow("purge") << 1 << QStringLiteral("twk-test-hello")
                           << QByteArray(autoRemove).replace("%1", "apt-get");
    QTest::newRow("apt's removal after dpkg's error")
        << 1 << kPurgeFails << QByteArray(autoRemove).replace("%1", "apt");
    // The purge was judged with apt's own solver: so is apt's removal.
    QTest::newRow("apt's removal after dpkg's error, a solver named for apt")
        << 1 << kPurgeFails
        << QStringLiteral("Dir::Bin::Solvers:: \"%1\";\n"
                          "Binary::apt::APT::Solver \"twk-test-solver\";\n")
               .arg(TestEnv::standinsDir())
               .toUtf8();
    QTest::newRow("install") << 0 << QStringLiteral("twk-test-hello")
                             << QByteArray(autoRemove).replace("%1", "apt-get");
}

// Whatever apt.conf asks of one program, a store run takes what was judged:
// an important package that nothing needs any more stays. The user's
// shortcut goes with the removed package, also when apt's removal took it.
void TestAptInstallAndRemoveTask::unneededPackagesStay()
{
    QFETCH(int, taskType);
    QFETCH(QString, package);
    QFETCH(QByteArray, aptConf);
    const auto tidy = qScopeGuard([&] {
        TestEnv::runTool(QStringLiteral("dpkg"),
                         {QStringLiteral("--purge"), QStringLiteral("--force-remove-reinstreq"),
                          QStringLiteral("--force-remove-essential"), kUnneeded, package});
    });
    QStringList installed{kUnneeded};
    if (taskType == 1)
        installed.append(package);
    for (const QString &name : std::as_const(installed))
        QVERIFY(TestEnv::runTool(QStringLiteral("dpkg"),
                                 {QStringLiteral("-i"), m_repository.debPath(name, "1.0")})
                    .succeeded());
    QVERIFY(TestEnv::runTool(QStringLiteral("apt-mark"), {QStringLiteral("auto"), kUnneeded})
                .succeeded());
    TestUser user;
    QVERIFY(taskType == 0 || (user.create() && user.addShortcut(package)));
    Recording recording;
    {
        SystemFileGuard config({kAutoRemoveConfig});
        QVERIFY2(config.isValid(), qPrintable(config.errorString()));
        QVERIFY(TestEnv::writeFile(kAutoRemoveConfig, aptConf));
        Apt_Task task = makeTask(package, taskType);
        if (taskType == 1)
            task.version.clear();
        task.loginName = user.login;
        startTask(task, recording);
        QVERIFY(waitForEnd(recording));
        QVERIFY2(config.restore(), qPrintable(config.errorString()));
    }
    QCOMPARE(taskType == 0 ? recording.installResults : recording.purgeResults, QList<bool>{true});
    QCOMPARE(dpkgState(kUnneeded), QStringLiteral("installed 1.0"));
    if (taskType == 1) {
        QVERIFY(!dpkgState(package).startsWith(QLatin1String("installed")));
        QVERIFY(!user.hasShortcut(package));
    }
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

// apt reads a package's flags from its repository's index too, which the
// listing does not see: apt refuses the purge it allowed, and the user's
// shortcut stays with the package.
void TestAptInstallAndRemoveTask::refusedRemovalKeepsShortcuts()
{
    UpgradablePackages flagged(m_repository, QStringLiteral("twk-test-flagged-"));
    LocalAptRepository::PackageOptions published;
    published.controlFields.insert(QStringLiteral("Protected"), QStringLiteral("yes"));
    QVERIFY2(flagged.build(1, QStringLiteral("1.0"), QStringLiteral("2.0"), published) &&
                 flagged.install(),
             qPrintable(flagged.errorString()));
    const QString package = flagged.names().constFirst();
    TestUser user;
    QVERIFY(user.create() && user.addShortcut(package));

    Recording recording;
    Apt_Task task = makeTask(package, 1);
    task.version.clear();
    task.loginName = user.login;
    startTask(task, recording);
    QVERIFY(waitForEnd(recording));
    QCOMPARE(recording.purgeResults, QList<bool>{false});
    QCOMPARE(dpkgState(package), QStringLiteral("installed 1.0"));
    QVERIFY(user.hasShortcut(package));
}

QTEST_GUILESS_MAIN(TestAptInstallAndRemoveTask)
#include "tst_apt_install_and_remove_task.moc"
