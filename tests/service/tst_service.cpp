#include "local_https_server.h"
#include "private_system_bus.h"
#include "server_process.h"
#include "store_test_setup.h"
#include "test_env.h"

#include "appstoredb_test_file.h"
#include "database/appstoredb.h"
#include "service/app_brief_info_interface.h"
#include "service/service.h"
#include "service/store_request_texts.h"
#include "utils/tls_trust.h"
#include "utils/utils.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using AppStore::Utils;
using Route = LocalHttpsServer::Route;
Q_DECLARE_METATYPE(LocalHttpsServer::Route)

namespace {

const QString kBriefPath = QStringLiteral("/store-dist-app/getAppBriefInfo");
const QString kUpgradePath = QStringLiteral("/store-dist-app/appUpgradeInfos");

Route reply(const QByteArray &body, int status = 200)
{
    Route route;
    route.status = status;
    route.body = body;
    return route;
}

} // namespace

class TestService : public QObject
{
    Q_OBJECT

private:
    // Points the store address at server and writes the edition file.
    void configure(const LocalHttpsServer &server, int editionType)
    {
        QVERIFY(StoreTestSetup::pointAt(server, m_dir.path()));
        QVERIFY(TestEnv::writeFile(m_dir.filePath(QStringLiteral("os-version")),
                                   "[Version]\nMajorVersion=25\nMinorVersion=3\nEditionType=" +
                                       QByteArray::number(editionType) + '\n'));
    }

    std::unique_ptr<Service> newService(int timeoutMs = 5000)
    {
        auto service = std::make_unique<Service>(QString(), 0);
        service->setTimeout(timeoutMs);
        return service;
    }

    LocalHttpsServer::Request lastRequest() const
    {
        const QList<LocalHttpsServer::Request> log = m_server.requestLog();
        return log.isEmpty() ? LocalHttpsServer::Request() : log.last();
    }

    int reportRows()
    {
        AppstoreDbTestFile file(AppstoreDb::databasePath());
        return file.count(QStringLiteral("report_bi"));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_bus.allowService(QStringLiteral("com.velkor.daemon.ChildrenGuard.Account"));
        QVERIFY2(!m_bus.start().isEmpty(), qPrintable(m_bus.errorString()));
        QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
        AppstoreDb::setDatabasePath(m_dir.filePath(QStringLiteral("appstore.db")));
        qputenv("BEXA_OS_VERSION_FILE", m_dir.filePath(QStringLiteral("os-version")).toUtf8());
        configure(m_server, 1);
        // The extra CA joins the system's store; it does not replace it.
        const QList<QSslCertificate> trusted = AppStore::TlsTrust::configuration().caCertificates();
        const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();
        QVERIFY(system.isEmpty() || trusted.contains(system.first()));
        QVERIFY(trusted.contains(QSslCertificate::fromPath(m_server.caCertificatePath()).first()));
    }

    void init() { m_server.clearRoutes(); }

    // The headers every store GET carries, and the two texts built from the
    // identity block.
    void headersAndUserAgent()
    {
        auto service = newService();
        QVERIFY(m_server.setRoute(kBriefPath, reply("{\"status\":200,\"datas\":[]}")));
        QVector<StoreService::AppBriefInfo> infos;
        QVERIFY(service->getLocalPackagesInfo({QStringLiteral("x")}, infos));

        const LocalHttpsServer::Request request = lastRequest();
        const RequestHeaderInfo info = service->getHeaderInfo();
        QStringList values;
        for (const char *name :
             {"arch", "mode", "platform", "region", "language", "baseline_version",
              "baseline_main_version", "os_build", "client_version", "motherboard", "cpu_clip",
              "eabi", "mac", "supfeatures", "iswayland"}) {
            QVERIFY2(request.headers.contains(QLatin1String(name)), name);
            values << request.headers.value(QLatin1String(name));
        }
        QCOMPARE(values, (QStringList{info.arch, info.mode, info.platform, info.region,
                                      AppStore::Utils::getUserLanguage(), info.baseline_version,
                                      info.baseline_main_version, info.os_build,
                                      info.client_version, info.motherboard, info.cpu_clip,
                                      info.eabi, info.mac, info.supfeatures, info.iswayland}));
        for (const char *name : {"userid", "referer", "token"})
            QVERIFY2(!request.headers.contains(QLatin1String(name)), name);
        QCOMPARE(request.headers.value(QStringLiteral("User-Agent")),
                 buildUserAgent(service->getHeaderInfo().biHeader));

        BiHeaderInfo bi;
        bi.device_id = QStringLiteral("dev");
        bi.client_version = QStringLiteral("1.2");
        bi.os = QStringLiteral("Home");
        bi.os_version = QStringLiteral("25,1");
        bi.os_build = QStringLiteral("b");
        bi.channel = QStringLiteral("ch");
        bi.uid = QStringLiteral("7");
        bi.cpuid = QStringLiteral("c");
        bi.uuid = QStringLiteral("u");
        bi.SN = QStringLiteral("s n");
        QCOMPARE(buildUserAgent(bi),
                 QStringLiteral("device_id/dev client/app_store client_version/1.2 os/Home "
                                "os_version/25,1 os_build/b channel/ch cpuid/c uuid/u SN/s n"));
        QCOMPARE(buildBiHeaderString(bi),
                 QStringLiteral("type/40 device_id/dev client/app_store client_version/1.2 "
                                "os/Home os_version/25,1 os_build/b channel/ch uid/7 cpuid/c "
                                "uuid/u SN/s n code/"));
    }

    // "youngster" only for a child's account on the "Home" edition. (Roles
    // are kept once known, so the user is not asked again as a parent.)
    void platform_data()
    {
        QTest::addColumn<int>("editionType");
        QTest::addColumn<QString>("role"); // empty: no account service
        QTest::addColumn<QString>("expected");
        QTest::newRow("home, no account service") << 4 << QString() << "Home";
        QTest::newRow("home, child") << 4 << "2"
                                     << "youngster";
        QTest::newRow("other edition") << 1 << "2" << Utils::osEditionName();
    }

    void platform()
    {
        QFETCH(int, editionType);
        QFETCH(QString, role);
        QFETCH(QString, expected);
        configure(m_server, editionType);
        ServerProcess account;
        if (!role.isEmpty())
            QVERIFY(account.start(qEnvironmentVariable("TWK_CHILDRENGUARD_STANDIN"),
                                  {QStringLiteral("root=") + role}, m_bus.environment()));
        auto service = newService();
        QVector<StoreService::AppBriefInfo> infos;
        service->getLocalPackagesInfo({QStringLiteral("x")}, infos);
        if (editionType != 4)
            expected = Utils::osEditionName();
        QCOMPARE(lastRequest().headers.value(QStringLiteral("platform")), expected);
        account.stop();
        configure(m_server, 1);
    }

    // What each reply gives; the envelope's status is not a verdict here.
    void replies_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("records") << QByteArray("{\"status\":200,\"datas\":["
                                               "{\"package_name\":\"a\",\"package_version\":\"2."
                                               "0\",\"is_forced_update\":2,\"file_size\":\"12\"},"
                                               "{\"package_name\":\"b\"}]}")
                                 << QStringList{"a", "b"};
        QTest::newRow("empty datas")
            << QByteArray("{\"status\":200,\"datas\":[]}") << QStringList();
        QTest::newRow("failure status") << QByteArray("{\"status\":500}") << QStringList();
        QTest::newRow("failure with datas")
            << QByteArray("{\"status\":500,\"datas\":[{\"package_name\":\"c\"}]}")
            << QStringList{"c"};
        QTest::newRow("datas not an array")
            << QByteArray("{\"status\":200,\"datas\":{\"package_name\":\"a\"}}") << QStringList();
        QTest::newRow("element not an object") << QByteArray("{\"datas\":[7]}") << QStringList{""};
        QTest::newRow("not json") << QByteArray("<html>") << QStringList();
        QTest::newRow("empty body") << QByteArray() << QStringList();
    }

    void replies()
    {
        QFETCH(QByteArray, body);
        QFETCH(QStringList, names);
        QVERIFY(m_server.setRoute(kBriefPath, reply(body)));
        QVector<StoreService::AppBriefInfo> infos{StoreService::AppBriefInfo()};
        QVERIFY(
            newService()->getLocalPackagesInfo({QStringLiteral("a"), QStringLiteral("b")}, infos));
        infos.removeFirst(); // what was there stays
        QStringList got;
        for (const StoreService::AppBriefInfo &info : std::as_const(infos))
            got.append(info.package_name);
        QCOMPARE(got, names);
        if (names.size() == 2) {
            QCOMPARE(infos.at(0).is_forced_update, 2);
            QCOMPARE(infos.at(0).file_size, 12);
            const StoreService::AppBriefInfo &defaults = infos.at(1);
            QCOMPARE(defaults.is_forced_update, 1);
            QCOMPARE(defaults.pkgInstallMode, 1);
            QCOMPARE(defaults.number, -1);
            QCOMPARE(defaults.appid, -1);
            QCOMPARE(defaults.category_id, -1);
            QCOMPARE(defaults.enable_mul_select, -1);
        }
    }

    // Every cut of a reply is read without harm.
    void truncatedReplies()
    {
        const QByteArray body =
            "{\"status\":200,\"desc\":\"ok\",\"datas\":[{\"package_name\":\"a\","
            "\"channelPkgs\":\"[{\\\"pkgChannel\\\":\\\"x\\\",\\\"pkgVer\\\":\\\"1\\\"}]\","
            "\"file_size\":99,\"name\":\"\\u00e4pp\"}]}";
        for (int length = 0; length <= body.size(); ++length) {
            QVector<StoreService::AppBriefInfo> infos;
            Service::parseAppBriefInfosReplyData(body.left(length), infos);
            QVERIFY(infos.size() <= 1);
        }
    }

    // A request that does not end well fails the query; a failed upgrade
    // query leaves one row to be sent again.
    void failures_data()
    {
        QTest::addColumn<Route>("route");
        QTest::addColumn<bool>("otherCa");
        Route drop;
        drop.drop = true;
        Route stall = reply("{\"datas\":[{\"package_name\":\"p\"}]}");
        stall.stallSeconds = 3;
        QTest::newRow("http error")
            << reply("{\"datas\":[{\"package_name\":\"p\"}]}", 500) << false;
        QTest::newRow("dropped connection") << drop << false;
        QTest::newRow("stall") << stall << false;
        QTest::newRow("certificate of another CA")
            << reply("{\"datas\":[{\"package_name\":\"p\"}]}") << true;
        QTest::newRow("reply over 8 MiB")
            << reply("{\"datas\":[{\"package_name\":\"p\"}],\"pad\":\"" +
                     QByteArray(8 * 1024 * 1024, ' ') + "\"}")
            << false;
    }

    void failures()
    {
        QFETCH(Route, route);
        QFETCH(bool, otherCa);
        // The names asked for are the caller's: no failure line repeats them.
        QTest::failOnWarning(QRegularExpression(QStringLiteral("package_names=")));
        LocalHttpsServer foreign(LocalHttpsServer::Certificate::FromOtherCa);
        if (otherCa) {
            QVERIFY2(foreign.start(), qPrintable(foreign.errorString()));
            configure(foreign, 1);
        }
        LocalHttpsServer &server = otherCa ? foreign : m_server;
        QVERIFY(server.setRoute(kBriefPath, route));
        QVERIFY(server.setRoute(kUpgradePath, route));
        auto service = newService(1000);

        QVector<StoreService::AppBriefInfo> infos;
        QVERIFY(!service->getLocalPackagesInfo({QStringLiteral("p")}, infos));
        QStringList names{QStringLiteral("p")};
        QStringList replies;
        QVERIFY(service->clientGetLocalPackagesInfo(names, replies).isEmpty());
        QVERIFY(replies.isEmpty());

        const int rowsBefore = reportRows();
        QVERIFY(!service->appUpgradeInfos({QStringLiteral("p")}, infos));
        QVERIFY(infos.isEmpty());
        QCOMPARE(reportRows(), rowsBefore + 1);
        AppstoreDbTestFile file(AppstoreDb::databasePath());
        const QStringList row = file.value(QStringLiteral("SELECT type, reportData FROM report_bi "
                                                          "ORDER BY id DESC LIMIT 1"))
                                    .split(u'|');
        QCOMPARE(row.first(), QStringLiteral("1"));
        const QJsonObject data = QJsonDocument::fromJson(row.at(1).toUtf8()).object();
        QVERIFY(data.value(QLatin1String("url"))
                    .toString()
                    .endsWith(QLatin1String("appUpgradeInfos?package_names=p")));
        QCOMPARE(data.value(QLatin1String("header")).toObject().value(QLatin1String("type")),
                 QStringLiteral("40"));
        configure(m_server, 1);
    }

    // Names reach the server as they were asked; the client's query also
    // gets the reply text.
    void queryText()
    {
        auto service = newService();
        const int before = m_server.requestLog().size();
        QVector<StoreService::AppBriefInfo> infos;
        QVERIFY(!service->getLocalPackagesInfo({}, infos));
        QCOMPARE(m_server.requestLog().size(), before);

        const QByteArray body = "{\"status\":200,\"datas\":[{\"package_name\":\"b+c&d e\"}]}";
        QVERIFY(m_server.setRoute(kBriefPath, reply(body)));
        QStringList names{QStringLiteral("a"), QStringLiteral("b+c&d e")};
        QStringList replies{QStringLiteral("earlier")};
        infos = service->clientGetLocalPackagesInfo(names, replies);
        QCOMPARE(lastRequest().path,
                 kBriefPath + QStringLiteral("?package_names=a&package_names=b%2Bc%26d%20e"));
        QCOMPARE(replies, QStringList({QStringLiteral("earlier"), QString::fromUtf8(body)}));
        QCOMPARE(infos.size(), 1);
        QCOMPARE(infos.first().package_name, names.last());
    }

    // Lookups for the install path answer in request order, and only with
    // the record of the package asked for.
    void lookup()
    {
        QVERIFY(m_server.setRoute(kBriefPath + QStringLiteral("?package_names=known"),
                                  reply("{\"datas\":[{\"package_name\":\"known\","
                                        "\"channelId\":\"store\"}]}")));
        QVERIFY(m_server.setRoute(kBriefPath + QStringLiteral("?package_names=other"),
                                  reply("{\"datas\":[{\"package_name\":\"known\"}]}")));
        QVERIFY(m_server.setRoute(kBriefPath, reply("{\"datas\":[]}")));
        AppBriefInfoInterface *lookup = AppBriefInfoInterface::instance();
        QStringList answers;
        connect(lookup, &AppBriefInfoInterface::sigGetAppBriefInfoFinished, this,
                [&](const QString &id, const StoreService::AppBriefInfo &info) {
                    answers.append(id + u':' + info.package_name + u':' + info.channelId);
                });
        connect(lookup, &AppBriefInfoInterface::sigGetAppBriefInfoFailed, this,
                [&](const QString &id, const QString &name) {
                    answers.append(id + QStringLiteral(":failed:") + name);
                });
        const quint64 first = lookup->getAppBriefInfo(QStringLiteral("1"), QStringLiteral("known"));
        lookup->getAppBriefInfo(QStringLiteral("2"), QStringLiteral("known"));
        lookup->getAppBriefInfo(QStringLiteral("3"), QStringLiteral("unknown"));
        QCOMPARE(lookup->getAppBriefInfo(QStringLiteral("4"), QStringLiteral("other")), first + 3);
        QTRY_COMPARE_WITH_TIMEOUT(answers.size(), 4, 20000);
        QCOMPARE(
            answers,
            QStringList({QStringLiteral("1:known:store"), QStringLiteral("2:known:store"),
                         QStringLiteral("3:failed:unknown"), QStringLiteral("4:failed:other")}));
        lookup->stopThread();
    }

    // A tab is empty unless its first page has a card; one that cannot be
    // read counts as empty.
    void tabPages()
    {
        auto service = newService(1000);
        const QString path = QStringLiteral("/store-dist-operaton/getTabDetail/12");
        QVERIFY(m_server.setRoute(path + QStringLiteral("?x=1&req_page_num=1&max_results=20"),
                                  reply("{\"status\":200,\"datas\":[{}]}")));
        QVERIFY(!service->getTabInfoIsEmpty(QStringLiteral("12?x=1")));
        QVERIFY(m_server.setRoute(path + QStringLiteral("?req_page_num=1&max_results=20"),
                                  reply("{\"status\":200,\"datas\":[]}")));
        QVERIFY(service->getTabInfoIsEmpty(QStringLiteral("12")));
        QVERIFY(m_server.setRoute(path, reply("{\"status\":200,\"datas\":[{}]}", 500)));
        QVERIFY(service->getTabInfoIsEmpty(QStringLiteral("12")));
    }

    // A thread being stopped sends nothing more.
    void stoppingThreadSendsNothing()
    {
        auto service = newService();
        const int before = m_server.requestLog().size();
        QThread thread;
        QObject context;
        context.moveToThread(&thread);
        thread.start();
        thread.requestInterruption();
        std::atomic<int> answer{-1};
        QMetaObject::invokeMethod(&context, [&] {
            QVector<StoreService::AppBriefInfo> infos;
            answer = service->getLocalPackagesInfo({QStringLiteral("p")}, infos);
        });
        QTRY_COMPARE(answer.load(), 0);
        thread.quit();
        QVERIFY(thread.wait(5000));
        QCOMPARE(m_server.requestLog().size(), before);
    }

private:
    QTemporaryDir m_dir;
    PrivateSystemBus m_bus;
    LocalHttpsServer m_server;
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
