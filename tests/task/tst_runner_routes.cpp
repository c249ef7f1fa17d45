#include "common/apt_task.h"
#include "database/cachedatabase.h"
#include "dpkg_admin_dir.h"
#include "dpkg_listing.h"
#include "engine_recorder.h"
#include "engine_test_setup.h"
#include "local_https_server.h"
#include "store_test_setup.h"
#include "task/apt_install_manager.h"
#include "task/task_manager.h"
#include "test_env.h"
#include "utils/utils.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

const QString kUser = QStringLiteral("twk-tester");
const QString kHttpDeb = QStringLiteral("twk-test-http");
const QString kImmutable = QStringLiteral("twk-test-hello");
constexpr int kIdlePeriodMs = 200;
constexpr int kStayed = 42;

QString sha256Of(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// Runs the application's event loop until the idle exit quits it (0) or
// limitMs pass (kStayed).
int runEventLoop(int limitMs)
{
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, [] { QCoreApplication::exit(kStayed); });
    limit.start(limitMs);
    return QCoreApplication::exec();
}

} // namespace

// The runners beyond apt's own downloads, reached the way the bus object
// reaches them: through the install manager's intake.
class TestRunnerRoutes : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void httpDownloadInstallsArchive();
    void httpTasksStoppedAtStartAllEnd();
    void tarBundleRunsItsScript_data();
    void tarBundleRunsItsScript();
    void immutableSystemInstallsAndPurges();
    void kaplaRemovalRunsKaplaUninstall();

private:
    void addTask(Apt_Task task);
    // A store task that downloads name's file from the local HTTPS server.
    Apt_Task httpTask(const QString &name, const QByteArray &contents) const;

    QTemporaryDir m_dir;
    EngineTestSetup m_setup;
    LocalHttpsServer m_server;
    AptInstallManager *m_manager = nullptr;
    EngineRecorder m_recorded;
};

void TestRunnerRoutes::initTestCase()
{
    QVERIFY(m_setup.repository().addPackage(kHttpDeb, QStringLiteral("1.0")));
    QVERIFY(m_setup.repository().addPackage(kImmutable, QStringLiteral("1.0")));
    QVERIFY2(m_setup.start(qEnvironmentVariable("TWK_CHILDRENGUARD_STANDIN"),
                           {kUser + QStringLiteral("=2")}, 0),
             qPrintable(m_setup.errorString()));
    QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
    QVERIFY(StoreTestSetup::pointAt(m_server, m_dir.path()));

    m_manager = new AptInstallManager;
    m_recorded.attach(m_manager);
}

void TestRunnerRoutes::cleanupTestCase()
{
    if (m_manager) {
        m_manager->stopThread();
        delete m_manager;
    }
    QCoreApplication::removePostedEvents(this);
    CacheDatabase::instance()->stop();
    TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("--purge"),
                                              QStringLiteral("--force-all"), kHttpDeb, kImmutable});
}

void TestRunnerRoutes::addTask(Apt_Task task)
{
    QVERIFY(QMetaObject::invokeMethod(m_manager, "addDownloadPoolTask", Qt::QueuedConnection,
                                      Q_ARG(Apt_Task &, task)));
}

Apt_Task TestRunnerRoutes::httpTask(const QString &name, const QByteArray &contents) const
{
    Apt_Task task = EngineTestSetup::storeTask(name, kUser);
    task.pkgInstallMode = 1;
    task.channelId = QStringLiteral("7");
    task.downloadLink = m_server.baseUrl().toString() + QStringLiteral("pool/") + name;
    task.sha256 = sha256Of(contents);
    task.totalSize = contents.size();
    task.isFirstInstall = true;
    return task;
}

// A store task with a channel downloads its archive over verified HTTPS and
// installs that very file; the rows and the final message are those of any
// store install.
void TestRunnerRoutes::httpDownloadInstallsArchive()
{
    const QByteArray deb =
        TestEnv::readFile(m_setup.repository().debPath(kHttpDeb, QStringLiteral("1.0")));
    QVERIFY(!deb.isEmpty());
    QVERIFY(m_server.addFile(QStringLiteral("pool/") + kHttpDeb, deb));
    m_recorded.progress.clear();
    addTask(httpTask(kHttpDeb, deb));

    QVERIFY2(m_recorded.waitForFinal(kHttpDeb), "the task never ended");
    const EngineProgress final = m_recorded.finalOf(kHttpDeb);
    QVERIFY2(final.progress >= 0, qPrintable(final.status));
    QVERIFY(m_recorded.hasProgress(kHttpDeb, 0));
    QVERIFY(DpkgListing::field(kHttpDeb, QStringLiteral("Status"))
                .contains(QLatin1String("install ok installed")));
    const QJsonObject brief = QJsonDocument::fromJson(final.status.toUtf8())
                                  .object()
                                  .value(QLatin1String("appBriefInfo"))
                                  .toObject();
    QCOMPARE(brief.value(QLatin1String("package_name")).toString(), kHttpDeb);
    // The rows are written after the final message went out.
    QTRY_VERIFY(m_recorded.notifications.contains(
        QStringLiteral("{\"appName\":\"twk-test-http\",\"logname\":\"twk-tester\",\"opt\":1,"
                       "\"packageName\":\"twk-test-http\"}")));
    QCOMPARE(EngineTestSetup::historyRow(kHttpDeb,
                                         {QStringLiteral("operation"), QStringLiteral("result"),
                                          QStringLiteral("channelId")}),
             (QStringList{QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("7")}));
    QCOMPARE(EngineTestSetup::firstRow(QStringLiteral("app_install_status"),
                                       QStringLiteral("package_name"), kHttpDeb,
                                       {QStringLiteral("app_status")}),
             QStringList{QStringLiteral("0")});
    QVERIFY(m_manager->getAptOperationList().isEmpty());

    m_recorded.purgeResults.clear();
    Apt_Task purge = httpTask(kHttpDeb, deb);
    purge.taskType = 1;
    m_manager->addPurgeTask(purge);
    QTRY_VERIFY_WITH_TIMEOUT(!m_recorded.purgeResults.isEmpty(), 120000);
    QCOMPARE(m_recorded.purgeResults, QList<bool>{true});
}

// Downloads keep the daemon from its idle exit while they run; a second
// request for a package in work is dropped; and every one of a burst of
// tasks stopped at once ends, queued or running, so that the daemon can
// leave again.
void TestRunnerRoutes::httpTasksStoppedAtStartAllEnd()
{
    constexpr int kCount = 200;
    const QByteArray contents(4096, 'z');
    QStringList names;
    for (int i = 0; i < kCount; ++i) {
        names << QStringLiteral("twk-stop-%1").arg(i);
        QVERIFY(m_server.addFile(QStringLiteral("pool/") + names.last(), contents));
        LocalHttpsServer::Route stall;
        stall.stallSeconds = 20;
        QVERIFY(m_server.setRoute(QStringLiteral("/pool/") + names.last(), stall));
    }
    TaskManager::instance()->setInterval(kIdlePeriodMs);
    for (const QString &name : std::as_const(names))
        addTask(httpTask(name, contents));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Http Task.*existed!")));
    addTask(httpTask(names.first(), contents));
    QCOMPARE(runEventLoop(10 * kIdlePeriodMs), kStayed);
    QCOMPARE(m_manager->getAptOperationList().size(), kCount);

    for (const QString &name : std::as_const(names)) {
        Apt_Task stop = httpTask(name, contents);
        m_manager->stopTask(stop);
    }
    QCOMPARE(runEventLoop(30000), 0);
    QTRY_VERIFY(m_manager->getAptOperationList().isEmpty());
    for (const QString &name : std::as_const(names))
        QVERIFY(EngineTestSetup::historyRow(name, {QStringLiteral("operation")}).isEmpty());
}

// A bundle that is no Debian package goes to the tar runner whoever asked;
// its script's success is the install's, as dpkg knows nothing of it.
void TestRunnerRoutes::tarBundleRunsItsScript_data()
{
    QTest::addColumn<QString>("sourceId");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("local"); // a file of this machine, no download
    QTest::newRow("store") << QStringLiteral("velkor-app-store") << QStringLiteral("twk-bundle-a")
                           << false;
    QTest::newRow("another requester")
        << QStringLiteral("com.example.tool") << QStringLiteral("twk-bundle-b") << false;
    QTest::newRow("local file") << QStringLiteral("velkor-app-store")
                                << QStringLiteral("twk-bundle-c") << true;
}

void TestRunnerRoutes::tarBundleRunsItsScript()
{
    QFETCH(QString, sourceId);
    QFETCH(QString, name);
    QFETCH(bool, local);
    const QString calls = m_dir.filePath(name + QStringLiteral(".calls"));
    const QString tree = m_dir.filePath(name);
    QVERIFY(TestEnv::writeFile(tree + QStringLiteral("/install_clean.sh"),
                               "echo \"$2\" >> " + calls.toUtf8() + "\n"));
    const QString bundle = tree + QStringLiteral(".tar");
    QVERIFY(TestEnv::runTool(QStringLiteral("tar"),
                             {QStringLiteral("-cf"), bundle, QStringLiteral("-C"), tree,
                              QStringLiteral("install_clean.sh")})
                .succeeded());
    const QByteArray contents = TestEnv::readFile(bundle);
    QVERIFY(m_server.addFile(QStringLiteral("pool/") + name, contents));
    m_recorded.progress.clear();
    m_recorded.hookReleases.clear();
    Apt_Task task = httpTask(name, contents);
    task.sourceId = sourceId;
    if (local) {
        task.downloadLink = QStringLiteral("file://") + bundle;
        m_manager->addLocalInstallTask(task);
    } else {
        addTask(task);
    }

    QTRY_VERIFY_WITH_TIMEOUT(
        m_recorded.hookReleases.contains(name) || m_recorded.finalOf(name).state >= 0, 60000);
    QCOMPARE(QString::fromUtf8(TestEnv::readFile(calls)), QStringLiteral("install\n"));
    if (sourceId == QLatin1String("velkor-app-store")) {
        QVERIFY2(m_recorded.finalOf(name).progress >= 0,
                 qPrintable(m_recorded.finalOf(name).status));
        QTRY_COMPARE(EngineTestSetup::historyRow(name, {QStringLiteral("operation")}),
                     QStringList{QStringLiteral("1")});
    } else {
        QCOMPARE(m_recorded.finalOf(name).state, -1);
    }
    QVERIFY(!QFileInfo::exists(AppStore::Utils::cacheDir() + name + QStringLiteral(".tar")));
}

// The stand-in says the system is immutable: its own installer installs and
// purges with the system's apt configuration, which names the test
// repository.
void TestRunnerRoutes::immutableSystemInstallsAndPurges()
{
    const QByteArray path = qgetenv("PATH");
    const QByteArray aptConfig = qgetenv("APT_CONFIG");
    const auto restore = qScopeGuard([&] {
        qputenv("PATH", path);
        qputenv("APT_CONFIG", aptConfig);
        qunsetenv("TWK_IMMUTABLE_MODE");
    });
    qputenv("PATH", TestEnv::standinsDir().toUtf8() + ':' + path);
    qputenv("TWK_IMMUTABLE_MODE", "true");
    for (const QString &entry : m_setup.repository().environment())
        qputenv(entry.section(u'=', 0, 0).toUtf8(), entry.section(u'=', 1).toUtf8());
    QVERIFY(TestEnv::runTool(QStringLiteral("apt-get"), {QStringLiteral("update")}).succeeded());

    const QRegularExpression immutableRun(QStringLiteral("ImmutableInstallAndRemoveTask.*apt-get"));
    QTest::ignoreMessage(QtDebugMsg, immutableRun);
    m_recorded.progress.clear();
    addTask(EngineTestSetup::storeTask(kImmutable, kUser));
    QVERIFY2(m_recorded.waitForFinal(kImmutable), "the install never ended");
    QVERIFY2(m_recorded.finalOf(kImmutable).progress >= 0,
             qPrintable(m_recorded.finalOf(kImmutable).status));
    QVERIFY(DpkgListing::field(kImmutable, QStringLiteral("Status"))
                .contains(QLatin1String("install ok installed")));

    QTest::ignoreMessage(QtDebugMsg, immutableRun);
    m_recorded.purgeResults.clear();
    Apt_Task purge = EngineTestSetup::storeTask(kImmutable, kUser);
    purge.taskType = 1;
    m_manager->addPurgeTask(purge);
    QTRY_VERIFY_WITH_TIMEOUT(!m_recorded.purgeResults.isEmpty(), 120000);
    QCOMPARE(m_recorded.purgeResults, QList<bool>{true});
    QVERIFY(!DpkgListing::field(kImmutable, QStringLiteral("Status"))
                 .contains(QLatin1String("install ok installed")));
}

// A removal of what the kapla tool lists is handed back to the intake as a
// kapla removal and runs the tool's uninstall, reported as any store purge.
void TestRunnerRoutes::kaplaRemovalRunsKaplaUninstall()
{
    const QString app = QStringLiteral("org.twk.KaplaApp");
    const QString record = m_dir.filePath(QStringLiteral("kapla-runs"));
    QVERIFY(TestEnv::writeFile(m_dir.filePath(QStringLiteral("kapla.json")),
                               "{\"apps\": [{\"id\": \"" + app.toUtf8() +
                                   "\", \"version\": \"1.0\", \"kind\": \"app\"}]}"));
    const QByteArray path = qgetenv("PATH");
    const auto restore = qScopeGuard([&] {
        qputenv("PATH", path);
        qunsetenv("TWK_KAPLA_DATA");
        qunsetenv("TWK_KAPLA_RECORD");
    });
    TestEnv::useStandins();
    qputenv("TWK_KAPLA_DATA", QFile::encodeName(m_dir.filePath(QStringLiteral("kapla.json"))));
    qputenv("TWK_KAPLA_RECORD", QFile::encodeName(record));
    {
        // kapla applications are looked for only where its runtime is
        // installed; the answer is kept.
        DpkgAdminDir runtime;
        QVERIFY(runtime.write(QStringLiteral("kapla-bin"), QStringLiteral("1.5")));
        runtime.activate();
        QVERIFY(AppStore::Utils::isKaplaSupported(true));
    }

    m_recorded.purgeResults.clear();
    m_recorded.purgeStarts.clear();
    m_recorded.notifications.clear();
    Apt_Task removal = EngineTestSetup::storeTask(app, kUser);
    removal.taskType = 1;
    removal.pkgInstallMode = 1;
    m_manager->addPurgeTask(removal);
    QTRY_VERIFY_WITH_TIMEOUT(!m_recorded.purgeResults.isEmpty(), 60000);
    QCOMPARE(m_recorded.purgeResults, QList<bool>{true});
    QCOMPARE(m_recorded.purgeStarts, QStringList{app});
    QTRY_VERIFY(m_recorded.notifications.contains(
        QStringLiteral("{\"appName\":\"%1\",\"logname\":\"twk-tester\",\"opt\":5,"
                       "\"packageName\":\"%1\"}")
            .arg(app)));
    const QByteArray runs = TestEnv::readFile(record);
    const QByteArray uninstall =
        QByteArray("\"uninstall\", \"") + app.toUtf8() + "\", \"--all\", \"--prune\"";
    QVERIFY2(runs.contains(uninstall), runs.constData());
}

QTEST_GUILESS_MAIN(TestRunnerRoutes)
#include "tst_runner_routes.moc"
