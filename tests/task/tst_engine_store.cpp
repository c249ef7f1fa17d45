#include "dpkg_listing.h"
#include "engine_recorder.h"
#include "engine_test_setup.h"
#include "local_https_server.h"
#include "store_test_setup.h"
#include "test_env.h"

#include "common/apt_task.h"
#include "database/appstoredb.h"
#include "database/cachedatabase.h"
#include "service/app_brief_info_interface.h"
#include "service/service.h"
#include "service/thread_pool_manager.h"
#include "task/apt_install_manager.h"
#include "utils/utils.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kUser = QStringLiteral("twk-tester");
const QString kKnown = QStringLiteral("twk-test-known");
const QString kUnknown = QStringLiteral("twk-test-unknown");
const QString kMoved = QStringLiteral("twk-test-moved");
const QString kStoreClient = QStringLiteral("velkor-app-store");
const QString kBriefPath = QStringLiteral("/store-dist-app/getAppBriefInfo?package_names=");

// The event types of the statistics requests whose User-Agent holds marker.
QStringList eventTypes(const LocalHttpsServer &server, const QString &marker)
{
    QStringList types;
    const QList<LocalHttpsServer::Request> log = server.requestLog();
    for (const LocalHttpsServer::Request &request : log) {
        const QString agent = request.headers.value(QStringLiteral("User-Agent"));
        if (request.path == QLatin1String("/upload/downstat") && agent.contains(marker))
            types.append(agent.section(u' ', 0, 0).section(u'/', 1));
    }
    return types;
}

} // namespace

// What an install through the manager tells the store and the statistics
// service, against a local HTTPS server standing in for both.
class TestEngineStore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        LocalAptRepository &repository = m_setup.repository();
        LocalAptRepository::PackageOptions channel;
        channel.controlFields.insert(QStringLiteral("XB-channel"), QStringLiteral("chan-x"));
        QVERIFY(repository.addPackage(kKnown, QStringLiteral("1.0"), channel));
        QVERIFY(repository.addPackage(kUnknown, QStringLiteral("1.0")));
        QVERIFY(repository.addPackage(kMoved, QStringLiteral("1.0")));
        const bool realClient =
            TestEnv::runTool(
                QStringLiteral("dpkg-query"),
                {QStringLiteral("-W"), QStringLiteral("-f=${db:Status-Status}"), kStoreClient})
                .outputText() == QLatin1String("installed");
        m_withDummyClient = !realClient;
        if (m_withDummyClient) {
            LocalAptRepository::PackageOptions dummy;
            dummy.controlFields.insert(LocalAptRepository::dummyMarkField(), QStringLiteral("yes"));
            QVERIFY(repository.addPackage(kStoreClient, QStringLiteral("1.0"), dummy));
        }
        QVERIFY2(m_setup.start(qEnvironmentVariable("TWK_CHILDRENGUARD_STANDIN"),
                               {kUser + QStringLiteral("=2")}, 0),
                 qPrintable(m_setup.errorString()));
        QVERIFY(m_dir.isValid());
        QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
        QVERIFY(StoreTestSetup::pointAt(m_server, m_dir.path()));
        QVERIFY(m_server.setRoute(QStringLiteral("/upload/downstat"), {200, "", 0, false}));
        QVERIFY(m_server.setRoute(
            kBriefPath + kKnown, {200,
                                  "{\"status\":200,\"datas\":[{\"package_name\":\"twk-test-known\","
                                  "\"appid\":42,\"package_version\":\"1.0\",\"name\":\"Known\"}]}",
                                  0, false}));
        QVERIFY(m_server.setRoute(kBriefPath + kUnknown, {503, "", 0, false}));
        QVERIFY(m_server.setRoute(
            kBriefPath + kMoved, {200,
                                  "{\"status\":200,\"datas\":[{\"package_name\":\"twk-test-moved\","
                                  "\"appid\":7,\"package_version\":\"1.0\",\"name\":\"Moved\"}]}",
                                  0, false}));
        Service::instance()->setTimeout(2000);

        m_manager = new AptInstallManager;
        m_recorded.attach(m_manager);
        // Stands in for the apt-update thread: the request is served at once.
        connect(
            m_manager, &AptInstallManager::sigAptUpdate, m_manager,
            [] {
                AppStore::Utils::startAptUpdateTask();
                AppStore::Utils::AptUpdateFinish(QDateTime::currentDateTime(), true);
            },
            Qt::DirectConnection);
        connect(m_manager, &AptInstallManager::sigAptInstRm, this,
                [this](QString name, bool installed) {
                    // The client learns of the record before the install ends.
                    QCOMPARE(m_recorded.finalOf(name).state, -1);
                    m_announced.append(
                        name + (installed ? QStringLiteral(":in") : QStringLiteral(":out")));
                });
    }

    void cleanupTestCase()
    {
        if (m_manager) {
            m_manager->stopThread();
            delete m_manager;
        }
        QCoreApplication::removePostedEvents(this);
        CacheDatabase::instance()->stop();
        ThreadPoolManager::instance()->stopThread();
        QStringList purge{QStringLiteral("--purge"), kKnown, kUnknown, kMoved};
        if (m_withDummyClient)
            purge.append(kStoreClient);
        TestEnv::runTool(QStringLiteral("dpkg"), purge);
    }

    // With the user's agreement the events go out; a package the store
    // knows joins the published list and is announced.
    void knownPackageWithAgreement()
    {
        setAgreement(true);
        addTask(EngineTestSetup::storeTask(kKnown, kUser));
        QVERIFY(m_recorded.waitForFinal(kKnown));
        QCOMPARE(m_recorded.finalOf(kKnown).progress, m_recorded.finalOf(kKnown).total);
        QTRY_COMPARE_WITH_TIMEOUT(
            eventTypes(m_server, QStringLiteral(" app_id/42 ")),
            QStringList({QStringLiteral("41"), QStringLiteral("42"), QStringLiteral("43")}), 20000);
        QCOMPARE(m_announced, QStringList{kKnown + QStringLiteral(":in")});
        QCOMPARE(EngineTestSetup::firstRow(QStringLiteral("LocalOnTheShelvesAPP"),
                                           QStringLiteral("package_name"), kKnown,
                                           {QStringLiteral("appid")}),
                 QStringList{QStringLiteral("42")});

        // The installed package's own channel answers the install path.
        QSignalSpy found(AppBriefInfoInterface::instance(),
                         &AppBriefInfoInterface::sigGetAppBriefInfoFinished);
        AppBriefInfoInterface::instance()->getAppBriefInfo(QStringLiteral("id"), kKnown);
        QVERIFY(found.wait(20000));
        QCOMPARE(found.first().at(1).value<StoreService::AppBriefInfo>().channelId,
                 QStringLiteral("chan-x"));
        AppBriefInfoInterface::instance()->stopThread();
    }

    // Without agreement nothing is reported; with the store down the rest
    // of the completion still runs.
    void storeDownWithoutAgreement()
    {
        setAgreement(false);
        const int before = eventTypes(m_server, QString()).size();
        addTask(EngineTestSetup::storeTask(kUnknown, kUser));
        QVERIFY(m_recorded.waitForFinal(kUnknown));
        QCOMPARE(m_recorded.finalOf(kUnknown).progress, m_recorded.finalOf(kUnknown).total);
        QTest::qWait(500);
        QCOMPARE(eventTypes(m_server, QString()).size(), before);
        QVERIFY(!m_announced.contains(kUnknown + QStringLiteral(":in")));
        QCOMPARE(EngineTestSetup::historyRow(kUnknown, {QStringLiteral("operation")}),
                 QStringList{QStringLiteral("1")});
    }

    // Installing the store client tells the store its new version.
    void storeClientVersion()
    {
        if (!m_withDummyClient)
            QSKIP("the machine runs a real store client");
        addTask(EngineTestSetup::storeTask(kStoreClient, kUser));
        QVERIFY(m_recorded.waitForFinal(kStoreClient));
        // Set once the final progress went out.
        QTRY_COMPARE_WITH_TIMEOUT(Service::instance()->getHeaderInfo().client_version,
                                  QStringLiteral("1.0"), 5000);
    }

    // A version the repository no longer has is asked of the store again,
    // and the retry installs the version the store gives now.
    void retriedWithTheStoresVersion()
    {
        Apt_Task task = EngineTestSetup::storeTask(kMoved, kUser);
        task.version = QStringLiteral("0.9");
        addTask(task);
        QVERIFY(m_recorded.waitForFinal(kMoved));
        QCOMPARE(m_recorded.finalOf(kMoved).progress, m_recorded.finalOf(kMoved).total);
        QCOMPARE(DpkgListing::field(kMoved, QStringLiteral("Version")), QStringLiteral("1.0"));
    }

private:
    static void setAgreement(bool on)
    {
        QString value = on ? QStringLiteral("1") : QStringLiteral("0");
        AppstoreDb::instance()->updateSettingByColumnName(QStringLiteral("agreeSign"), value);
    }

    void addTask(Apt_Task task)
    {
        QVERIFY(QMetaObject::invokeMethod(m_manager, "addDownloadPoolTask", Qt::QueuedConnection,
                                          Q_ARG(Apt_Task &, task)));
    }

    EngineTestSetup m_setup;
    QTemporaryDir m_dir;
    LocalHttpsServer m_server;
    AptInstallManager *m_manager = nullptr;
    EngineRecorder m_recorded;
    QStringList m_announced;
    bool m_withDummyClient = false;
};

QTEST_GUILESS_MAIN(TestEngineStore)
#include "tst_engine_store.moc"
