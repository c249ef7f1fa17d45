#include "common/apt_task.h"
#include "database/appstoredb.h"
#include "database/cachedatabase.h"
#include "dpkg_listing.h"
#include "engine_recorder.h"
#include "engine_test_setup.h"
#include "task/apt_install_manager.h"
#include "test_env.h"
#include "utils/utils.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

using AppStore::Utils;

namespace {

const QString kStore = QStringLiteral("velkor-app-store");
const QString kHello = QStringLiteral("twk-test-hello");
const QString kUser = QStringLiteral("twk-tester");

using Progress = EngineProgress;

int statusCode(const QString &json)
{
    return QJsonDocument::fromJson(json.toUtf8()).object().value(QLatin1String("code")).toInt(-1);
}

} // namespace

// The manager drives real apt-get runs against a loopback repository through
// the daemon's private apt configuration, which lives in a temporary tree;
// both databases are temporary files.
class TestAptInstallManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void refusedTasks_data();
    void refusedTasks();
    void installThenPurge();

private:
    void addTask(Apt_Task task);
    QStringList installStatusRow(const QString &package);
    int indexedFileCount(const QString &package);

    EngineTestSetup m_setup;
    AptInstallManager *m_manager = nullptr;
    EngineRecorder m_recorded;
};

void TestAptInstallManager::initTestCase()
{
    // The final progress is the Installed-Size in KiB: 0 without one, whatever the unit.
    LocalAptRepository::PackageOptions sized;
    sized.controlFields.insert(QStringLiteral("Installed-Size"), QStringLiteral("7"));
    // A slow server, so that the download lasts several progress ticks.
    QVERIFY2(m_setup.repository().addStandardPackages() &&
                 m_setup.repository().addPackage(kHello, QStringLiteral("1.0"), sized) &&
                 m_setup.start(qEnvironmentVariable("TWK_CHILDRENGUARD_STANDIN"),
                               {kUser + QStringLiteral("=2")}, 2048),
             qPrintable(m_setup.errorString()));

    m_manager = new AptInstallManager;
    m_recorded.attach(m_manager);
}

void TestAptInstallManager::cleanupTestCase()
{
    if (m_manager) {
        m_manager->stopThread();
        delete m_manager;
    }
    CacheDatabase::instance()->stop();
    TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("--purge"), kHello});
}

// As the bus object hands a task over: queued, by name, with a reference.
void TestAptInstallManager::addTask(Apt_Task task)
{
    QVERIFY(QMetaObject::invokeMethod(m_manager, "addDownloadPoolTask", Qt::QueuedConnection,
                                      Q_ARG(Apt_Task &, task)));
}

QStringList TestAptInstallManager::installStatusRow(const QString &package)
{
    return EngineTestSetup::firstRow(
        QStringLiteral("app_install_status"), QStringLiteral("package_name"), package,
        {QStringLiteral("app_status"), QStringLiteral("app_name"), QStringLiteral("owner_role")});
}

int TestAptInstallManager::indexedFileCount(const QString &package)
{
    int count = -1;
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("index-check"));
        db.setDatabaseName(CacheDatabase::databasePath());
        if (db.open()) {
            QSqlQuery query(db);
            query.prepare(
                QStringLiteral("SELECT COUNT(*) FROM package_binary_file WHERE packageName = ?"));
            query.addBindValue(package);
            if (query.exec() && query.next())
                count = query.value(0).toInt();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("index-check"));
    return count;
}

// Tasks that no runner may take end at once as a failed download, leave no
// history row and let the hook cache go; nothing reaches a package tool.
void TestAptInstallManager::refusedTasks_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("installMode");
    QTest::addColumn<QString>("channelId");

    QTest::newRow("shell text in name") << "twk-test-x;reboot"
                                        << "1.0" << 1 << "";
    QTest::newRow("option as name") << "-oAPT::Get=1"
                                    << "" << 1 << "";
    QTest::newRow("path in version") << "twk-test-ver"
                                     << "1.0/../../x" << 1 << "";
    QTest::newRow("unknown install mode") << "twk-test-mode"
                                          << "1.0" << 3 << "";
}

void TestAptInstallManager::refusedTasks()
{
    QFETCH(QString, name);
    QFETCH(QString, version);
    QFETCH(int, installMode);
    QFETCH(QString, channelId);
    m_recorded.progress.clear();
    m_recorded.hookReleases.clear();

    Apt_Task task = EngineTestSetup::storeTask(name, kUser);
    task.version = version;
    task.pkgInstallMode = installMode;
    task.channelId = channelId;
    task.totalSize = 4096;
    addTask(task);

    QTRY_COMPARE(m_recorded.progress.size(), 1);
    const Progress end = m_recorded.progress.first();
    QCOMPARE(end.id, kStore);
    QCOMPARE(end.package, name);
    QCOMPARE(end.state, 0);
    QCOMPARE(end.total, 4096);
    QCOMPARE(end.progress, -1);
    QCOMPARE(statusCode(end.status), 500);
    QTRY_VERIFY(m_recorded.hookReleases.contains(name));
    // Anything the intake queued has run by now.
    QVERIFY(QMetaObject::invokeMethod(
        m_manager, [] {}, Qt::BlockingQueuedConnection));
    QVERIFY(EngineTestSetup::historyRow(name, {QStringLiteral("operation")}).isEmpty());
}

void TestAptInstallManager::installThenPurge()
{
    m_recorded.progress.clear();
    m_recorded.notifications.clear();
    Apt_Task task = EngineTestSetup::storeTask(kHello, kUser);
    task.appType = QStringLiteral("3"); // unlike the state "0" of its install row
    addTask(task);

    // The intake's row, before anything was downloaded.
    QTRY_COMPARE(EngineTestSetup::historyRow(kHello, {QStringLiteral("operation")}).value(0),
                 QStringLiteral("6"));

    // The final message is the one carrying the completion marker.
    QTRY_VERIFY_WITH_TIMEOUT(
        !m_recorded.progress.isEmpty() &&
            m_recorded.progress.last().status.contains(QLatin1String("[Session Complete...]")),
        240000);
    const Progress final = m_recorded.progress.last();
    QVERIFY2(final.progress != -1, qPrintable(final.status));

    // Download phase first, then the install phase, then the final message.
    int firstInstall = 0;
    while (firstInstall < m_recorded.progress.size() &&
           m_recorded.progress.at(firstInstall).state == 0)
        ++firstInstall;
    QVERIFY2(firstInstall >= 2, "no download progress before the download ended");
    for (int i = firstInstall; i < m_recorded.progress.size(); ++i)
        QCOMPARE(m_recorded.progress.at(i).state, 1);
    for (const Progress &p : std::as_const(m_recorded.progress)) {
        QCOMPARE(p.id, kStore);
        QCOMPARE(p.package, kHello);
    }
    const Progress downloaded = m_recorded.progress.at(firstInstall - 1);
    QVERIFY(downloaded.total > 0);
    QCOMPARE(downloaded.progress, downloaded.total);
    QCOMPARE(statusCode(downloaded.status), 200);
    for (int i = 0; i < firstInstall - 1; ++i) {
        const Progress &p = m_recorded.progress.at(i);
        QCOMPARE(p.total, downloaded.total);
        QVERIFY(p.progress >= 0 && p.progress < p.total);
        QCOMPARE(p.status, QStringLiteral("{\"code\":0,\"error\":\"\",\"output\":\"\"}"));
    }
    // Install progress and output lines (total -1, progress 0) lie between.
    QVERIFY2(m_recorded.progress.size() - firstInstall >= 2, "no install progress");
    for (int i = firstInstall; i < m_recorded.progress.size() - 1; ++i) {
        const Progress &p = m_recorded.progress.at(i);
        if (p.total == -1)
            QCOMPARE(p.progress, 0);
        else
            QVERIFY(p.progress >= 0 && p.progress <= p.total);
    }

    const qlonglong installedKiB =
        DpkgListing::field(kHello, QStringLiteral("Installed-Size")).toLongLong();
    QCOMPARE(final.total, installedKiB);
    QCOMPARE(final.progress, installedKiB);
    QCOMPARE(final.status,
             QStringLiteral("{\"appBriefInfo\":{\"package_mode\":0,\"package_name\":\"twk-test-"
                            "hello\",\"pkgInstallMode\":1},\"code\":{\"code\":0},\"detail\":{"
                            "\"content\":\"\\n[Session Complete...]\\n\",\"option\":\"\","
                            "\"title\":\"\"}}"));
    QTRY_VERIFY(m_recorded.notifications.contains(
        QStringLiteral("{\"appName\":\"twk-test-hello\",\"logname\":\"twk-tester\",\"opt\":1,"
                       "\"packageName\":\"twk-test-hello\"}")));

    const QStringList history = EngineTestSetup::historyRow(
        kHello,
        {QStringLiteral("operation"), QStringLiteral("result"), QStringLiteral("version"),
         QStringLiteral("appSize"), QStringLiteral("sessionId"), QStringLiteral("owner_role")});
    QCOMPARE(history.mid(0, 4),
             (QStringList{QStringLiteral("1"), QStringLiteral("1"), QStringLiteral("1.0"),
                          QString::number(installedKiB)}));
    QVERIFY2(QRegularExpression(QStringLiteral("^[0-9]{1,7}[0-9a-f]{32}$"))
                 .match(history.value(4))
                 .hasMatch(),
             qPrintable(history.value(4)));
    QCOMPARE(history.value(5), QStringLiteral("2"));
    QCOMPARE(installStatusRow(kHello),
             (QStringList{QStringLiteral("0"), kHello, QStringLiteral("2")}));
    QTRY_VERIFY_WITH_TIMEOUT(indexedFileCount(kHello) > 0, 120000);

    // Removal, as the bus object asks for it: straight from its own thread.
    m_recorded.notifications.clear();
    task.taskType = 1;
    m_manager->addPurgeTask(task);
    QTRY_VERIFY_WITH_TIMEOUT(!m_recorded.purgeResults.isEmpty(), 120000);
    QCOMPARE(m_recorded.purgeResults, QList<bool>{true});
    QVERIFY(m_recorded.purgeStarts.contains(kHello));
    QTRY_VERIFY(m_recorded.notifications.contains(
        QStringLiteral("{\"appName\":\"twk-test-hello\",\"logname\":\"twk-tester\",\"opt\":5,"
                       "\"packageName\":\"twk-test-hello\"}")));
    QCOMPARE(EngineTestSetup::historyRow(kHello, {QStringLiteral("operation")}).value(0),
             QStringLiteral("2"));
    QCOMPARE(installStatusRow(kHello).value(0), QStringLiteral("1"));
    QVERIFY(!DpkgListing::field(kHello, QStringLiteral("Status"))
                 .contains(QLatin1String("install ok installed")));
}

QTEST_GUILESS_MAIN(TestAptInstallManager)
#include "tst_apt_install_manager.moc"
