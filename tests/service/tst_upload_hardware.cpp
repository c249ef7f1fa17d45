#include "appstoredb_test_file.h"
#include "local_https_server.h"
#include "private_system_bus.h"
#include "server_process.h"
#include "store_test_setup.h"
#include "test_env.h"

#include "database/appstoredb.h"
#include "service/service.h"
#include "service/upload_hardware.h"
#include "utils/tls_trust.h"
#include "utils/utils.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QString kBriefPath = QStringLiteral("/store-dist-app/getAppBriefInfo");

} // namespace

class TestUploadHardware : public QObject
{
    Q_OBJECT

private:
    QString mark()
    {
        return AppstoreDbTestFile(AppstoreDb::databasePath())
            .value(QStringLiteral("SELECT value FROM key_value_info WHERE key = ?"),
                   {QStringLiteral("upload_hardware")});
    }

    void setMark(const QString &value)
    {
        AppstoreDbTestFile file(AppstoreDb::databasePath());
        file.exec(QStringLiteral("DELETE FROM key_value_info WHERE key = 'upload_hardware'"));
        if (!value.isNull())
            QVERIFY(AppstoreDb::instance()->insertKeyValueInfo(QStringLiteral("upload_hardware"),
                                                               value));
    }

    bool setState(uint state)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.NetworkManager"),
            QStringLiteral("/org/freedesktop/NetworkManager"), QStringLiteral("org.tarnwick.Test"),
            QStringLiteral("SetState"));
        call << state;
        return QDBusConnection::systemBus().call(call).type() == QDBusMessage::ReplyMessage;
    }

    int queries() const
    {
        int count = 0;
        const QList<LocalHttpsServer::Request> log = m_server.requestLog();
        for (const LocalHttpsServer::Request &request : log)
            count += request.path == kBriefPath + QStringLiteral("?package_names=velkor-app-store");
        return count;
    }

    // A fresh reporter; its first attempt comes at once, retries every
    // retryMs.
    std::unique_ptr<UploadHardware, void (*)(UploadHardware *)> startReporter(int retryMs)
    {
        std::unique_ptr<UploadHardware, void (*)(UploadHardware *)> reporter(
            new UploadHardware(), [](UploadHardware *object) {
                object->stopThread();
                delete object;
            });
        reporter->setIntervals(0, retryMs);
        reporter->start();
        return reporter;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_bus.allowService(QStringLiteral("org.freedesktop.NetworkManager"));
        QVERIFY2(!m_bus.start().isEmpty(), qPrintable(m_bus.errorString()));
        QVERIFY(m_networkManager.start(qEnvironmentVariable("TWK_NM_STANDIN"),
                                       {QStringLiteral("60")}, m_bus.environment()));
        QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
        AppstoreDb::setDatabasePath(m_dir.filePath(QStringLiteral("appstore.db")));
        QVERIFY(StoreTestSetup::pointAt(m_server, m_dir.path()));
        Service::instance()->setTimeout(1000);
    }

    void init()
    {
        m_server.clearRoutes();
        m_server.setRoute(kBriefPath, {200, "{\"datas\":[]}", 0, false});
    }

    // Done once: nothing is asked again.
    void alreadyReported()
    {
        QVERIFY(setState(70));
        setMark(QStringLiteral("yes"));
        const int before = queries();
        auto reporter = startReporter(100);
        QTest::qWait(1000);
        QCOMPARE(queries(), before);
    }

    // Offline at start: only full connectivity sends the report, at once;
    // then the retries end.
    void offlineThenOnline()
    {
        QVERIFY(setState(60));
        setMark(QString());
        const int before = queries();
        auto reporter = startReporter(3600 * 1000);
        QTRY_COMPARE(mark(), QStringLiteral("no"));
        QVERIFY(setState(60));
        QTest::qWait(500);
        QCOMPARE(queries(), before);
        QVERIFY(setState(70));
        QTRY_COMPARE(mark(), QStringLiteral("yes"));
        QCOMPARE(queries(), before + 1);
    }

    // Online but the store stalls: the mark stays "no" and the timer tries
    // again; once the store answers, one success ends it.
    void storeStalls()
    {
        QVERIFY(setState(70));
        setMark(QStringLiteral("Yes")); // another case is not "yes"
        m_server.setRoute(kBriefPath, {200, "{}", 2, false});
        const int before = queries();
        auto reporter = startReporter(300);
        // Each attempt waits up to a second for the store; connectivity
        // news meanwhile must not start attempts inside it.
        for (int i = 0; i < 14; ++i) {
            QTest::qWait(250);
            QVERIFY(setState(70));
        }
        QVERIFY2(queries() >= before + 2 && queries() <= before + 5,
                 qPrintable(QString::number(queries() - before)));
        QCOMPARE(mark(), QStringLiteral("Yes"));
        m_server.setRoute(kBriefPath, {200, "{}", 0, false});
        QTRY_COMPARE_WITH_TIMEOUT(mark(), QStringLiteral("yes"), 10000);
        QTest::qWait(3000); // a stalled request may still be on its way
        const int after = queries();
        QTest::qWait(1000);
        QCOMPARE(queries(), after);
    }

private:
    QTemporaryDir m_dir;
    PrivateSystemBus m_bus;
    ServerProcess m_networkManager;
    LocalHttpsServer m_server;
};

QTEST_GUILESS_MAIN(TestUploadHardware)
#include "tst_upload_hardware.moc"
