#include "appstoredb_test_file.h"
#include "local_https_server.h"
#include "store_test_setup.h"
#include "test_env.h"

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

const QString kBriefPath = QStringLiteral("/store-dist-app/getAppBriefInfo");

QStringList names(int count)
{
    QStringList list;
    for (int i = 0; i < count; ++i)
        list.append(QStringLiteral("twk-none-%1").arg(i));
    return list;
}

QString briefJson(const QString &packageName)
{
    return QStringLiteral("{\"id\":\"%1\",\"package_name\":\"%1\",\"package_version\":\"1.0\"}")
        .arg(packageName);
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

    QStringList shelvesNames()
    {
        return m_file->rows(
            QStringLiteral("SELECT package_name FROM LocalOnTheShelvesAPP ORDER BY package_name"));
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

    void init() { QVERIFY(m_server.clearRoutes()); }

    // Only the setting columns are nodes; a stored value is applied and
    // announced, a refused one reaches neither the row nor the listeners.
    void setsAndReadsNodes_data()
    {
        QTest::addColumn<QString>("node");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("switch on") << "keepArchives"
                                   << "1" << true;
        QTest::newRow("switch off") << "keepArchives"
                                    << "0" << true;
        QTest::newRow("plain node") << "onNotice"
                                    << "1" << true;
        QTest::newRow("not a column") << "nothing"
                                      << "1" << false;
        QTest::newRow("sql as node") << "onNotice = 1; DROP TABLE setting"
                                     << "1" << false;
        QTest::newRow("case differs") << "OnNotice"
                                      << "1" << false;
        QTest::newRow("control character") << "onNotice"
                                           << "1\n2" << false;
    }
    void setsAndReadsNodes()
    {
        QFETCH(QString, node);
        QFETCH(QString, value);
        QFETCH(bool, accepted);
        const QString before = m_file->value(QStringLiteral("SELECT * FROM setting"));
        QSignalSpy spy(m_interface, &AppStoreInterface::sigConfigNodeStatusChanged);
        if (!accepted)
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QStringLiteral("Params Invalid")));
        m_interface->SetConfigByNodeName(node, value);
        if (!accepted) {
            QCOMPARE(spy.count(), 0);
            QCOMPARE(m_file->value(QStringLiteral("SELECT * FROM setting")), before);
            if (value.contains(QLatin1Char('\n')))
                return;
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QStringLiteral("Params Invalid")));
            QCOMPARE(m_interface->GetConfigByNodeName(node), QString());
            QCOMPARE(spy.count(), 0);
            return;
        }
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.takeFirst(), (QVariantList{node, value}));
        QCOMPARE(m_interface->GetConfigByNodeName(node), value);
        QCOMPARE(spy.count(), 1);
        if (node == QLatin1String("keepArchives"))
            QCOMPARE(AppStore::Utils::isKeepArchives(), value != QLatin1String("0"));
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
        AppstoreDb::instance()->addAllNewColumn();
        QVERIFY(m_file->exec(QStringLiteral(
            "INSERT INTO setting (createDesktop, freeDownload, onNotice, serviceVersion, "
            "privacyVersion, agreeSign, upgradeNoticeTime, keepArchives, installFilter) "
            "VALUES ('2', '1', '1', '', '', '', '19700101', '0', '0')")));
    }

    void agreement_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("expected");
        QTest::newRow("two parts") << "2.0|3.1"
                                   << "2.0|3.1";
        QTest::newRow("one part") << "2.0"
                                  << "2.0|3.1";
        QTest::newRow("three parts") << "1|2|3"
                                     << "2.0|3.1";
        QTest::newRow("empty service part") << "|3"
                                            << "0|3";
    }
    void agreement()
    {
        QFETCH(QString, version);
        QFETCH(QString, expected);
        if (version.count(QLatin1Char('|')) != 1)
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QStringLiteral("version format error")));
        m_interface->setAgreeVersion(version);
        QCOMPARE(m_interface->GetAgreeVersion(), expected);

        m_interface->setAgreeSign(QString());
        QCOMPARE(m_interface->GetAgreeState(), QStringLiteral("0"));
        m_interface->setAgreeSign(QStringLiteral("1"));
        QCOMPARE(m_interface->GetAgreeState(), QStringLiteral("1"));
    }

    void niceValueOutOfRangeFallsBack()
    {
        QCOMPARE(m_interface->setNiceAndPriority(25, 0),
                 QStringLiteral("Current Nice and Priority: priority = 10, scheduler = 0"));
        QCOMPARE(m_interface->getNiceAndPriority(), m_interface->setNiceAndPriority(25, 0));
    }

    // The upgrade checker is absent: no check runs, and the status says so.
    void noUpgradeCheckRuns()
    {
        QSignalSpy spy(m_interface, &AppStoreInterface::sigGetLocalUpgradeCheckStatus);
        m_interface->CheckAppUpgrade();
        m_interface->getLocalUpgradeCheckStatus();
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.first().first().toBool(), false);
    }

    // Proxy texts that are not a JSON object of plain texts never reach the
    // proxy settings.
    void refusesMalformedProxySettings_data()
    {
        QTest::addColumn<QString>("userName");
        QTest::addColumn<QString>("environment");
        QTest::newRow("not json") << "alice"
                                  << "x;touch owned";
        QTest::newRow("line break in a value") << "alice"
                                               << "{\"http_proxy\":\"a\\nb\"}";
        QTest::newRow("path as user") << "../../etc/passwd"
                                      << "{\"http_proxy\":\"a\"}";
    }
    void refusesMalformedProxySettings()
    {
        QFETCH(QString, userName);
        QFETCH(QString, environment);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Params Invalid")));
        m_interface->SetSystemProxy(userName, environment);
        QVERIFY(!QFile::exists(ProxySystem::settingsFilePath()));
    }

    // Operation 0 replaces the rows of the records that parse, 1 deletes by
    // name, any other value changes nothing.
    void operatesPublishedList_data()
    {
        QTest::addColumn<int>("operate");
        QTest::addColumn<QStringList>("list");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("insert, one text not json")
            << 0 << QStringList{briefJson(QStringLiteral("twk-b")), QStringLiteral("{oops")}
            << QStringList{QStringLiteral("twk-a"), QStringLiteral("twk-b")};
        QTest::newRow("insert, hostile name")
            << 0 << QStringList{briefJson(QStringLiteral("x' OR '1'='1"))}
            << QStringList{QStringLiteral("twk-a")};
        QTest::newRow("delete") << 1 << QStringList{QStringLiteral("twk-a")} << QStringList{};
        QTest::newRow("other value")
            << 2 << QStringList{QStringLiteral("twk-a")} << QStringList{QStringLiteral("twk-a")};
    }
    void operatesPublishedList()
    {
        QFETCH(int, operate);
        QFETCH(QStringList, list);
        QFETCH(QStringList, expected);
        QVERIFY(m_file->exec(QStringLiteral("DELETE FROM LocalOnTheShelvesAPP")));
        m_interface->OperateLocalOnTheShelvesAppDb(0, {briefJson(QStringLiteral("twk-a"))});
        if (operate == 0)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("left out")));
        m_interface->OperateLocalOnTheShelvesAppDb(operate, list);
        QCOMPARE(shelvesNames(), expected);
        QCOMPARE(m_interface->GetLocalOnTheShelvesAppInfo().size(), expected.size());
    }

    // At most 50 names a store query, in their order; an empty list asks
    // nothing.
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
        LocalHttpsServer::Route route;
        route.body =
            "{\"status\":200,\"datas\":[" + briefJson(QStringLiteral("twk-x")).toUtf8() + "]}";
        QVERIFY(m_server.setRoute(kBriefPath, route));
        const int logged = m_server.requestLog().size();

        const QStringList result = m_interface->GetPackageLatestList(names(count));

        QList<int> asked;
        QStringList sent;
        for (const LocalHttpsServer::Request &request : m_server.requestLog().mid(logged)) {
            const QUrlQuery query(QUrl(request.path).query());
            const QStringList batch = query.allQueryItemValues(QStringLiteral("package_names"));
            asked.append(batch.size());
            sent += batch;
        }
        QCOMPARE(asked, batches);
        QCOMPARE(sent, names(count));
        QCOMPARE(result.size(), batches.size());
    }

    // With the database check the published list follows the records and
    // the change is announced; without it the list stays as it is.
    void bringsThePublishedListInStep()
    {
        QVERIFY(m_file->exec(QStringLiteral("DELETE FROM LocalOnTheShelvesAPP")));
        LocalHttpsServer::Route route;
        route.body =
            "{\"status\":200,\"datas\":[" + briefJson(QStringLiteral("twk-new")).toUtf8() + "]}";
        QVERIFY(m_server.setRoute(kBriefPath, route));
        QSignalSpy spy(m_interface, &AppStoreInterface::sigLocalOnTheShelvesAppChanged);

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("left out")));
        QCOMPARE(m_interface
                     ->GetPackageLatestList(
                         {QStringLiteral("twk-new"), QStringLiteral("-oDPkg::Pre-Invoke::=x")})
                     .size(),
                 1);
        QCOMPARE(spy.count(), 0);
        QCOMPARE(shelvesNames(), QStringList());

        m_interface->GetPackageLatestList({QStringLiteral("twk-new")}, true);
        QCOMPARE(shelvesNames(), QStringList{QStringLiteral("twk-new")});
        QCOMPARE(spy.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestSettingsMethods)
#include "tst_settings_methods.moc"
