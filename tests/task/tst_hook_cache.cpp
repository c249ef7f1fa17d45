#include "dpkg_listing.h"
#include "engine_test_setup.h"
#include "local_apt_repository.h"
#include "local_https_server.h"
#include "private_system_bus.h"
#include "server_process.h"
#include "store_test_setup.h"
#include "test_env.h"

#include "common/operation_codes.h"
#include "database/appstoredb.h"
#include "task/hookcachedata.h"
#include "utils/utils.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>

using EngineEnd = std::function<void(HookCacheData *, const QString &)>;
Q_DECLARE_METATYPE(EngineEnd)

namespace {

const QString kPackage = QStringLiteral("twk-test-hook");
const QString kAbsent = QStringLiteral("twk-test-hook-absent");
// Removed after everything a test sent: once its removal is announced, all
// earlier calls have been dealt with.
const QString kMarker = QStringLiteral("twk-test-hook-marker");
const QString kRole = QStringLiteral("2");

QStringList announced(const QString &name, bool installed, const QString &version = {})
{
    return {QStringLiteral("dropUpgrade %1 %2").arg(name, version),
            QStringLiteral("aptInstRm %1 %2").arg(name, installed ? "true" : "false")};
}

// The engine's end reports, as its queued connections deliver them.
EngineEnd progress(int state, qlonglong progress)
{
    return [=](HookCacheData *cache, const QString &name) {
        cache->OnInstallFinishedSlot(QString(), name, state, 100, progress, QString());
    };
}

} // namespace

class TestHookCache : public QObject
{
    Q_OBJECT

    void hook(const QString &name, const QString &version, const QString &operation)
    {
        emit m_cache->sigDpkgHookOpt(name, version, operation);
    }

    // What the cache announced up to the marker's removal, the marker's left out.
    QStringList settle()
    {
        hook(kMarker, QStringLiteral("1.0"), QStringLiteral("remove"));
        const QString end = announced(kMarker, false).last();
        if (!TestEnv::waitFor([&] { return m_events.contains(end); }, 30000))
            return {QStringLiteral("marker never handled")};
        return m_events.filter(QRegularExpression(QStringLiteral("^\\w+ (?!") + kMarker + ')'));
    }

    bool runDpkg(const QStringList &arguments)
    {
        return TestEnv::runTool(QStringLiteral("dpkg"), arguments, m_repository.environment())
            .succeeded();
    }

    static QStringList installState(const QStringList &columns)
    {
        return EngineTestSetup::firstRow(QStringLiteral("app_install_status"),
                                         QStringLiteral("package_name"), kPackage, columns);
    }

    void writeHistory(const QString &operation)
    {
        ApplicationHistoryRow row;
        row.packageName = kPackage;
        row.version = QStringLiteral("0.9");
        row.operation = operation;
        row.result = QStringLiteral("0");
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
        QVERIFY(m_login1.start(qEnvironmentVariable("TWK_LOGIN1_STANDIN"),
                               {QStringLiteral("alice"), QStringLiteral("1000")},
                               m_bus.environment()));
        QVERIFY(m_accounts.start(qEnvironmentVariable("TWK_CHILDRENGUARD_STANDIN"),
                                 {QStringLiteral("alice=") + kRole}, m_bus.environment()));
        QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
        QVERIFY(StoreTestSetup::pointAt(m_server, m_dir.path()));
        AppstoreDb::setDatabasePath(m_dir.filePath(QStringLiteral("appstore.db")));
        // No desktop file: the install is announced only after the store's
        // answer has been recorded.
        LocalAptRepository::PackageOptions options;
        options.desktopApplication = false;
        QVERIFY(m_repository.addPackage(kPackage, QStringLiteral("1.0"), options));
    }

    void cleanupTestCase() { runDpkg({QStringLiteral("--purge"), kPackage}); }

    void init()
    {
        m_events.clear();
        m_cache = std::make_unique<HookCacheData>();
        HookCacheData *cache = m_cache.get();
        auto record = [this](const QString &event) { m_events.append(event); };
        connect(cache, &HookCacheData::sigInstallPackageFromHook, this,
                [=](const QString &name, const QString &version, const QString &size,
                    const QStringList &desktopFiles, const QString &channel) {
                    record(QStringLiteral("install %1 %2 %3 [%4] %5")
                               .arg(name, version, size, desktopFiles.join(' '), channel));
                    m_stateAtAnnouncement = installState({QStringLiteral("app_status")});
                });
        connect(cache, &HookCacheData::sigRemovePackageFromHook, this,
                [=](const QString &name) { record(QStringLiteral("remove ") + name); });
        connect(cache, &HookCacheData::sigRemoveUpdateCacheItem, this,
                [=](const QString &name, const QString &version) {
                    record(announced(name, false, version).first());
                });
        connect(cache, &HookCacheData::sigAptInstRm, this,
                [=](const QString &name, bool installed) {
                    record(announced(name, installed).last());
                });
        cache->startThread();
    }

    void cleanup()
    {
        m_cache->stopThread();
        m_cache.reset();
    }

    // A hook call about a package the store is handling is the store's own
    // doing, until the engine reports the operation's end.
    void storeOperationsIgnoredUntilTheirEnd_data()
    {
        QTest::addColumn<int>("entry"); // -1: the store never took the package
        QTest::addColumn<EngineEnd>("end");
        QTest::addColumn<bool>("handled");
        const EngineEnd none = [](HookCacheData *, const QString &) {};
        QTest::newRow("outside package") << -1 << none << true;
        QTest::newRow("install running") << 0 << none << false;
        QTest::newRow("install progressing") << 0 << progress(1, 50) << false;
        QTest::newRow("downloaded") << 0 << progress(0, 100) << false;
        QTest::newRow("installed") << 0 << progress(1, 100) << true;
        QTest::newRow("install failed") << 0 << progress(1, -1) << true;
        QTest::newRow("download failed") << 0 << progress(0, -1) << true;
        QTest::newRow("removal running") << 1 << none << false;
        QTest::newRow("purge ended")
            << 1 << EngineEnd([](HookCacheData *cache, const QString &name) {
                   cache->OnPurgeFinishedSlot(QString(), name, false);
               })
            << true;
        QTest::newRow("left the engine")
            << 0 << EngineEnd([](HookCacheData *cache, const QString &name) {
                   cache->OnRemoveHookCacheDataSlot({name});
               })
            << true;
    }

    void storeOperationsIgnoredUntilTheirEnd()
    {
        QFETCH(int, entry);
        QFETCH(EngineEnd, end);
        QFETCH(bool, handled);
        HookCacheData *cache = m_cache.get();
        if (entry >= 0)
            emit cache->sigInsertData(HookData{kAbsent, entry});
        QMetaObject::invokeMethod(
            cache, [=] { end(cache, kAbsent); }, Qt::QueuedConnection);
        hook(kAbsent, QStringLiteral("1.0"), QStringLiteral("remove"));
        const QStringList handledEvents =
            QStringList{QStringLiteral("remove ") + kAbsent} + announced(kAbsent, false);
        QCOMPARE(settle(), handled ? handledEvents : QStringList());
    }

    // Texts a tool or a shell would read as more than a name never reach
    // one; an empty text is ignored without a word.
    void refusedCalls_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("operation");
        const QString one = QStringLiteral("1.0");
        const QString remove = QStringLiteral("remove");
        for (const QString &bad : {QStringLiteral("x;touch owned"), QStringLiteral("$(id)"),
                                   QStringLiteral("-oAPT::x")}) {
            QTest::newRow(qPrintable(QStringLiteral("name ") + bad)) << bad << one << remove;
            QTest::newRow(qPrintable(QStringLiteral("version ") + bad)) << kAbsent << bad << remove;
        }
        QTest::newRow("operation with a line break") << kAbsent << one << remove + "\ninstall";
        QTest::newRow("empty version") << kAbsent << QString() << remove;
        QTest::newRow("empty operation") << kAbsent << one << QString();
    }

    void refusedCalls()
    {
        QFETCH(QString, name);
        QFETCH(QString, version);
        QFETCH(QString, operation);
        if (!version.isEmpty() && !operation.isEmpty())
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QStringLiteral("Params Invalid")));
        hook(name, version, operation);
        QCOMPARE(settle(), QStringList());
        QVERIFY(!QFile::exists(m_dir.filePath(QStringLiteral("owned"))));
    }

    // A plain dpkg install of a package the store knows: listing and install
    // state follow, a failed store download or install of it counts as done
    // unless the store has something newer, and it is announced once, after
    // its state row was written and before the upgrade caches are told.
    void outsideInstall_data()
    {
        QTest::addColumn<QString>("storeVersion");
        QTest::addColumn<QStringList>("history"); // operation, version, result
        QTest::addColumn<QString>("storeAttempt");
        QTest::newRow("store has nothing newer")
            << QStringLiteral("1.0") << QStringList{OPERATION_INSTALL, "1.0", "1"}
            << OPERATION_DOWNLOAD_ERROR;
        QTest::newRow("store install failed")
            << QStringLiteral("1.0") << QStringList{OPERATION_INSTALL, "1.0", "1"}
            << OPERATION_INSTALL_ERROR;
        QTest::newRow("store has a newer version")
            << QStringLiteral("2.0") << QStringList{OPERATION_DOWNLOAD_ERROR, "0.9", "0"}
            << OPERATION_DOWNLOAD_ERROR;
    }

    void outsideInstall()
    {
        QFETCH(QString, storeVersion);
        QFETCH(QStringList, history);
        QFETCH(QString, storeAttempt);
        QVERIFY(runDpkg({QStringLiteral("-i"), m_repository.debPath(kPackage, "1.0")}));
        LocalHttpsServer::Route route;
        route.body = QStringLiteral("{\"datas\":[{\"package_name\":\"%1\",\"package_version\":"
                                    "\"%2\",\"name\":\"Hook Test\",\"category_id\":3}]}")
                         .arg(kPackage, storeVersion)
                         .toUtf8();
        QVERIFY(m_server.setRoute(QStringLiteral("/store-dist-app/getAppBriefInfo"), route));
        writeHistory(storeAttempt);
        m_stateAtAnnouncement.clear();

        hook(kPackage, QStringLiteral("1.0"), QStringLiteral("install"));
        const QString size = QString::number(
            DpkgListing::field(kPackage, QStringLiteral("Installed-Size")).toLongLong());
        QCOMPARE(settle(),
                 QStringList{QStringLiteral("install %1 1.0 %2 [] ").arg(kPackage, size)} +
                     announced(kPackage, true, QStringLiteral("1.0")));
        QCOMPARE(m_stateAtAnnouncement, QStringList{QStringLiteral("0")});
        QCOMPARE(installState({"app_name", "app_type", "owner_role"}),
                 (QStringList{QStringLiteral("Hook Test"), QStringLiteral("3"), kRole}));
        QCOMPARE(EngineTestSetup::historyRow(kPackage, {"operation", "version", "result"}),
                 history);
        QCOMPARE(EngineTestSetup::firstRow(QStringLiteral("LocalOnTheShelvesAPP"),
                                           QStringLiteral("package_name"), kPackage,
                                           {QStringLiteral("package_version")}),
                 QStringList{storeVersion});
    }

    // A plain dpkg removal: install state and history say removed.
    void outsideRemoval()
    {
        QVERIFY(runDpkg({QStringLiteral("-i"), m_repository.debPath(kPackage, "1.0")}));
        writeHistory(OPERATION_INSTALL);
        const QString time = QStringLiteral("2024-01-01 00:00:00");
        AppstoreDb::instance()->insertInstallStatus(kPackage, QStringLiteral("Hook Test"),
                                                    QString(), QStringLiteral("3"),
                                                    QStringLiteral("0"), kRole, time, time);
        QVERIFY(runDpkg({QStringLiteral("-r"), kPackage}));

        hook(kPackage, QStringLiteral("1.0"), QStringLiteral("remove"));
        QCOMPARE(settle(),
                 QStringList{QStringLiteral("remove ") + kPackage} + announced(kPackage, false));
        QCOMPARE(installState({QStringLiteral("app_status")}), QStringList{QStringLiteral("1")});
        QCOMPARE(EngineTestSetup::historyRow(kPackage, {QStringLiteral("operation")}),
                 QStringList{OPERATION_PURGE});
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
    QStringList m_stateAtAnnouncement;
};

QTEST_GUILESS_MAIN(TestHookCache)
#include "tst_hook_cache.moc"
