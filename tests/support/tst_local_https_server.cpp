#include "local_https_server.h"
#include "test_env.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QTest>

#include <memory>

class TestLocalHttpsServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_server.addFile(QStringLiteral("hello.txt"), "hello"));
        QVERIFY(m_server.addFile(QStringLiteral("api/stats"), "{\"ok\":true}"));
        QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
    }

    void servesAndLogsWithTheTestCa()
    {
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.setCaCertificates(QSslCertificate::fromPath(m_server.caCertificatePath()));
        QNetworkAccessManager manager;

        QNetworkRequest get(m_server.baseUrl().resolved(QUrl(QStringLiteral("hello.txt"))));
        get.setSslConfiguration(ssl);
        std::unique_ptr<QNetworkReply> file(manager.get(get));
        QVERIFY(TestEnv::waitFor([&] { return file->isFinished(); }, 10000));
        QCOMPARE(file->error(), QNetworkReply::NoError);
        QCOMPARE(file->readAll(), QByteArray("hello"));

        QNetworkRequest post(m_server.baseUrl().resolved(QUrl(QStringLiteral("api/stats?v=1"))));
        post.setSslConfiguration(ssl);
        post.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
        std::unique_ptr<QNetworkReply> posted(manager.post(post, QByteArray("{\"event\":1}")));
        QVERIFY(TestEnv::waitFor([&] { return posted->isFinished(); }, 10000));
        QCOMPARE(posted->error(), QNetworkReply::NoError);
        QCOMPARE(posted->readAll(), QByteArray("{\"ok\":true}"));

        const QList<LocalHttpsServer::Request> log = m_server.requestLog();
        QCOMPARE(log.size(), 2);
        QCOMPARE(log.last().method, QStringLiteral("POST"));
        QCOMPARE(log.last().path, QStringLiteral("/api/stats?v=1"));
        QCOMPARE(log.last().headers.value(QStringLiteral("Content-Type")),
                 QStringLiteral("application/json"));
        QCOMPARE(log.last().body, QByteArray("{\"event\":1}"));
    }

    void unknownCaFailsTheHandshake()
    {
        QNetworkAccessManager manager;
        std::unique_ptr<QNetworkReply> reply(manager.get(
            QNetworkRequest(m_server.baseUrl().resolved(QUrl(QStringLiteral("hello.txt"))))));
        QVERIFY(TestEnv::waitFor([&] { return reply->isFinished(); }, 10000));
        QCOMPARE(reply->error(), QNetworkReply::SslHandshakeFailedError);
    }

private:
    LocalHttpsServer m_server;
};

QTEST_GUILESS_MAIN(TestLocalHttpsServer)
#include "tst_local_https_server.moc"
