#include "appstoredb_test_file.h"
#include "local_https_server.h"
#include "store_test_setup.h"

#include "database/appstoredb.h"
#include "dbus/app_store_interface.h"
#include "utils/proxy_system.h"
#include "utils/utils.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

#include <memory>

namespace {

QString briefJson(const QString &packageName)
{
    return QStringLiteral("{\"id\":\"%1\",\"package_name\":\"%1\"}").arg(packageName);
}

void expectRefusal(const char *pattern = "Params Invalid")
{
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QLatin1String(pattern)));
}

} // namespace

class TestSettingsMethods : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    LocalHttpsServer m_server;
    std::unique_ptr<AppstoreDbTestFile> m_file;
    AppStoreInterface *m_interface = nullptr;

    QStringList shelves()
    {
        return m_file->rows(
            QStringLiteral("SELECT package_name FROM LocalOnTheShelvesAPP ORDER BY package_name"));
    }

    // The store answers every brief-information query with one record.
    void serve(const QString &packageName)
    {
        LocalHttpsServer::Route route;
        route.body = "{\"status\":200,\"datas\":[" + briefJson(packageName).toUtf8() + "]}";
        QVERIFY(m_server.setRoute(QStringLiteral("/store-dist-app/getAppBriefInfo"), route));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        AppstoreDb::setDatabasePath(m_dir.filePath(QStringLiteral("appstore.db")));
        AppstoreDb::instance()->addAllNewColumn();
        m_file = std::make_unique<AppstoreDbTestFile>(AppstoreDb::databasePath());
        ProxySystem::setSettingsFilePath(m_dir.filePath(QStringLiteral("proxy.conf")));
        QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
        QVERIFY(StoreTestSetup::pointAt(m_server, m_dir.path()));
        m_interface = AppStoreInterface::instance();
    }

    // Only the setting columns are nodes; a stored value is applied and
    // announced, a refused one reaches neither the row nor the listeners.
    void setsAndReadsNodes_data()
    {
        QTest::addColumn<QString>("node");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("accepted");
        for (const auto &[node, value, accepted] :
             {std::tuple{"keepArchives", "1", true},
              {"keepArchives", "0", true},
              {"onNotice", "1", true},
              {"nothing", "1", false},
              {"onNotice = 1; DROP TABLE setting", "1", false},
              {"OnNotice", "1", false},
              {"onNotice", "1\n2", false}})
            QTest::addRow("%s=%s", node, value) << QString(node) << QString(value) << accepted;
    }
    void setsAndReadsNodes()
    {
        QFETCH(QString, node);
        QFETCH(QString, value);
        QFETCH(bool, accepted);
        const QString before = m_file->value(QStringLiteral("SELECT * FROM setting"));
        QSignalSpy spy(m_interface, &AppStoreInterface::sigConfigNodeStatusChanged);
        if (!accepted) {
            expectRefusal();
            m_interface->SetConfigByNodeName(node, value);
            QCOMPARE(m_file->value(QStringLiteral("SELECT * FROM setting")), before);
            if (!value.contains(QLatin1Char('\n'))) {
                expectRefusal();
                QCOMPARE(m_interface->GetConfigByNodeName(node), QString());
            }
            QCOMPARE(spy.count(), 0);
            return;
        }
        m_interface->SetConfigByNodeName(node, value);
        QCOMPARE(m_interface->GetConfigByNodeName(node), value);
        // The read right after announces the same value: once is enough.
        QCOMPARE(spy, (QList<QVariantList>{{node, value}}));
        if (node == QLatin1String("keepArchives"))
            QCOMPARE(AppStore::Utils::isKeepArchives(), value != QLatin1String("0"));
    }

    void agreement_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("expected");
        for (const auto &[version, expected] : {std::pair{"2.0|3.1", "2.0|3.1"},
                                                {"2.0", "2.0|3.1"},
                                                {"1|2|3", "2.0|3.1"},
                                                {"|3", "0|3"}})
            QTest::addRow("%s", version) << QString(version) << QString(expected);
    }
    void agreement()
    {
        QFETCH(QString, version);
        QFETCH(QString, expected);
        if (version.count(QLatin1Char('|')) != 1)
            expectRefusal("version format error");
        m_interface->setAgreeVersion(version);
        QCOMPARE(m_interface->GetAgreeVersion(), expected);
        m_interface->setAgreeSign(QString());
        QCOMPARE(m_interface->GetAgreeState(), QStringLiteral("0"));
    }

    // Proxy texts that are not a JSON object of plain texts never reach the
    // proxy settings.
    void refusesMalformedProxySettings_data()
    {
        QTest::addColumn<QString>("environment");
        QTest::newRow("not json") << QStringLiteral("x;touch owned");
        QTest::newRow("line break") << QStringLiteral("{\"http_proxy\":\"a\\nb\"}");
    }
    void refusesMalformedProxySettings()
    {
        QFETCH(QString, environment);
        expectRefusal();
        m_interface->SetSystemProxy(QStringLiteral("alice"), environment);
        QVERIFY(!QFile::exists(ProxySystem::settingsFilePath()));
    }

    // 0 replaces the rows of the records that parse and name a package, 1
    // deletes by name, any other value changes nothing.
    void operatesPublishedList_data()
    {
        QTest::addColumn<int>("operate");
        QTest::addColumn<QStringList>("list");
        QTest::addColumn<QStringList>("expected");
        const QString a = QStringLiteral("twk-a");
        const QString b = QStringLiteral("twk-b");
        QTest::newRow("insert") << 0
                                << QStringList{briefJson(b), QStringLiteral("{oops"),
                                               briefJson(QStringLiteral("x' OR '1'='1"))}
                                << QStringList{a, b};
        QTest::newRow("delete") << 1 << QStringList{a} << QStringList{};
        QTest::newRow("other") << 2 << QStringList{a} << QStringList{a};
    }
    void operatesPublishedList()
    {
        QFETCH(int, operate);
        QFETCH(QStringList, list);
        QFETCH(QStringList, expected);
        QVERIFY(m_file->exec(QStringLiteral("DELETE FROM LocalOnTheShelvesAPP")));
        m_interface->OperateLocalOnTheShelvesAppDb(0, {briefJson(QStringLiteral("twk-a"))});
        if (operate == 0)
            expectRefusal("left out");
        m_interface->OperateLocalOnTheShelvesAppDb(operate, list);
        QCOMPARE(shelves(), expected);
        QCOMPARE(m_interface->GetLocalOnTheShelvesAppInfo().size(), expected.size());
    }

    // At most 50 names a store query, in their order; no names, no query.
    void asksTheStoreInBatches_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QList<int>>("batches");
        QTest::newRow("none") << 0 << QList<int>{};
        QTest::newRow("30") << 30 << QList<int>{30};
        QTest::newRow("100") << 100 << QList<int>{50, 50};
        QTest::newRow("120") << 120 << QList<int>{50, 50, 20};
    }
    void asksTheStoreInBatches()
    {
        QFETCH(int, count);
        QFETCH(QList<int>, batches);
        serve(QStringLiteral("twk-x"));
        QStringList names;
        for (int i = 0; i < count; ++i)
            names.append(QStringLiteral("twk-none-%1").arg(i));
        const int logged = m_server.requestLog().size();

        QCOMPARE(m_interface->GetPackageLatestList(names).size(), batches.size());
        QList<int> asked;
        QStringList sent;
        for (const LocalHttpsServer::Request &request : m_server.requestLog().mid(logged)) {
            const QStringList batch = QUrlQuery(QUrl(request.path).query())
                                          .allQueryItemValues(QStringLiteral("package_names"));
            asked.append(batch.size());
            sent += batch;
        }
        QCOMPARE(asked, batches);
        QCOMPARE(sent, names);
    }

    // With the database check the published list follows the records and
    // the change is announced; without it the list stays as it is.
    void bringsThePublishedListInStep()
    {
        QVERIFY(m_file->exec(QStringLiteral("DELETE FROM LocalOnTheShelvesAPP")));
        serve(QStringLiteral("twk-new"));
        QSignalSpy spy(m_interface, &AppStoreInterface::sigLocalOnTheShelvesAppChanged);
        expectRefusal("left out");
        m_interface->GetPackageLatestList({QStringLiteral("-oDPkg::Pre-Invoke::=x")});
        QCOMPARE(shelves(), QStringList());
        m_interface->GetPackageLatestList({QStringLiteral("twk-new")}, true);
        QCOMPARE(shelves(), QStringList{QStringLiteral("twk-new")});
        QCOMPARE(spy.count(), 1);
    }

    // A value the database did not take is neither applied nor announced.
    void unstoredSettingIsNotApplied()
    {
        QVERIFY(m_file->exec(QStringLiteral("DELETE FROM setting")));
        AppStore::Utils::setKeepArchives(false);
        QSignalSpy spy(m_interface, &AppStoreInterface::sigConfigNodeStatusChanged);
        m_interface->SetConfigByNodeName(QStringLiteral("keepArchives"), QStringLiteral("2"));
        QCOMPARE(spy.count(), 0);
        QVERIFY(!AppStore::Utils::isKeepArchives());
    }
};

QTEST_GUILESS_MAIN(TestSettingsMethods)
#include "tst_settings_methods.moc"
