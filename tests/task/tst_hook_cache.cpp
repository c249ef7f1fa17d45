#include "dpkg_listing.h"
#include "local_apt_repository.h"
#include "local_https_server.h"
#include "private_system_bus.h"
#include "server_process.h"
#include "store_test_setup.h"
#include "test_env.h"

#include "appstoredb_test_file.h"
#include "common/operation_codes.h"
#include "database/appstoredb.h"
#include "task/hookcachedata.h"
#include "utils/utils.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QString kPackage = QStringLiteral("twk-test-hook");
// Removed by the hook after everything a test sent before it: once its
// removal is announced, all earlier calls have been dealt with.
const QString kMarker = QStringLiteral("twk-test-hook-marker");
const QString kBriefPath = QStringLiteral("/store-dist-app/getAppBriefInfo");
const QString kLogin = QStringLiteral("alice");
const QString kRole = QStringLiteral("2");

// The end the engine reports for a package the store was handling.
enum class EngineEnd {
    None,
    Installed,
    InstallFailed,
    DownloadFailed,
    StillInstalling,
    Purged,
    LeftEngine
};

} // namespace

Q_DECLARE_METATYPE(EngineEnd)

class TestHookCache : public QObject
{
    Q_OBJECT

private:
    void hook(const QString &name, const QString &version, const QString &operation)
    {
        emit m_cache->sigDpkgHookOpt(name, version, operation);
    }

    // The cache's announcements up to the marker's removal, the marker's own
    // left out.
    QStringList settle()
    {
        hook(kMarker, QStringLiteral("1.0"), QStringLiteral("remove"));
        const QString end = QStringLiteral("aptInstRm %1 false").arg(kMarker);
        if (!TestEnv::waitFor([&] { return m_events.contains(end); }, 30000))
            return {QStringLiteral("marker never handled")};
        QStringList events;
        for (const QString &event : std::as_const(m_events)) {
            if (!event.contains(kMarker))
                events.append(event);
        }
        return events;
    }

    // Runs one of the engine's end reports on the cache's thread, as the
    // engine's queued connections do.
    void report(EngineEnd end, const QString &name)
    {
        HookCacheData *cache = m_cache.get();
        const QString id = QStringLiteral("velkor-app-store");
        auto progress = [cache, id, name](int state, qlonglong total, qlonglong progress) {
            QMetaObject::invokeMethod(
                cache,
                [=] { cache->OnInstallFinishedSlot(id, name, state, total, progress, QString()); },
                Qt::QueuedConnection);
        };
        switch (end) {
        case EngineEnd::None:
            break;
        case EngineEnd::Installed:
            progress(1, 100, 100);
            break;
        case EngineEnd::InstallFailed:
            progress(1, 100, -1);
            break;
        case EngineEnd::DownloadFailed:
            progress(0, 100, -1);
            break;
        case EngineEnd::StillInstalling:
            progress(1, 100, 50);
            break;
        case EngineEnd::Purged:
            QMetaObject::invokeMethod(
                cache, [=] { cache->OnPurgeFinishedSlot(id, name, false); }, Qt::QueuedConnection);
            break;
        case EngineEnd::LeftEngine:
            QMetaObject::invokeMethod(
                cache, [=] { cache->OnRemoveHookCacheDataSlot({name}); }, Qt::QueuedConnection);
            break;
        }
    }

    bool runDpkg(const QStringList &arguments)
    {
        return TestEnv::runTool(QStringLiteral("dpkg"), arguments, m_repository.environment())
            .succeeded();
    }

    QString installState(const QString &column)
    {
        AppstoreDbTestFile file(AppstoreDb::databasePath());
        return file.value(
            QStringLiteral("SELECT %1 FROM app_install_status WHERE package_name = ?").arg(column),
            {kPackage});
    }

    QString historyField(const QString &column)
    {
        AppstoreDbTestFile file(AppstoreDb::databasePath());
        return file.value(
            QStringLiteral("SELECT %1 FROM application_history WHERE packageName = ?").arg(column),
            {kPackage});
    }

    void storeKnows(const QString &version)
    {
        LocalHttpsServer::Route route;
        route.body = QStringLiteral("{\"status\":200,\"datas\":[{\"package_name\":\"%1\","
                                    "\"package_version\":\"%2\",\"name\":\"Hook Test\","
                                    "\"category_id\":3}]}")
                         .arg(kPackage, version)
                         .toUtf8();
        QVERIFY(m_server.setRoute(kBriefPath, route));
    }

    void writeHistory(const QString &operation)
    {
        ApplicationHistoryRow row;
        row.packageName = kPackage;
        row.version = QStringLiteral("0.9");
        row.operation = operation;
        row.result = QStringLiteral("0");
        row.appName = QStringLiteral("Hook Test");
        AppstoreDb::instance()->updateApplicationHistoryInfo(row);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // A command that slipped through would leave its file here.
        QVERIFY(QDir::setCurrent(m_dir.path()));
        m_bus.allowService(QStringLiteral("org.freedesktop.login1"));
        m_bus.allowService(QStringLiteral("com.velkor.daemon.ChildrenGuard.Account"));
        QVERIFY2(!m_bus.start().isEmpty(), qPrintable(m_bus.errorString()));
        QVERIFY2(m_login1.start(qEnvironmentVariable("TWK_LOGIN1_STANDIN"),
                                {kLogin, QStringLiteral("1000")}, m_bus.environment()),
                 qPrintable(m_login1.errorString()));
        QVERIFY2(m_accounts.start(qEnvironmentVariable("TWK_CHILDRENGUARD_STANDIN"),
                                  {kLogin + QLatin1Char('=') + kRole}, m_bus.environment()),
                 qPrintable(m_accounts.errorString()));
        QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
        QVERIFY(StoreTestSetup::pointAt(m_server, m_dir.path()));
        AppstoreDb::setDatabasePath(m_dir.filePath(QStringLiteral("appstore.db")));

        // No desktop file: the install is announced only once the store's
        // answer has been recorded.
        LocalAptRepository::PackageOptions options;
        options.desktopApplication = false;
        QVERIFY2(m_repository.addPackage(kPackage, QStringLiteral("1.0"), options),
                 qPrintable(m_repository.errorString()));
    }

    void cleanupTestCase() { runDpkg({QStringLiteral("--purge"), kPackage}); }

    void init()
    {
        m_events.clear();
        m_cache = std::make_unique<HookCacheData>();
        HookCacheData *cache = m_cache.get();
        connect(cache, &HookCacheData::sigInstallPackageFromHook, this,
                [this](const QString &name, const QString &version, const QString &size,
                       const QStringList &desktopFiles, const QString &channel) {
                    m_events.append(QStringLiteral("install %1 %2 %3 [%4] %5")
                                        .arg(name, version, size, desktopFiles.join(' '), channel));
                    m_stateAtAnnouncement = installState(QStringLiteral("app_status"));
                });
        connect(cache, &HookCacheData::sigRemovePackageFromHook, this,
                [this](const QString &name) { m_events.append(QStringLiteral("remove ") + name); });
        connect(cache, &HookCacheData::sigRemoveUpdateCacheItem, this,
                [this](const QString &name, const QString &version) {
                    m_events.append(QStringLiteral("dropUpgrade %1 %2").arg(name, version));
                });
        connect(cache, &HookCacheData::sigAptInstRm, this, [this](const QString &name, bool op) {
            m_events.append(QStringLiteral("aptInstRm %1 %2").arg(name, op ? "true" : "false"));
        });
        cache->startThread();
    }

    void cleanup()
    {
        m_cache->stopThread();
        m_cache.reset();
    }

    // A hook call about a package the store is handling is its own doing,
    // until the engine reports the operation's end.
    void storeOperationsIgnoredUntilTheirEnd_data()
    {
        QTest::addColumn<int>("entry"); // -1: the store never took the package
        QTest::addColumn<EngineEnd>("end");
        QTest::addColumn<bool>("handled");
        QTest::newRow("outside package") << -1 << EngineEnd::None << true;
        QTest::newRow("install running") << 0 << EngineEnd::None << false;
        QTest::newRow("install progressing") << 0 << EngineEnd::StillInstalling << false;
        QTest::newRow("installed") << 0 << EngineEnd::Installed << true;
        QTest::newRow("install failed") << 0 << EngineEnd::InstallFailed << true;
        QTest::newRow("download failed") << 0 << EngineEnd::DownloadFailed << true;
        QTest::newRow("removal running") << 1 << EngineEnd::None << false;
        QTest::newRow("purge ended") << 1 << EngineEnd::Purged << true;
        QTest::newRow("paused or stopped") << 0 << EngineEnd::LeftEngine << true;
    }

    void storeOperationsIgnoredUntilTheirEnd()
    {
        QFETCH(int, entry);
        QFETCH(EngineEnd, end);
        QFETCH(bool, handled);
        const QString name = QStringLiteral("twk-test-hook-absent");
        if (entry >= 0)
            emit m_cache->sigInsertData(HookData{name, entry});
        report(end, name);
        hook(name, QStringLiteral("1.0"), QStringLiteral("remove"));
        const QStringList expected =
            handled ? QStringList{QStringLiteral("remove ") + name,
                                  QStringLiteral("dropUpgrade %1 ").arg(name),
                                  QStringLiteral("aptInstRm %1 false").arg(name)}
                    : QStringList();
        QCOMPARE(settle(), expected);
    }

    // Texts a tool or a shell would read as more than a name never reach
    // one; an empty text is ignored without a word.
    void refusedCalls_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("operation");
        QTest::addColumn<bool>("warns");
        const QString ok = QStringLiteral("twk-test-hook-absent");
        const QString one = QStringLiteral("1.0");
        const QString remove = QStringLiteral("remove");
        for (const QString &bad : {QStringLiteral("x;touch owned"), QStringLiteral("$(id)"),
                                   QStringLiteral("-oAPT::x")}) {
            QTest::newRow(qPrintable(QStringLiteral("name ") + bad))
                << bad << one << remove << true;
            QTest::newRow(qPrintable(QStringLiteral("version ") + bad))
                << ok << bad << remove << true;
        }
        QTest::newRow("operation with a line break")
            << ok << one << QStringLiteral("remove\ninstall") << true;
        QTest::newRow("empty version") << ok << QString() << remove << false;
        QTest::newRow("empty operation") << ok << one << QString() << false;
    }

    void refusedCalls()
    {
        QFETCH(QString, name);
        QFETCH(QString, version);
        QFETCH(QString, operation);
        QFETCH(bool, warns);
        if (warns)
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QStringLiteral("Params Invalid")));
        hook(name, version, operation);
        QCOMPARE(settle(), QStringList());
        QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("owned"))));
    }

    // After a plain dpkg install of a package the store knows: the listing
    // and install state follow, a failed store download of it counts as
    // done unless the store has something newer, and the install is
    // announced once, before the upgrade caches are told.
    void outsideInstall_data()
    {
        QTest::addColumn<QString>("storeVersion");
        QTest::addColumn<QString>("historyOperation");
        QTest::newRow("store has nothing newer") << QStringLiteral("1.0") << OPERATION_INSTALL;
        QTest::newRow("store has a newer version")
            << QStringLiteral("2.0") << OPERATION_DOWNLOAD_ERROR;
    }

    void outsideInstall()
    {
        QFETCH(QString, storeVersion);
        QFETCH(QString, historyOperation);
        QVERIFY(
            runDpkg({QStringLiteral("-i"), m_repository.debPath(kPackage, QStringLiteral("1.0"))}));
        storeKnows(storeVersion);
        writeHistory(OPERATION_DOWNLOAD_ERROR);
        m_stateAtAnnouncement.clear();

        hook(kPackage, QStringLiteral("1.0"), QStringLiteral("install"));
        const QString size = QString::number(
            DpkgListing::field(kPackage, QStringLiteral("Installed-Size")).toLongLong());
        QCOMPARE(settle(), (QStringList{QStringLiteral("install %1 1.0 %2 [] ").arg(kPackage, size),
                                        QStringLiteral("dropUpgrade %1 1.0").arg(kPackage),
                                        QStringLiteral("aptInstRm %1 true").arg(kPackage)}));
        QCOMPARE(m_stateAtAnnouncement, QStringLiteral("0"));
        QCOMPARE(installState(QStringLiteral("app_name")), QStringLiteral("Hook Test"));
        QCOMPARE(installState(QStringLiteral("app_type")), QStringLiteral("3"));
        QCOMPARE(installState(QStringLiteral("owner_role")), kRole);
        QCOMPARE(historyField(QStringLiteral("operation")), historyOperation);
        if (historyOperation == OPERATION_INSTALL) {
            QCOMPARE(historyField(QStringLiteral("version")), QStringLiteral("1.0"));
            QCOMPARE(historyField(QStringLiteral("result")), QStringLiteral("1"));
            QCOMPARE(historyField(QStringLiteral("appSize")), size);
            QCOMPARE(historyField(QStringLiteral("path")),
                     AppStore::Utils::cacheDir() + QStringLiteral("archives/"));
        } else {
            QCOMPARE(historyField(QStringLiteral("version")), QStringLiteral("0.9"));
        }
        AppstoreDbTestFile file(AppstoreDb::databasePath());
        QCOMPARE(file.value(QStringLiteral("SELECT package_version FROM LocalOnTheShelvesAPP "
                                           "WHERE package_name = ?"),
                            {kPackage}),
                 storeVersion);
    }

    // After a plain dpkg removal: install state and history say removed.
    void outsideRemoval()
    {
        QVERIFY(
            runDpkg({QStringLiteral("-i"), m_repository.debPath(kPackage, QStringLiteral("1.0"))}));
        writeHistory(OPERATION_INSTALL);
        AppstoreDb::instance()->insertInstallStatus(
            kPackage, QStringLiteral("Hook Test"), QString(), QStringLiteral("3"),
            QStringLiteral("0"), kRole, QStringLiteral("2024-01-01 00:00:00"),
            QStringLiteral("2024-01-01 00:00:00"));
        QVERIFY(runDpkg({QStringLiteral("-r"), kPackage}));

        hook(kPackage, QStringLiteral("1.0"), QStringLiteral("remove"));
        QCOMPARE(settle(), (QStringList{QStringLiteral("remove ") + kPackage,
                                        QStringLiteral("dropUpgrade %1 ").arg(kPackage),
                                        QStringLiteral("aptInstRm %1 false").arg(kPackage)}));
        QCOMPARE(installState(QStringLiteral("app_status")), QStringLiteral("1"));
        QCOMPARE(historyField(QStringLiteral("operation")), OPERATION_PURGE);
    }

private:
    QTemporaryDir m_dir;
    PrivateSystemBus m_bus;
    ServerProcess m_login1;
    ServerProcess m_accounts;
    LocalHttpsServer m_server;
    LocalAptRepository m_repository;
    std::unique_ptr<HookCacheData> m_cache;
    QStringList m_events;
    QString m_stateAtAnnouncement;
};

QTEST_GUILESS_MAIN(TestHookCache)
#include "tst_hook_cache.moc"
