#include "appstoredb_test_file.h"
#include "dpkg_admin_dir.h"
#include "local_apt_repository.h"
#include "local_https_server.h"
#include "private_system_bus.h"
#include "server_process.h"
#include "store_test_setup.h"
#include "test_env.h"

#include "common/app_brief_info.h"
#include "database/appstoredb.h"
#include "database/OnTheShelvesAppTableManager.h"
#include "service/service.h"
#include "task/app_upgrade_check.h"
#include "task/predownloadmanager.h"
#include "utils/utils.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QMutexLocker>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kPlain = QStringLiteral("twk-test-upc-plain");
const QString kForced = QStringLiteral("twk-test-upc-forced");
const QString kSpecial = QStringLiteral("twk-test-upc-special");
const QString kChannel = QStringLiteral("twk-test-upc-chan");
const QString kGone = QStringLiteral("twk-test-upc-gone");
const QString kStranger = QStringLiteral("twk-test-upc-stranger");
const QString kKapla = QStringLiteral("twk.test.k000");
const QString kClient = QStringLiteral("velkor-app-store");
const QString kBriefPath = QStringLiteral("/store-dist-app/getAppBriefInfo");
const QString kUpgradePath = QStringLiteral("/store-dist-app/appUpgradeInfos");
// With the five on-the-shelves debs they make 120 query names.
constexpr int kKaplaApps = 115;

QJsonObject record(const QString &name, const QString &version, const QJsonObject &extra = {})
{
    QJsonObject object{{QStringLiteral("id"), QString(QStringLiteral("id-") + name)},
                       {QStringLiteral("package_name"), name},
                       {QStringLiteral("package_version"), version},
                       {QStringLiteral("name"), name},
                       {QStringLiteral("is_forced_update"), QJsonValue(0)}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        object.insert(it.key(), it.value());
    return object;
}

QJsonObject onChannel(const QString &version)
{
    const QJsonArray packages{
        QJsonObject{{QStringLiteral("pkgVer"), version},
                    {QStringLiteral("pkgChannel"), QStringLiteral("chan-a")}}};
    return {{QStringLiteral("channelPkgs"),
             QString::fromUtf8(QJsonDocument(packages).toJson(QJsonDocument::Compact))}};
}

QByteArray reply(const QJsonArray &records)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("status"), QJsonValue(200)},
                                     {QStringLiteral("datas"), records}})
        .toJson(QJsonDocument::Compact);
}

QString text(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

// "name=version|channelId" per record of a notification.
QStringList summary(const QStringList &jsons)
{
    QStringList entries;
    for (const QString &json : jsons) {
        const StoreService::AppBriefInfo info = appBriefInfoFromJsonString(json);
        entries.append(info.package_name + u'=' + info.package_version + u'|' + info.channelId);
    }
    return entries;
}

QStringList lastNotification(const QSignalSpy &spy)
{
    return spy.isEmpty() ? QStringList{QStringLiteral("(none)")}
                         : summary(spy.last().at(0).toStringList());
}

} // namespace

// Stands in for the pre-download queue: records what it is handed.
class RecordingPreDownloadManager : public PreDownloadManager
{
public:
    void start() override { ++starts; }
    void stop() override { ++stops; }
    bool isRunning() const override { return false; }
    void addTask(const Apt_Task &task) override
    {
        QMutexLocker locker(&mutex);
        added.append(task);
    }
    void removeTask(Apt_Task task) override { removed.append(task.packageName); }

    QList<Apt_Task> tasks()
    {
        QMutexLocker locker(&mutex);
        return added;
    }

    int starts = 0;
    int stops = 0;
    QStringList removed;

private:
    QMutex mutex;
    QList<Apt_Task> added;
};

// The upgrade checks on real test packages against a local HTTPS store.
class TestAppUpgradeCheck : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (!TestEnv::runTool(
                 QStringLiteral("dpkg-query"),
                 {QStringLiteral("-W"), QStringLiteral("-f=${db:Status-Status}"), kClient})
                 .outputText()
                 .isEmpty())
            QSKIP("the machine has a store client package of its own");
        QVERIFY(m_dir.isValid());
        m_bus.allowService(QStringLiteral("com.velkor.daemon.ACL"));
        QVERIFY2(!m_bus.start().isEmpty(), qPrintable(m_bus.errorString()));
        AppstoreDb::setDatabasePath(m_dir.filePath(QStringLiteral("appstore.db")));
        AppstoreDb::instance();

        LocalAptRepository::PackageOptions channel;
        channel.controlFields.insert(QStringLiteral("XB-channel"), QStringLiteral("chan-a"));
        LocalAptRepository::PackageOptions dummy;
        dummy.controlFields.insert(LocalAptRepository::dummyMarkField(), QStringLiteral("yes"));
        bool added = m_repository.addPackage(kChannel, QStringLiteral("1.0"), channel) &&
                     m_repository.addPackage(kClient, QStringLiteral("1.0"), dummy);
        for (const QString &name : {kPlain, kForced, kSpecial, kGone})
            added = added && m_repository.addPackage(name, QStringLiteral("1.0"));
        QVERIFY2(added && m_repository.publish(LocalAptRepository::Transport::File),
                 qPrintable(m_repository.errorString()));
        QVERIFY(apt({QStringLiteral("update")}));
        QVERIFY(apt({QStringLiteral("install"), QStringLiteral("-y"), kPlain, kForced, kSpecial,
                     kChannel, kGone, kClient}));

        QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
        QVERIFY(StoreTestSetup::pointAt(m_server, m_dir.path()));
        Service::instance()->setTimeout(10000);

        // The kapla gate opens against a private database with the runtime.
        TestEnv::useStandins();
        {
            DpkgAdminDir runtime;
            QVERIFY(runtime.write(QStringLiteral("kapla-bin"), QStringLiteral("1.5")));
            runtime.activate();
            QVERIFY(AppStore::Utils::isKaplaSupported(true));
        }
        QVERIFY(TestEnv::writeFile(m_dir.filePath(QStringLiteral("no-holds/dpkg-query")),
                                   "#!/bin/sh\ncase \"$*\" in *Status-Want*) exit 2 ;; esac\n"
                                   "exec /usr/bin/dpkg-query \"$@\"\n",
                                   true));
        QJsonArray apps;
        for (int i = 0; i < kKaplaApps; ++i)
            apps.append(
                QJsonObject{{QStringLiteral("id"),
                             QStringLiteral("twk.test.k%1").arg(i, 3, 10, QLatin1Char('0'))},
                            {QStringLiteral("version"), QStringLiteral("1.0")},
                            {QStringLiteral("kind"), QStringLiteral("app")},
                            {QStringLiteral("size"), QJsonValue(1)}});
        m_kaplaData = m_dir.filePath(QStringLiteral("kapla.json"));
        QVERIFY(TestEnv::writeFile(
            m_kaplaData, QJsonDocument(QJsonObject{{QStringLiteral("apps"), apps}}).toJson()));

        // The debs without channel reach the query list through the
        // on-the-shelves table, since the check's apt list stays empty.
        QList<StoreService::AppBriefInfo> shelved;
        for (const QString &name : {kPlain, kForced, kSpecial, kGone, kClient})
            shelved.append(StoreService::AppBriefInfo(record(name, QStringLiteral("1.0"))));
        QVERIFY(!OnTheShelvesAPPTableManager::instance()
                     ->checkUpdateLocalOnTheShelvesTable(shelved, QStringLiteral("-1"), false)
                     .isEmpty());
    }

    void cleanupTestCase()
    {
        // dpkg, not apt: one package is purged already.
        TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("--purge"), kPlain, kForced,
                                                  kSpecial, kChannel, kGone, kClient});
    }

    void init()
    {
        qputenv("TWK_KAPLA_DATA", QFile::encodeName(m_kaplaData));
        QVERIFY(m_server.clearRoutes());
        QVERIFY(m_server.setRoute(kBriefPath, {200, reply(storeRecords()), 0, false}));
        QVERIFY(m_server.setRoute(kUpgradePath, {503, "", 0, false}));
    }

    // One check over every kind of installed application.
    void localCheck()
    {
        AppstoreDbTestFile db(m_dir.filePath(QStringLiteral("appstore.db")));
        const QList<QPair<QString, QString>> history{{kPlain, QStringLiteral("3")},
                                                     {kSpecial, QStringLiteral("4")},
                                                     {kKapla, QStringLiteral("5")},
                                                     {kClient, QStringLiteral("1")}};
        for (const auto &row : history)
            QVERIFY(db.exec(QStringLiteral("INSERT INTO application_history (packageName, "
                                           "version, operation) VALUES (?, '1.0', ?)"),
                            {row.first, row.second}));
        setFreeDownload(QStringLiteral("1"));
        AppUpgradeCheck check;
        RecordingPreDownloadManager queue;
        prepare(check, queue);
        Spies spies(check);
        const int logged = m_server.requestLog().size();

        check.OnLocalAppsUpgradeCheckSlot();

        QCOMPARE(
            lastNotification(spies.notify),
            QStringList({kChannel + QStringLiteral("=1.0|chan-a"), kGone + QStringLiteral("=1.1|"),
                         kPlain + QStringLiteral("=1.1|"), kSpecial + QStringLiteral("=1.1|"),
                         kKapla + QStringLiteral("=1.1|"), kClient + QStringLiteral("=1.1|")}));
        QCOMPARE(spies.silent.size(), 1);
        QCOMPARE(spies.silent.first().mid(0, 3),
                 QVariantList({QStringLiteral("SilentUpgrade"), kForced, QStringLiteral("1.1")}));
        QCOMPARE(summary(spies.client.isEmpty() ? QStringList()
                                                : spies.client.first().at(0).toStringList()),
                 QStringList{kClient + QStringLiteral("=1.1|")});
        QCOMPARE(spies.client.size(), 1);
        QCOMPARE(spies.shelves.size(), 1);

        QStringList queued;
        for (const Apt_Task &task : queue.tasks()) {
            queued.append(task.packageName);
            QCOMPARE(task.sourceId, QStringLiteral("id-") + task.packageName);
            QCOMPARE(task.spareText1, QStringLiteral("1.1"));
            QVERIFY(task.version.isEmpty());
        }
        queued.sort();
        QCOMPARE(queued, QStringList({kGone, kPlain, kClient}));

        QCOMPARE(namesPerRequest(logged), QList<int>({50, 50, 20, 1}));
        QStringList versions;
        for (const auto &row : history)
            versions += db.rows(QStringLiteral("SELECT version FROM application_history WHERE "
                                               "packageName = ?"),
                                {row.first});
        QCOMPARE(versions, QStringList({QStringLiteral("1.1"), QStringLiteral("1.1"),
                                        QStringLiteral("1.1"), QStringLiteral("1.0")}));
        QVERIFY(db.exec(QStringLiteral("DELETE FROM application_history")));
        QVERIFY(!check.getCheckStatus());
    }

    // The store client's own check, with the forced marker of its record.
    void storeClientCheck_data()
    {
        QTest::addColumn<int>("forced");
        QTest::addColumn<int>("notified");
        QTest::addColumn<int>("silent");
        // Both store queries answer, so each outcome comes twice.
        QTest::newRow("ordinary") << 0 << 2 << 0;
        QTest::newRow("forced 1 is ordinary") << 1 << 2 << 0;
        QTest::newRow("forced") << 2 << 0 << 2;
    }

    void storeClientCheck()
    {
        QFETCH(int, forced);
        QFETCH(int, notified);
        QFETCH(int, silent);
        answerClient(forced);
        setFreeDownload(QStringLiteral("1"));
        AppUpgradeCheck check;
        RecordingPreDownloadManager queue;
        prepare(check, queue);
        Spies spies(check);

        check.onAppStoreClientUpgradeCheckSlot();

        QCOMPARE(spies.client.size(), notified);
        QCOMPARE(spies.silent.size(), silent);
        QCOMPARE(queue.tasks().size(), notified);
    }

    // Only "0" turns pre-downloads off; a missing setting reads as "0".
    void freeDownloadSetting_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<bool>("on");
        QTest::newRow("missing") << QVariant() << false;
        QTest::newRow("0") << QVariant(QStringLiteral("0")) << false;
        QTest::newRow("1") << QVariant(QStringLiteral("1")) << true;
        QTest::newRow("empty") << QVariant(QStringLiteral("")) << true;
        QTest::newRow("00") << QVariant(QStringLiteral("00")) << true;
    }

    void freeDownloadSetting()
    {
        QFETCH(QVariant, value);
        QFETCH(bool, on);
        answerClient(0);
        AppstoreDbTestFile db(m_dir.filePath(QStringLiteral("appstore.db")));
        QVERIFY(db.exec(QStringLiteral("DELETE FROM setting")));
        if (!value.isNull())
            QVERIFY(
                db.exec(QStringLiteral("INSERT INTO setting (freeDownload) VALUES (?)"), {value}));
        AppUpgradeCheck check;
        RecordingPreDownloadManager queue;
        prepare(check, queue);

        check.onAppStoreClientUpgradeCheckSlot();

        QCOMPARE(!queue.tasks().isEmpty(), on);
    }

    // The cache slots on installed packages, with and without a channel; a
    // "-" step makes every package look uninstalled from then on, an "h"
    // step the plain one held, an "f" step makes the listing of holds fail.
    void cacheSlots_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("cached");
        const QString plain11 = kPlain + QStringLiteral("=1.1|");
        const QString chan = kChannel + QStringLiteral("=%1|chan-a");
        QTest::newRow("newer") << QStringList{"u plain 1.1"} << QStringList{plain11};
        QTest::newRow("not newer") << QStringList{"u plain 1.0"} << QStringList();
        QTest::newRow("newer replaces") << QStringList{"u plain 1.1", "u plain 1.2"}
                                        << QStringList{kPlain + QStringLiteral("=1.2|")};
        QTest::newRow("older kept")
            << QStringList{"u plain 1.1", "u plain 1.0.5"} << QStringList{plain11};
        QTest::newRow("uncached channel by version")
            << QStringList{"u chan 1.1 0.5"} << QStringList{chan.arg(QStringLiteral("1.1"))};
        QTest::newRow("higher channel version replaces")
            << QStringList{"u chan 1.1 1.1", "u chan 1.0 1.3"}
            << QStringList{chan.arg(QStringLiteral("1.0"))};
        QTest::newRow("lower channel version kept")
            << QStringList{"u chan 1.1 1.3", "u chan 2.0 1.2"}
            << QStringList{chan.arg(QStringLiteral("1.1"))};
        QTest::newRow("removed after purge")
            << QStringList{"u plain 1.1", "r plain "} << QStringList();
        QTest::newRow("still newer stays")
            << QStringList{"u plain 1.1", "r plain 1.0"} << QStringList{plain11};
        QTest::newRow("channel still newer stays") << QStringList{"u chan 1.1 1.1", "r chan 1.0"}
                                                   << QStringList{chan.arg(QStringLiteral("1.1"))};
        QTest::newRow("channel no longer newer")
            << QStringList{"u chan 1.1 0.9", "r chan 1.0"} << QStringList();
        QTest::newRow("update of an uninstalled one")
            << QStringList{"u plain 1.1", "-", "u plain 1.2"} << QStringList();
        QTest::newRow("remove of an uninstalled one")
            << QStringList{"u plain 1.1", "-", "r plain 1.1"} << QStringList();
        QTest::newRow("held") << QStringList{"h", "u plain 1.1"} << QStringList();
        QTest::newRow("holds unknown") << QStringList{"f", "u plain 1.1"} << QStringList();
    }

    void cacheSlots()
    {
        QFETCH(QStringList, steps);
        QFETCH(QStringList, cached);
        AppUpgradeCheck check;
        DpkgAdminDir nothing;
        QVERIFY(nothing.write(QString(), QString()));
        DpkgAdminDir held;
        QVERIFY(held.write(kPlain, QStringLiteral("1.0"), QStringLiteral("hold ok installed")));
        const QByteArray path = qgetenv("PATH");
        const auto restorePath = qScopeGuard([&path] { qputenv("PATH", path); });
        for (const QString &step : std::as_const(steps)) {
            const QStringList words = step.split(u' ');
            const QString name = words.value(1) == QLatin1String("plain") ? kPlain : kChannel;
            if (words.first() == QLatin1String("-"))
                nothing.activate();
            else if (words.first() == QLatin1String("h"))
                held.activate();
            else if (words.first() == QLatin1String("f"))
                qputenv("PATH",
                        QFile::encodeName(m_dir.filePath(QStringLiteral("no-holds"))) + ':' + path);
            else if (words.first() == QLatin1String("r"))
                check.removeUpgradableCacheItem(name, words.value(2));
            else
                check.updateUpgradableCacheItem(
                    {text(record(name, words.value(2),
                                 words.size() > 3 ? onChannel(words.value(3)) : QJsonObject()))});
        }
        QSignalSpy notify(&check, &AppUpgradeCheck::sigLocalAppsUpgradeNotify);
        check.getCacheData();
        QCOMPARE(lastNotification(notify), cached);
    }

    // A refusing security mode silences every check and the cache.
    void refusedBySecurityMode()
    {
        ServerProcess standIn;
        QVERIFY2(standIn.start(qEnvironmentVariable("TWK_SECURITY_MODE_STANDIN"),
                               {QStringLiteral("1"), QStringLiteral("0=0")}),
                 qPrintable(standIn.errorString()));
        answerClient(0);
        AppUpgradeCheck check;
        RecordingPreDownloadManager queue;
        prepare(check, queue);
        check.updateUpgradableCacheItem({text(record(kPlain, QStringLiteral("1.1")))});
        Spies spies(check);
        const int logged = m_server.requestLog().size();

        check.OnLocalAppsUpgradeCheckSlot();
        QCOMPARE(namesPerRequest(logged), QList<int>());
        check.onAppStoreClientUpgradeCheckSlot();
        QCOMPARE(spies.all(), 0);
        check.getCacheData();
        QCOMPARE(lastNotification(spies.notify), QStringList());
    }

    // A store reply that is not JSON leaves history and the local copy of
    // the store's list as they were.
    void unreadableReply()
    {
        QVERIFY(m_server.setRoute(kBriefPath, {200, "<html>busy</html>", 0, false}));
        AppstoreDbTestFile db(m_dir.filePath(QStringLiteral("appstore.db")));
        QVERIFY(db.exec(QStringLiteral("INSERT INTO application_history (packageName, version, "
                                       "operation) VALUES (?, '1.0', '3')"),
                        {kPlain}));
        const QString everything = QStringLiteral("SELECT * FROM LocalOnTheShelvesAPP");
        const QStringList shelves = db.rows(everything);
        AppUpgradeCheck check;
        RecordingPreDownloadManager queue;
        prepare(check, queue);
        Spies spies(check);

        check.OnLocalAppsUpgradeCheckSlot();

        QCOMPARE(lastNotification(spies.notify), QStringList());
        QCOMPARE(spies.all(), 1);
        QCOMPARE(db.rows(everything), shelves);
        QCOMPARE(db.rows(QStringLiteral("SELECT version FROM application_history")),
                 QStringList{QStringLiteral("1.0")});
        QVERIFY(db.exec(QStringLiteral("DELETE FROM application_history")));
    }

    // On its own thread: two quick requests make one check, and a package
    // purged while the store is slow to answer is not announced.
    void purgedDuringSlowReply()
    {
        qunsetenv("TWK_KAPLA_DATA");
        QVERIFY(m_server.setRoute(kBriefPath, {200, reply(storeRecords()), 2, false}));
        AppUpgradeCheck check;
        RecordingPreDownloadManager queue;
        prepare(check, queue);
        Spies spies(check);
        const int logged = m_server.requestLog().size();
        check.start();
        check.startLocalAppsUpgradeCheck();
        check.startLocalAppsUpgradeCheck();

        QVERIFY(TestEnv::waitFor([&] { return hasBriefRequestFor(kGone, logged); }, 30000));
        QVERIFY(check.getCheckStatus());
        QVERIFY(TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("--purge"), kGone})
                    .succeeded());
        // What the install manager's direct connection does after a purge.
        check.onAptInstRmReceived(kGone, false);

        QVERIFY(spies.notify.wait(30000));
        QVERIFY(!lastNotification(spies.notify).contains(kGone + QStringLiteral("=1.1|")));
        QVERIFY(lastNotification(spies.notify).contains(kPlain + QStringLiteral("=1.1|")));
        QTest::qWait(500);
        QCOMPARE(spies.notify.size(), 1);
        check.stop();
        QCOMPARE(queue.stops, 1);
        // Back on the thread that stopped it, which may now delete it.
        QCOMPARE(check.thread(), QThread::currentThread());
    }

    // An apt update that never ends neither keeps the notification back nor
    // holds up stop().
    void aptUpdateNeverEnds()
    {
        AppStore::Utils::startAptUpdateTask();
        {
            AppUpgradeCheck check;
            RecordingPreDownloadManager queue;
            prepare(check, queue);
            Spies spies(check);
            check.OnLocalAppsUpgradeCheckSlot();
            QCOMPARE(spies.notify.size(), 1);
            QCOMPARE(spies.aptUpdate.size(), 0);
        }
        AppUpgradeCheck check;
        RecordingPreDownloadManager queue;
        prepare(check, queue);
        check.setAptWaitBounds(600000, 600000);
        check.start();
        check.startLocalAppsUpgradeCheck();
        QVERIFY(TestEnv::waitFor([&check] { return check.getCheckStatus(); }, 30000));
        QElapsedTimer stopping;
        stopping.start();
        check.stop();
        QVERIFY2(stopping.elapsed() < 5000, qPrintable(QString::number(stopping.elapsed())));
        AppStore::Utils::AptUpdateFinish(QDateTime::currentDateTime(), false);
    }

private:
    struct Spies
    {
        explicit Spies(AppUpgradeCheck &check)
            : notify(&check, &AppUpgradeCheck::sigLocalAppsUpgradeNotify)
            , client(&check, &AppUpgradeCheck::sigAppstoreUpgradeNotify)
            , silent(&check, &AppUpgradeCheck::sigSilentUpgrade)
            , shelves(&check, &AppUpgradeCheck::sigLocalOnTheShelvesAppChanged)
            , aptUpdate(&check, &AppUpgradeCheck::sigAptUpdate)
        {}
        int all() const { return notify.size() + client.size() + silent.size() + shelves.size(); }

        QSignalSpy notify;
        QSignalSpy client;
        QSignalSpy silent;
        QSignalSpy shelves;
        QSignalSpy aptUpdate;
    };

    static QJsonArray storeRecords()
    {
        const QJsonObject deb{{QStringLiteral("pkgInstallMode"), QJsonValue(1)}};
        return {record(kPlain, QStringLiteral("1.1")),
                record(kForced, QStringLiteral("1.1"),
                       {{QStringLiteral("is_forced_update"), QJsonValue(2)},
                        {QStringLiteral("isSpecificPkg"), QJsonValue(0)}}),
                record(kSpecial, QStringLiteral("1.1"),
                       {{QStringLiteral("isSpecificPkg"), QJsonValue(2)}}),
                record(kChannel, QStringLiteral("1.0"), onChannel(QStringLiteral("1.2"))),
                record(kGone, QStringLiteral("1.1"), deb),
                record(kClient, QStringLiteral("1.1")),
                record(kKapla, QStringLiteral("1.1"),
                       {{QStringLiteral("pkgInstallMode"), QJsonValue(2)}}),
                record(QStringLiteral("twk.test.k001"), QStringLiteral("1.0"), // as installed
                       {{QStringLiteral("pkgInstallMode"), QJsonValue(2)}}),
                record(kStranger, QStringLiteral("9.0"))};
    }

    void answerClient(int forced)
    {
        const QByteArray body =
            reply({record(kClient, QStringLiteral("1.1"),
                          {{QStringLiteral("is_forced_update"), QJsonValue(forced)}})});
        QVERIFY(m_server.setRoute(kBriefPath, {200, body, 0, false}));
        QVERIFY(m_server.setRoute(kUpgradePath, {200, body, 0, false}));
    }

    static void setFreeDownload(QString value)
    {
        AppstoreDb::instance()->updateSettingByColumnName(QStringLiteral("freeDownload"), value);
    }

    static void prepare(AppUpgradeCheck &check, RecordingPreDownloadManager &queue)
    {
        check.setPreDownloadManager(&queue);
        check.setBatchPause(0);
        check.setAptWaitStep(50);
        check.setAptWaitBounds(300, 300);
    }

    // The number of names in each brief-information request after the first
    // `from` requests of the log.
    QList<int> namesPerRequest(int from) const
    {
        QList<int> counts;
        const QList<LocalHttpsServer::Request> log = m_server.requestLog();
        for (int i = from; i < log.size(); ++i) {
            if (log.at(i).path.startsWith(kBriefPath))
                counts.append(log.at(i).path.count(QStringLiteral("package_names=")));
        }
        return counts;
    }

    bool hasBriefRequestFor(const QString &name, int from) const
    {
        const QList<LocalHttpsServer::Request> log = m_server.requestLog();
        for (int i = from; i < log.size(); ++i) {
            if (log.at(i).path.startsWith(kBriefPath) &&
                log.at(i).path.contains(QStringLiteral("package_names=") + name))
                return true;
        }
        return false;
    }

    bool apt(const QStringList &arguments)
    {
        return TestEnv::runTool(QStringLiteral("apt-get"), arguments, m_repository.environment())
            .succeeded();
    }

    QTemporaryDir m_dir;
    PrivateSystemBus m_bus;
    LocalAptRepository m_repository;
    LocalHttpsServer m_server;
    QString m_kaplaData;
};

QTEST_GUILESS_MAIN(TestAppUpgradeCheck)
#include "tst_app_upgrade_check.moc"
