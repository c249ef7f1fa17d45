#include "appstoredb_test_file.h"
#include "daemon_under_test.h"
#include "dpkg_listing.h"
#include "engine_test_setup.h"
#include "local_apt_repository.h"
#include "local_https_server.h"
#include "private_system_bus.h"
#include "server_process.h"
#include "store_test_setup.h"
#include "system_file_guard.h"
#include "test_env.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

// Installed at 1.0 with 1.1 published: the store marks the first a forced
// update, the second an ordinary one.
const QString kForced = QStringLiteral("twk-test-upforced");
const QString kPlain = QStringLiteral("twk-test-upplain");
const QString kStateDir = QStringLiteral("/var/lib/tarnwick-daemon/");
const QString kArchives = QStringLiteral("/var/cache/velkor/tarnwick-daemon/archives/");

QByteArray storeRecord(const QString &package, int forced)
{
    return QJsonDocument(
               QJsonObject{{QStringLiteral("id"), QString(package + QStringLiteral("-id"))},
                           {QStringLiteral("package_name"), package},
                           {QStringLiteral("package_version"), QStringLiteral("1.1")},
                           {QStringLiteral("name"), QStringLiteral("Upgrade road")},
                           {QStringLiteral("is_forced_update"), forced},
                           {QStringLiteral("pkgInstallMode"), 1},
                           {QStringLiteral("isSpecificPkg"), 0}})
        .toJson(QJsonDocument::Compact);
}

QStringList packagesOf(const QStringList &jsons)
{
    QStringList names;
    for (const QString &json : jsons)
        names << QJsonDocument::fromJson(json.toUtf8())
                     .object()
                     .value(QStringLiteral("package_name"))
                     .toString();
    return names;
}

} // namespace

// The real daemon on a private bus checks the installed packages against a
// local HTTPS store: forced updates are installed silently, ordinary ones
// are announced and, while "freeDownload" is on, fetched ahead.
class TestBusUpgradeCheck : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<SystemFileGuard> m_guard;
    LocalAptRepository m_repository;
    LocalHttpsServer m_store;
    PrivateSystemBus m_bus;
    ServerProcess m_networkManager;
    std::unique_ptr<DaemonUnderTest> m_daemon;
    std::unique_ptr<QDBusInterface> m_appstore;

    // The daemon's lines about the checks and the package runs.
    QString daemonTail() const
    {
        QStringList lines;
        for (const QString &line : m_daemon->logLines())
            if (line.contains(QLatin1String("pgrade")) || line.contains(QLatin1String("apt")) ||
                line.contains(QLatin1String("Apt")))
                lines << line.left(300);
        return lines.mid(lines.size() - 40).join(u'\n');
    }

    bool callSetting(const QString &value)
    {
        return m_appstore
                   ->call(QStringLiteral("SetConfigByNodeName"), QStringLiteral("freeDownload"),
                          value)
                   .type() != QDBusMessage::ErrorMessage;
    }

    // Runs one check and answers its notification's package names. The
    // first check waits for the daemon's index update, long enough to see
    // the check status true while it runs; it is false after.
    QStringList runCheck(bool watchStatus)
    {
        QSignalSpy notified(m_appstore.get(), SIGNAL(sigLocalAppsUpgradeNotify(QStringList)));
        QSignalSpy status(m_appstore.get(), SIGNAL(sigGetLocalUpgradeCheckStatus(bool)));
        m_appstore->call(QStringLiteral("CheckAppUpgrade"));
        if (watchStatus) {
            if (!TestEnv::waitFor(
                    [this] { return m_appstore->property("AppUpgradeCheckStatus").toBool(); },
                    60000))
                return {QStringLiteral("never seen running")};
            m_appstore->call(QStringLiteral("getLocalUpgradeCheckStatus"));
            if (!(status.wait(10000) || !status.isEmpty()) || !status.first().at(0).toBool())
                return {QStringLiteral("status signal not true while running")};
        }
        if (!(notified.wait(180000) || !notified.isEmpty()))
            return {QStringLiteral("no notification")};
        // The flag is cleared just after the notification leaves.
        if (!TestEnv::waitFor(
                [this] { return !m_appstore->property("AppUpgradeCheckStatus").toBool(); }, 5000))
            return {QStringLiteral("still running after the notification")};
        return packagesOf(notified.first().at(0).toStringList());
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_guard = std::make_unique<SystemFileGuard>(
            DaemonUnderTest::statePaths() +
            QStringList{QStringLiteral("/etc/apt/sources.list"),
                        QStringLiteral("/etc/apt/sources.list.d/appstore.list"),
                        QStringLiteral("/var/lib/apt/extended_states"),
                        QStringLiteral("/var/lib/apt/lists"),
                        QStringLiteral("/etc/velkor/velkor-app-store")});
        QVERIFY2(m_guard->isValid(), qPrintable(m_guard->errorString()));
        for (const QString &package : {kForced, kPlain})
            for (const char *version : {"1.0", "1.1"})
                QVERIFY(m_repository.addPackage(package, QString::fromLatin1(version)));
        QVERIFY2(m_repository.publish(), qPrintable(m_repository.errorString()));
        QVERIFY(EngineTestSetup::writeSystemSources(QStringLiteral("/etc/apt"),
                                                    m_repository.sourcesLine()));
        // The machine's own lists learn the repository alone, so that apt
        // lists both packages as upgradable.
        QVERIFY(TestEnv::runTool(QStringLiteral("apt-get"),
                                 {QStringLiteral("update"), QStringLiteral("-o"),
                                  QStringLiteral("Dir::Etc::SourceList=/etc/apt/sources.list.d/"
                                                 "appstore.list"),
                                  QStringLiteral("-o"),
                                  QStringLiteral("Dir::Etc::SourceParts=") + m_dir.path(),
                                  QStringLiteral("-o"), QStringLiteral("APT::Get::List-Cleanup=0")})
                    .succeeded());
        for (const QString &package : {kForced, kPlain})
            QVERIFY(TestEnv::runTool(QStringLiteral("dpkg"),
                                     {QStringLiteral("-i"),
                                      m_repository.debPath(package, QStringLiteral("1.0"))})
                        .succeeded());

        QVERIFY2(m_store.start(), qPrintable(m_store.errorString()));
        LocalHttpsServer::Route route;
        route.body = "{\"status\":200,\"datas\":[" + storeRecord(kForced, 2) + ',' +
                     storeRecord(kPlain, 0) + "]}";
        QVERIFY(m_store.setRoute(QStringLiteral("/store-dist-app/getAppBriefInfo"), route));
        // The start-up check of the store client itself learns nothing.
        LocalHttpsServer::Route none;
        none.body = "{\"status\":200,\"datas\":[]}";
        for (const char *query : {"getAppBriefInfo", "appUpgradeInfos"})
            QVERIFY(m_store.setRoute(QStringLiteral("/store-dist-app/%1?package_names="
                                                    "velkor-app-store")
                                         .arg(QLatin1String(query)),
                                     none));

        m_bus.allowService(QStringLiteral("org.freedesktop.NetworkManager"));
        QVERIFY2(!m_bus.start().isEmpty(), qPrintable(m_bus.errorString()));
        // Full connectivity, so that the daemon's index update counts.
        QVERIFY(m_networkManager.start(qEnvironmentVariable("TWK_NM_STANDIN"), {"70"},
                                       m_bus.environment()));
        m_daemon = std::make_unique<DaemonUnderTest>(m_bus);
        m_daemon->addEnvironment(StoreTestSetup::daemonEnvironment(m_store));
        QVERIFY2(m_daemon->start(true), qPrintable(m_daemon->logLines().join(u'\n')));
        m_appstore = std::make_unique<QDBusInterface>(
            QStringLiteral("com.tarnwick.daemon"), QStringLiteral("/appstore"),
            QStringLiteral("com.tarnwick.daemon.interface"), QDBusConnection::systemBus());
    }

    void cleanupTestCase()
    {
        if (m_daemon)
            QVERIFY(m_daemon->stop());
        for (const QString &package : {kForced, kPlain})
            TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("--purge"), package});
        m_guard.reset();
    }

    // The store's newer record of a package reaches the upgradable cache
    // through the published-list query alone.
    void latestListFillsTheCache()
    {
        QSignalSpy notified(m_appstore.get(), SIGNAL(sigLocalAppsUpgradeNotify(QStringList)));
        m_appstore->call(QStringLiteral("getCacheUpdateInfo"));
        QVERIFY(notified.wait(10000));
        QVERIFY(!packagesOf(notified.takeFirst().at(0).toStringList()).contains(kPlain));

        m_appstore->call(QStringLiteral("GetPackageLatestList"), QStringList{kPlain}, false);
        m_appstore->call(QStringLiteral("getCacheUpdateInfo"));
        QVERIFY(notified.wait(10000));
        QVERIFY(packagesOf(notified.takeFirst().at(0).toStringList()).contains(kPlain));
    }

    // With the switch off, a check announces the ordinary upgrade, installs
    // the forced one silently without a history row, and fetches nothing
    // ahead; with it on, the ordinary upgrade's archive is fetched and the
    // package stays as it was.
    void checkUpgradesSilentlyAndFetchesAhead()
    {
        QVERIFY(callSetting(QStringLiteral("0")));
        QSignalSpy started(m_appstore.get(), SIGNAL(sigStartInstall(QString, QString)));
        QSignalSpy progress(
            m_appstore.get(),
            SIGNAL(sigIntallProgress(QString, QString, int, qlonglong, qlonglong, QString)));

        const QStringList first = runCheck(true);
        if (first != QStringList{kPlain})
            qInfo().noquote() << daemonTail();
        QCOMPARE(first, QStringList{kPlain});
        QVERIFY2(TestEnv::waitFor(
                     [] {
                         return DpkgListing::field(kForced, QStringLiteral("Version")) ==
                                    QLatin1String("1.1") &&
                                DpkgListing::field(kForced, QStringLiteral("Status")) ==
                                    QLatin1String("install ok installed");
                     },
                     120000),
                 qPrintable(daemonTail()));
        QVERIFY(!started.isEmpty());
        QCOMPARE(started.first().at(0).toString(), QStringLiteral("SilentUpgrade"));
        QCOMPARE(started.first().at(1).toString(), kForced);
        QVERIFY(TestEnv::waitFor(
            [&progress] {
                return !progress.isEmpty() && progress.last().at(2).toInt() == 1 &&
                       progress.last().at(4).toLongLong() == progress.last().at(3).toLongLong();
            },
            30000));
        AppstoreDbTestFile db(kStateDir + QStringLiteral("appstore.db"));
        QCOMPARE(db.rows(QStringLiteral("SELECT packageName FROM application_history WHERE "
                                        "packageName = ?"),
                         {kForced}),
                 QStringList());
        QCOMPARE(db.rows(QStringLiteral("SELECT package_name FROM app_install_status WHERE "
                                        "package_name = ?"),
                         {kForced}),
                 QStringList());
        const QString archive = kPlain + QStringLiteral("_1.1_all.deb");
        QVERIFY(!QFile::exists(kArchives + archive));

        QVERIFY(callSetting(QStringLiteral("1")));
        const QStringList second = runCheck(false);
        QVERIFY2(second == QStringList{kPlain},
                 qPrintable(second.join(u' ') + u'\n' + daemonTail()));
        QVERIFY2(
            TestEnv::waitFor([&archive] { return QFile::exists(kArchives + archive); }, 120000),
            qPrintable(daemonTail()));
        QCOMPARE(DpkgListing::field(kPlain, QStringLiteral("Version")), QStringLiteral("1.0"));
    }
};

QTEST_GUILESS_MAIN(TestBusUpgradeCheck)
#include "tst_bus_upgrade_check.moc"
