#include "database/appstoredb.h"
#include "dpkg_listing.h"
#include "engine_test_setup.h"
#include "local_apt_repository.h"
#include "local_https_server.h"
#include "private_system_bus.h"
#include "store_test_setup.h"
#include "system_file_guard.h"
#include "tar_archive.h"
#include "test_env.h"
#include "utils/process_runner.h"

#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusReply>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

using AppStore::ProcessRunner;
using AppStore::ProcessSpec;

namespace {

const QString kPackage = QStringLiteral("twk-test-busroad");
const QString kLocalPackage = QStringLiteral("twk-test-busroad-local");
const QString kBlankPackage = QStringLiteral("twk-test-busroad-blank");
const QString kSlowPackage = QStringLiteral("twk-test-busroad-slow");
const QString kChannelPackage = QStringLiteral("twk-test-busroad-deb");
const QString kBundle = QStringLiteral("twk-test-busroad-tar");
const QString kOther = QStringLiteral("twk-test-busroad-other");
const QString kStoreId = QStringLiteral("velkor-app-store");
const QString kStateDir = QStringLiteral("/var/lib/tarnwick-daemon/");
const QString kBriefQuery = QStringLiteral("/store-dist-app/getAppBriefInfo?package_names=");

bool daemonOnBus()
{
    return QDBusConnection::systemBus().interface()->isServiceRegistered(
        QStringLiteral("com.tarnwick.daemon"));
}

// How the road of the progress events in spy ended: 0 while it runs, 200 when
// it installed, else the code of the failure.
int roadEnd(const QSignalSpy &spy)
{
    for (const QList<QVariant> &event : spy) {
        if (event.at(4).toLongLong() == -1)
            return QJsonDocument::fromJson(event.at(5).toString().toUtf8())[QStringLiteral("code")]
                .toInt(-1);
        // The download stage (0) ends at its total too; the install stage (1)
        // ends the road.
        if (event.at(2).toInt() == 1 && event.at(3).toLongLong() >= 0 && event.at(4) == event.at(3))
            return 200;
    }
    return 0;
}

} // namespace

// The real daemon on a private bus, asked as root to install and remove a
// test package from a loopback repository.
class TestBusInstallRoad : public QObject
{
    Q_OBJECT

private:
    PrivateSystemBus m_bus;
    QTemporaryDir m_home;
    QStringList m_daemonLines;
    std::unique_ptr<SystemFileGuard> m_guard;
    LocalAptRepository m_repository;
    LocalAptRepository m_localRepository; // a mirror on this machine's disk
    LocalAptRepository m_blankRepository{QStringLiteral("twk mirror")};
    LocalHttpsServer m_store;
    std::unique_ptr<ProcessRunner> m_daemon;
    std::unique_ptr<QDBusInterface> m_appstore;

    QString marker() const { return m_home.filePath(QStringLiteral("bundle-installed")); }

    bool startDaemon()
    {
        m_daemon = std::make_unique<ProcessRunner>();
        connect(m_daemon.get(), &ProcessRunner::standardErrorLine, this,
                [this](const QString &line) { m_daemonLines.append(line); });
        ProcessSpec spec;
        spec.program = TestEnv::daemonPath();
        spec.environmentMode = ProcessSpec::Environment::Extend;
        spec.environment = m_bus.environment();
        spec.environment << QStringLiteral("HOME=") + m_home.path()
                         << QStringLiteral("XDG_CACHE_HOME=") +
                                m_home.filePath(QStringLiteral("cache"))
                         << QStringLiteral("BEXA_CONFIG_DIR=") +
                                m_home.filePath(QStringLiteral("config"))
                         << QStringLiteral("TARNWICK_EXTRA_CA_FILE=") + m_store.caCertificatePath()
                         << QStringLiteral("TARNWICK_STATISTICS_URL=") +
                                StoreTestSetup::baseUrl(m_store) +
                                QStringLiteral("/upload/downstat");
        spec.timeoutMs = 240000;
        if (!m_daemon->start(spec) || !TestEnv::waitFor(daemonOnBus, 15000))
            return false;
        m_appstore = std::make_unique<QDBusInterface>(
            QStringLiteral("com.tarnwick.daemon"), QStringLiteral("/appstore"),
            QStringLiteral("com.tarnwick.daemon.interface"), QDBusConnection::systemBus());
        // The daemon rebuilds its own sources while it starts; then its
        // package lists are brought up to date.
        return TestEnv::waitFor(
            [] {
                return QFile::exists(kStateDir + QStringLiteral("sources.list.d/appstore.list")) &&
                       TestEnv::runTool(QStringLiteral("apt-get"),
                                        {QStringLiteral("-c"),
                                         kStateDir + QStringLiteral("apt_custom.conf"),
                                         QStringLiteral("update")})
                           .succeeded();
            },
            30000);
    }

    // Asks for package as the store's client does. With a file, the store's
    // record of package (served when listed) offers the channels "main", its
    // own choice, and "beta", each with a link of its own to the file on the
    // local HTTPS server, and its SHA-256. The caller sends that record with
    // the channel it picks, plus an entry for a pick the store does not
    // offer, and with plain-http links of its own: the repository's archive
    // of kChannelPackage.
    bool requestInstall(const QString &package, const QByteArray &file = {}, bool listed = true,
                        const QString &pick = QStringLiteral("main"))
    {
        QJsonObject info{{QStringLiteral("package_name"), package},
                         {QStringLiteral("package_version"), QStringLiteral("1.0")},
                         {QStringLiteral("name"), QStringLiteral("Bus road")},
                         {QStringLiteral("category_id"), 3},
                         {QStringLiteral("pkgInstallMode"), 1}};
        if (!file.isEmpty()) {
            const auto entry = [&](const QString &channel, const QString &link) {
                return QJsonObject{
                    {QStringLiteral("pkgVer"), QStringLiteral("1.0")},
                    {QStringLiteral("pkgChannel"), channel},
                    {QStringLiteral("pkgDlUrl"), link},
                    {QStringLiteral("pkgSize"), file.size()},
                    {QStringLiteral("pkgSha256"),
                     QString::fromLatin1(
                         QCryptographicHash::hash(file, QCryptographicHash::Sha256).toHex())}};
            };
            const auto setChannels = [&](const QString &channelId, const QJsonArray &entries) {
                info.insert(QStringLiteral("channelId"), channelId);
                info.insert(
                    QStringLiteral("channelPkgs"),
                    QString::fromUtf8(QJsonDocument(entries).toJson(QJsonDocument::Compact)));
            };
            const QStringList offered{QStringLiteral("main"), QStringLiteral("beta")};
            const QString own =
                m_repository.uri() +
                QFileInfo(m_repository.debPath(kChannelPackage, QStringLiteral("1.0"))).fileName();
            QJsonArray stores, callers;
            for (const QString &channel : offered) {
                const QString path = channelPath(package, channel);
                if (!m_store.addFile(path, file))
                    return false;
                stores.append(entry(channel, m_store.baseUrl().resolved(QUrl(path)).toString()));
                callers.append(entry(channel, own));
            }
            if (!offered.contains(pick))
                callers.append(entry(pick, own));
            setChannels(offered.first(), stores);
            const QByteArray answer =
                QJsonDocument(QJsonObject{{QStringLiteral("datas"), QJsonArray{info}}}).toJson();
            if (!m_store.setRoute(kBriefQuery + package, {listed ? 200 : 404, answer, 0, false}))
                return false;
            setChannels(pick, callers);
        }
        return m_appstore
                   ->call(QStringLiteral("IntallPackage"), kStoreId,
                          QString::fromUtf8(QJsonDocument(info).toJson()))
                   .type() != QDBusMessage::ErrorMessage;
    }

    static QString channelPath(const QString &package, const QString &channel)
    {
        return QStringLiteral("pool/") + package + u'-' + channel + QStringLiteral(".bin");
    }

private Q_SLOTS:
    void init() { QVERIFY2(startDaemon(), "see the daemon's last lines below"); }

    void cleanup()
    {
        if (QTest::currentTestFailed()) {
            for (const QString &line : m_daemonLines.mid(m_daemonLines.size() - 80))
                qInfo().noquote() << line;
        }
        m_daemonLines.clear();
        m_appstore.reset();
        m_daemon.reset();
        QVERIFY(TestEnv::waitFor([] { return !daemonOnBus(); }, 10000));
    }

    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        QVERIFY2(!m_bus.start().isEmpty(), qPrintable(m_bus.errorString()));
        m_guard = std::make_unique<SystemFileGuard>(QStringList{
            QStringLiteral("/var/lib/tarnwick-daemon"), QStringLiteral("/var/cache/velkor"),
            QStringLiteral("/var/log/velkor"), QStringLiteral("/etc/apt/sources.list"),
            QStringLiteral("/etc/apt/sources.list.d/appstore.list"),
            QStringLiteral("/var/lib/apt/extended_states"),
            QStringLiteral("/etc/velkor/velkor-app-store")});
        QVERIFY2(m_guard->isValid(), qPrintable(m_guard->errorString()));

        QVERIFY(m_repository.addPackage(kPackage, QStringLiteral("1.0")));
        LocalAptRepository::PackageOptions slow;
        slow.postinst = QStringLiteral("#!/bin/sh\nsleep 5\n");
        QVERIFY(m_repository.addPackage(kSlowPackage, QStringLiteral("1.0"), slow));
        QVERIFY(m_repository.addPackage(kChannelPackage, QStringLiteral("1.0")));
        QVERIFY2(m_repository.publish(), qPrintable(m_repository.errorString()));
        QVERIFY(m_localRepository.addPackage(kLocalPackage, QStringLiteral("1.0")));
        QVERIFY(m_localRepository.publish(LocalAptRepository::Transport::File));
        QVERIFY(m_blankRepository.addPackage(kBlankPackage, QStringLiteral("1.0")));
        QVERIFY(m_blankRepository.publish(LocalAptRepository::Transport::File));
        QVERIFY(EngineTestSetup::writeSystemSources(QStringLiteral("/etc/apt"),
                                                    m_repository.sourcesLine() + u'\n' +
                                                        m_localRepository.sourcesLine() + u'\n' +
                                                        m_blankRepository.sourcesLine()));
        const QString configError = EngineTestSetup::writeAptConfigs(
            kStateDir, QStringLiteral("/var/cache/velkor/tarnwick-daemon/"));
        QVERIFY2(configError.isEmpty(), qPrintable(configError));
        // The store and statistics the finished install reports to.
        QVERIFY2(m_store.start(), qPrintable(m_store.errorString()));
        QVERIFY(TestEnv::writeFile(
            QStringLiteral("/etc/velkor/velkor-app-store/appstore-serveice-0618.conf"),
            StoreTestSetup::baseUrl(m_store).toUtf8() + '\n'));
    }

    void cleanupTestCase()
    {
        m_daemon.reset();
        TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("--purge"), kPackage, kSlowPackage,
                                                  kChannelPackage, kLocalPackage, kBlankPackage});
        m_guard.reset();
    }

    void installsAndRemovesThroughTheBus_data()
    {
        QTest::addColumn<QString>("package");
        QTest::newRow("http source") << kPackage;
        QTest::newRow("file source") << kLocalPackage;
        // The line of a "cdrom:" source, whose disc label holds blanks, is the same.
        QTest::newRow("file source in a folder with a blank") << kBlankPackage;
    }

    void installsAndRemovesThroughTheBus()
    {
        QFETCH(QString, package);
        QDBusInterface &appstore = *m_appstore;
        QSignalSpy started(&appstore, SIGNAL(sigStartInstall(QString, QString)));
        QSignalSpy narrow(&appstore,
                          SIGNAL(sigIntallProgress(QString, QString, int, int, int, QString)));
        QSignalSpy wide(&appstore, SIGNAL(sigIntallProgress(QString, QString, int, qlonglong,
                                                            qlonglong, QString)));
        QSignalSpy notified(&appstore, SIGNAL(sigSystemNotificationSent(QString)));
        QSignalSpy purgeStarted(&appstore, SIGNAL(sigStartPurge(QString, QString)));
        QSignalSpy removed(&appstore, SIGNAL(sigRemoveProgress(QString, QString, bool)));

        QVERIFY(requestInstall(package));
        QVERIFY2(TestEnv::waitFor([&] { return roadEnd(wide) != 0; }, 180000),
                 "see the daemon's last lines below");
        QCOMPARE(roadEnd(wide), 200);
        QCOMPARE(started.count(), 1);
        QCOMPARE(started.first().at(1).toString(), package);
        QSet<int> states;
        for (const QList<QVariant> &event : std::as_const(wide))
            states.insert(event.at(2).toInt());
        QCOMPARE(states, (QSet<int>{0, 1}));
        QCOMPARE(narrow.count(), wide.count());
        QVERIFY(TestEnv::waitFor([&] { return !notified.isEmpty(); }, 10000));

        const QDBusReply<QString> operation =
            appstore.call(QStringLiteral("GetPackageAptOperationInfo"), package);
        QCOMPARE(QJsonDocument::fromJson(operation.value().toUtf8())
                     .object()
                     .value(QStringLiteral("operation"))
                     .toString(),
                 QStringLiteral("install"));
        const QDBusReply<QStringList> history =
            appstore.call(QStringLiteral("GetHistoryInstalledPackageList"));
        QCOMPARE(history.value().filter(package).size(), 1);
        const QDBusReply<QString> local =
            appstore.call(QStringLiteral("GetLocalPackageInfo"), package);
        QVERIFY2(local.value().startsWith(package), qPrintable(local.value()));
        const QDBusReply<QStringList> locals = appstore.call(QStringLiteral("GetLocalPackageList"));
        QVERIFY(!locals.value().filter(package).isEmpty());

        QVERIFY(appstore.call(QStringLiteral("RemovePackage"), kStoreId, package).type() !=
                QDBusMessage::ErrorMessage);
        QVERIFY2(TestEnv::waitFor([&] { return !removed.isEmpty(); }, 120000),
                 "see the daemon's last lines below");
        QCOMPARE(purgeStarted.count(), 1);
        QCOMPARE(removed.first().at(2).toBool(), true);
        const QDBusReply<QStringList> afterPurge =
            appstore.call(QStringLiteral("GetHistoryInstalledPackageList"));
        QVERIFY(afterPurge.value().filter(package).isEmpty());
    }

    // A Debian package and a tar bundle, both from the channel link of the
    // store's record over HTTPS, never from the caller's: the first ends
    // installed in dpkg, the second by its script. The caller's pick chooses
    // among the store's channels; a pick the store does not offer gets the
    // store's own. No store answer, or an archive of another package,
    // installs nothing.
    void downloadsOverHttps_data()
    {
        QTest::addColumn<QString>("package");
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("pick");    // the caller's channel
        QTest::addColumn<QString>("fetched"); // the channel whose file; none when not listed
        QTest::addColumn<int>("code");        // the road's end
        const QByteArray deb =
            TestEnv::readFile(m_repository.debPath(kChannelPackage, QStringLiteral("1.0")));
        const QString main = QStringLiteral("main");
        QTest::newRow("caller's link") << kChannelPackage << deb << main << QString() << 500;
        QTest::newRow("another package's archive") << kOther << deb << main << main << 503;
        QTest::newRow("store's link") << kChannelPackage << deb << main << main << 200;
        QTest::newRow("caller's channel")
            << kChannelPackage << deb << QStringLiteral("beta") << QStringLiteral("beta") << 200;
        QTest::newRow("channel the store lacks")
            << kChannelPackage << deb << QStringLiteral("gamma") << main << 200;
        QTest::newRow("tar bundle")
            << kBundle
            << TarArchive::build({TarArchive::file(
                   "install_clean.sh",
                   QStringLiteral("#!/bin/sh\n[ \"$2\" = install ] && touch '%1'\nexit 0\n")
                       .arg(marker())
                       .toUtf8())})
            << main << main << 200;
    }

    void downloadsOverHttps()
    {
        QFETCH(QString, package);
        QFETCH(QByteArray, file);
        QFETCH(QString, pick);
        QFETCH(QString, fetched);
        QFETCH(int, code);
        // An installed package's own channel would stand in for the store's.
        TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("--purge"), kChannelPackage});
        const int logStart = m_store.requestLog().size();
        QSignalSpy wide(m_appstore.get(), SIGNAL(sigIntallProgress(QString, QString, int, qlonglong,
                                                                   qlonglong, QString)));
        QVERIFY(requestInstall(package, file, !fetched.isEmpty(), pick));
        QVERIFY2(TestEnv::waitFor([&] { return roadEnd(wide) != 0; }, 120000),
                 "see the daemon's last lines below");
        QCOMPARE(roadEnd(wide), code);
        QCOMPARE(package == kBundle
                     ? QFile::exists(marker())
                     : DpkgListing::field(kChannelPackage, QStringLiteral("Status")) ==
                           QLatin1String("install ok installed"),
                 code == 200);
        const QList<LocalHttpsServer::Request> log = m_store.requestLog().mid(logStart);
        for (const QString &channel : {QStringLiteral("main"), QStringLiteral("beta")}) {
            QCOMPARE(std::any_of(log.cbegin(), log.cend(),
                                 [&](const auto &r) {
                                     return r.path.endsWith(channelPath(package, channel));
                                 }),
                     channel == fetched);
        }
    }

    // SIGTERM in the middle of a maintainer script: the daemon lets the
    // install end before it goes, and its history row says so.
    void terminatedMidInstallLetsItEnd()
    {
        QVERIFY(requestInstall(kSlowPackage));
        QVERIFY2(TestEnv::waitFor(
                     [] {
                         return DpkgListing::field(kSlowPackage, QStringLiteral("Status"))
                             .endsWith(QLatin1String("half-configured"));
                     },
                     120000),
                 "the postinst never ran");
        QCOMPARE(::kill(pid_t(m_daemon->processId()), SIGTERM), 0);
        QVERIFY2(TestEnv::waitFor([this] { return !m_daemon->isRunning(); }, 120000),
                 "see the daemon's last lines below");
        QCOMPARE(DpkgListing::field(kSlowPackage, QStringLiteral("Status")),
                 QStringLiteral("install ok installed"));
        AppstoreDb::setDatabasePath(kStateDir + QStringLiteral("appstore.db"));
        QCOMPARE(EngineTestSetup::historyRow(
                     kSlowPackage, {QStringLiteral("operation"), QStringLiteral("result")}),
                 (QStringList{QStringLiteral("1"), QStringLiteral("1")}));
    }
};

QTEST_GUILESS_MAIN(TestBusInstallRoad)
#include "tst_bus_install_road.moc"
