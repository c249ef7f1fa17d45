#include "common/apt_task.h"
#include "database/appstoredb.h"
#include "database/cachedatabase.h"
#include "dpkg_listing.h"
#include "engine_recorder.h"
#include "engine_test_setup.h"
#include "task/apt_install_manager.h"
#include "task/dpkg_lock_wait.h"
#include "test_env.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

namespace {

const QString kUser = QStringLiteral("twk-tester");
const QString kBroken = QStringLiteral("twk-test-broken");
const QString kHalfDone = QStringLiteral("twk-test-halfdone"); // an application, postinst fails
const QString kConfig = QStringLiteral("twk-test-config");
const QString kConffile = QStringLiteral("twk-test-conffile");
const QString kConffilePath = QStringLiteral("/etc/twk-test-conffile.conf");
const QStringList kFilled{QStringLiteral("twk-test-fill-a"), QStringLiteral("twk-test-fill-b")};

using Progress = EngineProgress;

Apt_Task storeTask(const QString &name)
{
    return EngineTestSetup::storeTask(name, kUser);
}

QStringList historyRow(const QString &package)
{
    return EngineTestSetup::historyRow(package,
                                       {QStringLiteral("operation"), QStringLiteral("result")});
}

} // namespace

// The manager's less travelled roads, driven as the bus object drives it: a
// failing maintainer script, a package-tool prompt answered by the client,
// and several packages at once.
class TestAptInstallManagerRoads : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void failingScriptEndsCleanly();
    void halfConfiguredPackageIsInstalled();
    void promptRoundTrip();
    void upgradeKeepsEditedConfigFile();
    void downloadsOverlapInstallsDoNot();

private:
    void addTask(Apt_Task task);

    EngineTestSetup m_setup;
    AptInstallManager *m_manager = nullptr;
    EngineRecorder m_recorded;
};

void TestAptInstallManagerRoads::initTestCase()
{
    LocalAptRepository &repository = m_setup.repository();
    QVERIFY(repository.addStandardPackages());
    // Five seconds each at the throttled rate: two downloads started
    // together are bound to overlap.
    LocalAptRepository::PackageOptions filled;
    filled.desktopApplication = false;
    filled.fillerBytes = 40000;
    for (const QString &name : kFilled)
        QVERIFY(repository.addPackage(name, QStringLiteral("1.0"), filled));
    for (const QString &version : {QStringLiteral("1.0"), QStringLiteral("2.0")}) {
        LocalAptRepository::PackageOptions conffile;
        conffile.files = {{kConffilePath, version.toUtf8()}};
        QVERIFY(repository.addPackage(kConffile, version, conffile));
    }
    LocalAptRepository::PackageOptions halfDone;
    halfDone.postinst = QStringLiteral("#!/bin/sh\nexit 1\n");
    QVERIFY(repository.addPackage(kHalfDone, QStringLiteral("1.0"), halfDone));
    QVERIFY2(m_setup.start(qEnvironmentVariable("TWK_CHILDRENGUARD_STANDIN"),
                           {kUser + QStringLiteral("=2")}, 8192),
             qPrintable(m_setup.errorString()));

    m_manager = new AptInstallManager;
    m_recorded.attach(m_manager);
}

void TestAptInstallManagerRoads::cleanupTestCase()
{
    if (m_manager) {
        m_manager->stopThread();
        delete m_manager;
    }
    // Signals still queued to this object would land in destroyed members
    // while the fixture's servers are being stopped.
    QCoreApplication::removePostedEvents(this);
    CacheDatabase::instance()->stop();
    TestEnv::runTool(QStringLiteral("dpkg"),
                     QStringList{QStringLiteral("--purge"), QStringLiteral("--force-all"), kBroken,
                                 kConfig, kConffile, kHalfDone} +
                         kFilled);
}

void TestAptInstallManagerRoads::addTask(Apt_Task task)
{
    QVERIFY(QMetaObject::invokeMethod(m_manager, "addDownloadPoolTask", Qt::QueuedConnection,
                                      Q_ARG(Apt_Task &, task)));
}

// A postinst that fails on every run: the configure repairs retry and fail
// again, nothing claims the package is installed, and the failed first
// install is purged so that dpkg is left consistent.
void TestAptInstallManagerRoads::failingScriptEndsCleanly()
{
    m_recorded.progress.clear();
    m_recorded.notifications.clear();
    addTask(storeTask(kBroken));
    QVERIFY2(m_recorded.waitForFinal(kBroken), "the task never ended");

    const Progress final = m_recorded.finalOf(kBroken);
    QCOMPARE(final.progress, -1);
    const QJsonObject status = QJsonDocument::fromJson(final.status.toUtf8()).object();
    // No code of its own: neither hook refusal applies.
    QCOMPARE(status.value(QLatin1String("code")).toObject().value(QLatin1String("code")).toInt(-1),
             0);
    QTRY_VERIFY(m_recorded.notifications.contains(
        QStringLiteral("{\"appName\":\"twk-test-broken\",\"logname\":\"twk-tester\",\"opt\":2,"
                       "\"packageName\":\"twk-test-broken\"}")));

    QCOMPARE(historyRow(kBroken), (QStringList{QStringLiteral("5"), QStringLiteral("0")}));
    QVERIFY(EngineTestSetup::firstRow(QStringLiteral("app_install_status"),
                                      QStringLiteral("package_name"), kBroken,
                                      {QStringLiteral("app_status")})
                .isEmpty());

    // The failure goes out first; the purge follows it and leaves nothing
    // of the package and nothing for dpkg to finish. dpkg writes the state
    // before it has ended (triggers, its own exit), and the next case runs
    // dpkg itself, which does not wait for a lock: the purge has ended once
    // dpkg's locks are free.
    QString state;
    QString audit;
    QVERIFY2(TestEnv::waitFor(
                 [&] {
                     state = DpkgListing::field(kBroken, QStringLiteral("Status"));
                     audit = TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("--audit")})
                                 .outputText()
                                 .trimmed();
                     return (state.isEmpty() || state.endsWith(QLatin1String("not-installed"))) &&
                            audit.isEmpty() && !AppStore::DpkgLockWait::isHeldByOther();
                 },
                 60000),
             qPrintable(state + u'\n' + audit));
}

// Half-configured by its failing postinst, the package is installed: a retried
// install is no first install, a removal purges it before the history says so.
void TestAptInstallManagerRoads::halfConfiguredPackageIsInstalled()
{
    TestEnv::runTool(QStringLiteral("dpkg"),
                     {QStringLiteral("-i"), m_setup.repository().debPath(kHalfDone, "1.0")});
    QCOMPARE(DpkgListing::field(kHalfDone, QStringLiteral("Status")),
             QStringLiteral("install ok half-configured"));
    m_recorded.progress.clear();
    addTask(storeTask(kHalfDone));
    QVERIFY2(m_recorded.waitForFinal(kHalfDone), "the task never ended");
    QCOMPARE(DpkgListing::field(kHalfDone, QStringLiteral("Status")),
             QStringLiteral("install ok half-configured"));
    Apt_Task purge = storeTask(kHalfDone);
    purge.taskType = 1;
    m_manager->addPurgeTask(purge);
    QTRY_COMPARE_WITH_TIMEOUT(m_recorded.purgeResults, QList<bool>{true}, 120000);
    QCOMPARE(DpkgListing::field(kHalfDone, QStringLiteral("Status")), QString());
    QCOMPARE(historyRow(kHalfDone).value(0), QStringLiteral("2"));
}

// The prompt reaches the client as output messages once apt-get went quiet,
// and the client's answer goes back through the manager into the package's
// configuration.
void TestAptInstallManagerRoads::promptRoundTrip()
{
    m_recorded.progress.clear();
    m_manager->setPromptSilenceInterval(2000);
    const Apt_Task task = storeTask(kConfig);
    addTask(task);

    const auto shown = [this](const QString &text) {
        for (const Progress &p : std::as_const(m_recorded.progress)) {
            if (p.package == kConfig && p.state == 1 && p.total == -1 && p.status.contains(text))
                return true;
        }
        return false;
    };
    QVERIFY2(TestEnv::waitFor([&] { return shown(QStringLiteral("[Showing...]")); }, 120000),
             "no prompt reached the client");
    QVERIFY(shown(QStringLiteral("Greeting of the test package")));
    QVERIFY(shown(QStringLiteral("[SettingUp]=")));

    // Another package's answer goes nowhere.
    Apt_Task other = task;
    other.packageName = QStringLiteral("twk-test-hello");
    m_manager->sendAptInput(other, QStringLiteral("wrong"));
    m_manager->sendAptInput(task, QStringLiteral("hello-from-the-client"));

    QVERIFY2(m_recorded.waitForFinal(kConfig), "the task never ended");
    QVERIFY2(m_recorded.finalOf(kConfig).progress != -1,
             qPrintable(m_recorded.finalOf(kConfig).status));
    QVERIFY(DpkgListing::field(kConfig, QStringLiteral("Status"))
                .contains(QLatin1String("install ok installed")));
    const auto answer = TestEnv::runTool(QStringLiteral("debconf-show"), {kConfig});
    QVERIFY2(answer.outputText().contains(QStringLiteral("greeting: hello-from-the-client")),
             qPrintable(answer.outputText()));

    m_recorded.purgeResults.clear();
    Apt_Task purge = task;
    purge.taskType = 1;
    m_manager->addPurgeTask(purge);
    QTRY_VERIFY_WITH_TIMEOUT(!m_recorded.purgeResults.isEmpty(), 120000);
    // It ships no desktop entry: no application, so not the store's to remove.
    QCOMPARE(m_recorded.purgeResults, QList<bool>{false});
}

// An upgrade keeps the administrator's change to a configuration file and
// asks nothing about it.
void TestAptInstallManagerRoads::upgradeKeepsEditedConfigFile()
{
    const auto installed = TestEnv::runTool(
        QStringLiteral("dpkg"),
        {QStringLiteral("-i"), m_setup.repository().debPath(kConffile, QStringLiteral("1.0"))});
    QVERIFY2(installed.succeeded(), qPrintable(installed.errorText()));
    QVERIFY(TestEnv::writeFile(kConffilePath, "edited"));
    Apt_Task task = storeTask(kConffile);
    task.version = QStringLiteral("2.0");
    addTask(task);

    QVERIFY2(m_recorded.waitForFinal(kConffile), "the upgrade is waiting for an answer");
    QVERIFY2(m_recorded.finalOf(kConffile).progress != -1,
             qPrintable(m_recorded.finalOf(kConffile).status));
    QCOMPARE(TestEnv::readFile(kConffilePath), QByteArray("edited"));
    QCOMPARE(DpkgListing::field(kConffile, QStringLiteral("Status")),
             QStringLiteral("install ok installed"));
    QCOMPARE(DpkgListing::field(kConffile, QStringLiteral("Version")), QStringLiteral("2.0"));
}

// Downloads share the download pool; anything that drives dpkg waits for the
// one install thread.
void TestAptInstallManagerRoads::downloadsOverlapInstallsDoNot()
{
    if (m_manager->downloadThreadCount() < 2)
        QSKIP("one download thread on this machine");
    m_recorded.progress.clear();
    for (const QString &name : kFilled)
        addTask(storeTask(name));
    for (const QString &name : kFilled) {
        QVERIFY2(m_recorded.waitForFinal(name), qPrintable(name));
        QVERIFY2(m_recorded.finalOf(name).progress != -1,
                 qPrintable(m_recorded.finalOf(name).status));
    }

    const auto span = [this](const QString &package, int state) {
        int first = -1;
        int last = -1;
        for (int i = 0; i < m_recorded.progress.size(); ++i) {
            if (m_recorded.progress.at(i).package == package &&
                m_recorded.progress.at(i).state == state) {
                if (first < 0)
                    first = i;
                last = i;
            }
        }
        return std::make_pair(first, last);
    };
    const auto downloadA = span(kFilled.at(0), 0);
    const auto downloadB = span(kFilled.at(1), 0);
    QVERIFY(downloadA.first >= 0 && downloadB.first >= 0);
    QVERIFY2(downloadA.first < downloadB.second && downloadB.first < downloadA.second,
             "the downloads ran one after the other");

    const auto installA = span(kFilled.at(0), 1);
    const auto installB = span(kFilled.at(1), 1);
    QVERIFY(installA.first >= 0 && installB.first >= 0);
    QVERIFY2(installA.second < installB.first || installB.second < installA.first,
             "the install stages interleaved");
}

QTEST_GUILESS_MAIN(TestAptInstallManagerRoads)
#include "tst_apt_install_manager_roads.moc"
