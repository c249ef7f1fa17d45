#include "appstoredb_test_file.h"
#include "local_https_server.h"
#include "store_test_setup.h"
#include "test_env.h"

#include "database/appstoredb.h"
#include "service/service.h"
#include "service/statistics_report.h"
#include "service/store_request_texts.h"
#include "service/thread_pool_manager.h"
#include "service/uploaddownloadstatustask.h"
#include "utils/tls_trust.h"
#include "utils/utils.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

using Route = LocalHttpsServer::Route;

namespace {

const QString kStatsPath = QStringLiteral("/upload/downstat");
const QString kLogPath = QStringLiteral("/bi-log/downloadBiLog");

DownloadStateBiData record(const QString &package, const QString &type, const QString &code)
{
    DownloadStateBiData data;
    data.package_name = package;
    data.type = type;
    data.code = code;
    data.session_id = QStringLiteral("s-") + package;
    data.package_version = QStringLiteral("1.0");
    data.content = QStringLiteral("failed: ünïcödé ✓");
    return data;
}

Route status(int code, int stallSeconds = 0)
{
    Route route;
    route.status = code;
    route.stallSeconds = stallSeconds;
    return route;
}

} // namespace

class TestStatistics : public QObject
{
    Q_OBJECT

private:
    QList<LocalHttpsServer::Request> requestsFor(const QString &path) const
    {
        QList<LocalHttpsServer::Request> matching;
        const QList<LocalHttpsServer::Request> log = m_server.requestLog();
        for (const LocalHttpsServer::Request &request : log) {
            if (request.path.startsWith(path))
                matching.append(request);
        }
        return matching;
    }

    int rows() { return AppstoreDbTestFile(AppstoreDb::databasePath()).count("report_bi"); }

    void storeRow(int type, const QString &url, const QString &header, const QString &body)
    {
        NetRetryData row;
        row.type = QString::number(type);
        row.reportData =
            StatisticsReport::buildRetryReportData(type, url, header, body, QStringLiteral("pkg"));
        QVERIFY(AppstoreDb::instance()->insertReportBiInfo(row));
    }

    void replayAndWait()
    {
        QSignalSpy finished(ThreadPoolManager::instance(), &ThreadPoolManager::netRetryTaskFinish);
        QMetaObject::invokeMethod(ThreadPoolManager::instance(), "onReportBiTask",
                                  Qt::QueuedConnection);
        QVERIFY(finished.wait(30000));
    }

    void clearRows()
    {
        AppstoreDbTestFile(AppstoreDb::databasePath())
            .exec(QStringLiteral("DELETE FROM report_bi"));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
        AppstoreDb::setDatabasePath(m_dir.filePath(QStringLiteral("appstore.db")));
        QVERIFY(StoreTestSetup::pointAt(m_server, m_dir.path()));
        Service::instance()->setTimeout(1500);

        // The manager is first asked for on a pool thread, which has no event
        // loop: its replay timer must still fire.
        QThreadPool::globalInstance()->start([] { ThreadPoolManager::instance(); });
        QThreadPool::globalInstance()->waitForDone();
        QSignalSpy finished(ThreadPoolManager::instance(), &ThreadPoolManager::netRetryTaskFinish);
        ThreadPoolManager::instance()->setReplayInterval(200);
        QVERIFY(finished.wait(10000));
        ThreadPoolManager::instance()->setReplayInterval(3600 * 1000);
    }

    void init()
    {
        m_server.clearRoutes();
        m_server.setRoute(kStatsPath, status(200));
        m_server.setRoute(kLogPath, status(200));
        clearRows();
    }

    // Which requests a record makes, and what its User-Agent says.
    void reports_data()
    {
        QTest::addColumn<QString>("package");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("middle"); // between session_id and code
        QTest::addColumn<bool>("logPost");
        QTest::newRow("41 installed") << "dpkg"
                                      << "41"
                                      << "0"
                                      << " down_type/1 " << false;
        QTest::newRow("41 not installed") << "twk-none"
                                          << "41"
                                          << "200"
                                          << " down_type/0 " << false;
        QTest::newRow("other type") << "dpkg"
                                    << "42"
                                    << "510"
                                    << " " << false;
        QTest::newRow("empty code") << "dpkg"
                                    << "43"
                                    << ""
                                    << " " << false;
        QTest::newRow("not a number") << "dpkg"
                                      << "43"
                                      << "x"
                                      << " " << false;
        QTest::newRow("failure code") << "dpkg"
                                      << "43"
                                      << "500"
                                      << " " << true;
    }

    void reports()
    {
        QFETCH(QString, package);
        QFETCH(QString, type);
        QFETCH(QString, code);
        QFETCH(QString, middle);
        QFETCH(bool, logPost);
        const int before = m_server.requestLog().size();
        uploadDownloadStatusTask task(record(package, type, code));
        task.setAutoDelete(false);
        task.run();

        const QList<LocalHttpsServer::Request> log = m_server.requestLog().mid(before);
        QStringList sent;
        for (const LocalHttpsServer::Request &request : log) {
            if (!request.path.startsWith(QLatin1String("/store-dist-app")))
                sent.append(request.method + u' ' + request.path);
        }
        QStringList expected{QStringLiteral("GET ") + kStatsPath};
        if (logPost)
            expected.append(QStringLiteral("POST ") + kLogPath);
        QCOMPARE(sent, expected);
        const QList<LocalHttpsServer::Request> gets = requestsFor(kStatsPath);
        const QString agent = gets.last().headers.value(QStringLiteral("User-Agent"));
        QVERIFY2(agent.startsWith(QStringLiteral("type/") + type + QStringLiteral(" device_id/")),
                 qPrintable(agent));
        QVERIFY2(agent.endsWith(QStringLiteral("session_id/s-") + package + middle +
                                QStringLiteral("code/") + code),
                 qPrintable(agent));
        const QList<LocalHttpsServer::Request> posts = requestsFor(kLogPath);
        if (logPost) {
            QCOMPARE(posts.last().method, QStringLiteral("POST"));
            QCOMPARE(posts.last().headers.value(QStringLiteral("type")), QStringLiteral("9"));
            QCOMPARE(posts.last().body,
                     QByteArray("{\n    \"content\": \"failed: ünïcödé ✓\"\n}\n"));
        }
        QCOMPARE(rows(), 0);
    }

    // With the service down every report is kept; back up, each is
    // delivered once and its row goes.
    void nothingLostOrSentTwice()
    {
        m_server.setRoute(kStatsPath, status(503));
        m_server.setRoute(kLogPath, status(503));
        for (int i = 0; i < 5; ++i)
            ThreadPoolManager::instance()->addUploadDownloadTask(
                record(QStringLiteral("p%1").arg(i), QStringLiteral("42"), QStringLiteral("500")));
        QTRY_COMPARE_WITH_TIMEOUT(rows(), 10, 30000);

        m_server.setRoute(kStatsPath, status(200));
        m_server.setRoute(kLogPath, status(200));
        const int getsBefore = requestsFor(kStatsPath).size();
        const int postsBefore = requestsFor(kLogPath).size();
        replayAndWait();
        QCOMPARE(rows(), 0);
        QCOMPARE(requestsFor(kStatsPath).size() - getsBefore, 5);
        const QList<LocalHttpsServer::Request> posts = requestsFor(kLogPath);
        QCOMPARE(posts.size() - postsBefore, 5);
        // The body of the first sending arrives byte for byte.
        QCOMPARE(posts.last().body, QByteArray("{\n    \"content\": \"failed: ünïcödé ✓\"\n}\n"));
    }

    // A pass stops at the first row that fails again; rows that cannot be
    // sent at all are dropped; each row is sent as it was stored.
    void replayPass()
    {
        const QString base = StoreTestSetup::baseUrl(m_server) + u'/';
        m_server.setRoute(QStringLiteral("/fails"), status(503));
        storeRow(2, base + QStringLiteral("ok-post"), QStringLiteral("type/43 code/500"),
                 QStringLiteral("{\"content\":\"ü\"}"));
        // Stored as a failed store query stores it: no request kind of its own.
        AppstoreDb::instance()->insertReportBiInfo(
            {0, QStringLiteral("1"),
             buildRetryReportData(base + QStringLiteral("ok-get"),
                                  QStringLiteral("type/40 os/x code/"))});
        AppstoreDb::instance()->insertReportBiInfo({0, QStringLiteral("1"), QStringLiteral("[]")});
        storeRow(1, base + QStringLiteral("fails"), QStringLiteral("type/42"), QString());
        storeRow(1, base + QStringLiteral("later"), QStringLiteral("type/42"), QString());
        m_server.setRoute(QStringLiteral("/ok-post"), status(200));
        m_server.setRoute(QStringLiteral("/ok-get"), status(200));
        m_server.setRoute(QStringLiteral("/later"), status(200));
        AppstoreDbTestFile file(AppstoreDb::databasePath());
        const QString stampedBefore = file.value(QStringLiteral("SELECT updateTime FROM report_bi "
                                                                "WHERE reportData LIKE '%fails%'"));
        QTest::qWait(1100); // the stamp has a resolution of a second

        replayAndWait();
        const QList<LocalHttpsServer::Request> log = m_server.requestLog();
        QStringList sent;
        for (const LocalHttpsServer::Request &request : log) {
            if (!request.path.startsWith(QLatin1String("/store-dist-app")))
                sent.append(request.method + u' ' + request.path);
        }
        QCOMPARE(sent.mid(sent.size() - 3),
                 QStringList({QStringLiteral("POST /ok-post"), QStringLiteral("GET /ok-get"),
                              QStringLiteral("GET /fails")}));
        QCOMPARE(requestsFor(QStringLiteral("/ok-post")).last().body,
                 QStringLiteral("{\"content\":\"ü\"}").toUtf8());
        // Each row from a fresh record, its stored values kept.
        const QString agent = requestsFor(QStringLiteral("/ok-get"))
                                  .last()
                                  .headers.value(QStringLiteral("User-Agent"));
        QVERIFY2(agent.startsWith(QStringLiteral("type/40 ")) &&
                     agent.contains(QStringLiteral(" os/x ")) &&
                     agent.endsWith(QStringLiteral(" code/")),
                 qPrintable(agent));
        QCOMPARE(rows(), 2);
        QVERIFY(file.value(QStringLiteral("SELECT updateTime FROM report_bi WHERE reportData "
                                          "LIKE '%fails%'")) != stampedBefore);
        QVERIFY(requestsFor(QStringLiteral("/later")).isEmpty());
    }

    // Three reports run at once; the fourth waits for a free thread.
    void poolOfThree()
    {
        m_server.setRoute(kStatsPath, status(200, 2));
        QSignalSpy results(ThreadPoolManager::instance(),
                           &ThreadPoolManager::uploadDownloadTaskResult);
        for (int i = 0; i < 4; ++i)
            ThreadPoolManager::instance()->addUploadDownloadTask(
                record(QStringLiteral("q%1").arg(i), QStringLiteral("42"), QStringLiteral("0")));
        QTest::qWait(1200);
        // The stall outlasts the wait limit: every report failed and stays.
        QTRY_COMPARE_WITH_TIMEOUT(rows(), 3, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(rows(), 4, 10000);
        QCOMPARE(results.size(), 0);
    }

    // A report that gets through while rows wait starts one replay; its
    // second success, during that replay, starts none.
    void oneReplayAtATime()
    {
        m_server.setRoute(QStringLiteral("/slow"), status(200, 1));
        storeRow(1, StoreTestSetup::baseUrl(m_server) + QStringLiteral("/slow"),
                 QStringLiteral("type/42"), QString());
        QSignalSpy passes(ThreadPoolManager::instance(), &ThreadPoolManager::netRetryTaskFinish);
        ThreadPoolManager::instance()->addUploadDownloadTask(
            record(QStringLiteral("dpkg"), QStringLiteral("43"), QStringLiteral("500")));
        QVERIFY(passes.wait(15000));
        QTest::qWait(1500);
        QCOMPARE(passes.size(), 1);
        QCOMPARE(requestsFor(QStringLiteral("/slow")).size(), 1);
    }

    // While the daemon stops, a report is stored for the replay, not sent.
    // (Stops the statistics thread: the last case.)
    void stoppingStoresTheReport()
    {
        ThreadPoolManager::instance()->stopThread();
        const int sent = requestsFor(kStatsPath).size() + requestsFor(kLogPath).size();
        uploadDownloadStatusTask task(
            record(QStringLiteral("dpkg"), QStringLiteral("43"), QStringLiteral("500")));
        task.setAutoDelete(false);
        task.run();
        QCOMPARE(requestsFor(kStatsPath).size() + requestsFor(kLogPath).size(), sent);
        QCOMPARE(rows(), 2);
    }

private:
    QTemporaryDir m_dir;
    LocalHttpsServer m_server;
};

QTEST_GUILESS_MAIN(TestStatistics)
#include "tst_statistics.moc"
