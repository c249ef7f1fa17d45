#include "test_env.h"
#include "utils/process_runner.h"
#include "utils/proxy_system.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QByteArray kVariables[] = {"SOCKS_SERVER", "all_proxy", "ftp_proxy",  "http_proxy",
                                 "https_proxy",  "no_proxy",  "auto_proxy", "LD_PRELOAD"};

// What a freshly started daemon would see: none of the proxy variables.
void clearEnvironment()
{
    for (const QByteArray &name : kVariables) {
        qunsetenv(name.constData());
    }
}

QStringList entriesOf(const QString &user)
{
    QString name = user;
    return ProxySystem::proxyEnvironmentList(name);
}

// A variable as a child started with the daemon's environment sees it;
// null when the child has none.
QString childVariable(const char *name)
{
    AppStore::ProcessSpec spec;
    spec.program = QStringLiteral("printenv");
    spec.arguments = {QLatin1String(name)};
    const AppStore::ProcessResult result = AppStore::ProcessRunner::run(spec);
    return result.succeeded() ? result.outputText().chopped(1) : QString();
}

// Proxy values of one test user and the lines logged meanwhile.
QStringList g_logged;
QtMessageHandler g_testHandler = nullptr;

void recordMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    g_logged.append(message);
    g_testHandler(type, context, message);
}

} // namespace

class TestProxySystem : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Each case starts like a daemon whose settings file is still empty.
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_file = m_dir->filePath(QStringLiteral("proxy.conf"));
        ProxySystem::setSettingsFilePath(m_file);
        clearEnvironment();
        ProxySystem::loadProxy();
    }

    void settingsSurviveARestart()
    {
        ProxySystem::setSystemProxy(
            QStringLiteral("alice"),
            QStringLiteral(
                "{\"http_proxy\":\"http://10.0.0.1:3128\",\"SOCKS_SERVER\":\"socks://s:1080\","
                "\"no_proxy\":\"localhost,127.0.0.1\",\"https_proxy\":8080}"));
        ProxySystem::setSystemProxy(QStringLiteral("bob"),
                                    QStringLiteral("{\"https_proxy\":\"http://b:1\"}"));

        const QStringList alice{QStringLiteral("SOCKS_SERVER=socks://s:1080"),
                                QStringLiteral("http_proxy=http://10.0.0.1:3128"),
                                QStringLiteral("https_proxy=8080"),
                                QStringLiteral("no_proxy=localhost,127.0.0.1")};
        QCOMPARE(entriesOf(QStringLiteral("alice")), alice);
        QString current;
        QCOMPARE(ProxySystem::proxyEnvironmentList(current),
                 QStringList{QStringLiteral("https_proxy=http://b:1")});
        QCOMPARE(current, QStringLiteral("bob"));
        // Children's environment follows the user who reported last, not a
        // mix; the daemon's own stays as it started.
        QCOMPARE(childVariable("https_proxy"), QStringLiteral("http://b:1"));
        QVERIFY(childVariable("http_proxy").isNull());
        QVERIFY(!qEnvironmentVariableIsSet("https_proxy"));

        // Saved without waiting for the quit handler.
        clearEnvironment();
        ProxySystem::loadProxy();
        QCOMPARE(entriesOf(QStringLiteral("alice")), alice);
        current.clear();
        QCOMPARE(ProxySystem::proxyEnvironmentList(current),
                 QStringList{QStringLiteral("https_proxy=http://b:1")});
        QCOMPARE(current, QStringLiteral("bob"));
        QCOMPARE(childVariable("https_proxy"), QStringLiteral("http://b:1"));
    }

    void removedSettingsStayRemoved()
    {
        const QString carol = QStringLiteral("carol");
        // A proxy of the daemon's start environment that the user removes.
        qputenv("ftp_proxy", "http://start:0");
        ProxySystem::setSystemProxy(
            carol, QStringLiteral("{\"http_proxy\":\"http://p:1\",\"ftp_proxy\":\"http://f:2\"}"));
        QCOMPARE(childVariable("http_proxy"), QStringLiteral("http://p:1"));
        ProxySystem::setSystemProxy(carol,
                                    QStringLiteral("{\"ftp_proxy\":\"\",\"all_proxy\":\"x\"}"));

        QCOMPARE(entriesOf(carol), QStringList{QStringLiteral("all_proxy=x")});
        QVERIFY(childVariable("http_proxy").isNull());
        QVERIFY(childVariable("ftp_proxy").isNull());
        QCOMPARE(qEnvironmentVariable("ftp_proxy"), QStringLiteral("http://start:0"));

        ProxySystem::saveProxy(); // the quit handler's save must not bring them back either
        clearEnvironment();
        ProxySystem::loadProxy();
        QCOMPARE(entriesOf(carol), QStringList{QStringLiteral("all_proxy=x")});
        QVERIFY(childVariable("http_proxy").isNull());
        QCOMPARE(childVariable("all_proxy"), QStringLiteral("x"));
    }

    void refusedSettingsChangeNothing_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("json");
        QTest::addColumn<QString>("warning");
        const QString good = QStringLiteral("{\"http_proxy\":\"http://evil:1\"}");
        QTest::newRow("unknown key")
            << QStringLiteral("dave") << QStringLiteral("{\"HTTP_PROXY\":\"http://evil:1\"}")
            << QString();
        QTest::newRow("array") << QStringLiteral("dave") << QStringLiteral("[]")
                               << QStringLiteral("^parse system proxy failed:");
        QTest::newRow("not json") << QStringLiteral("dave") << QStringLiteral("http_proxy")
                                  << QStringLiteral("^parse system proxy failed:");
        const QString refused = QStringLiteral("^Refused proxy settings");
        QTest::newRow("slash") << QStringLiteral("a/b") << good << refused;
        QTest::newRow("backslash") << QStringLiteral("a\\b") << good << refused;
        QTest::newRow("line feed") << QStringLiteral("a\nb") << good << refused;
        const QString control = QStringLiteral("^Refused proxy settings with a control character");
        QTest::newRow("line feed in a value")
            << QStringLiteral("dave")
            << QStringLiteral("{\"http_proxy\":\"http://evil:1\\nLD_PRELOAD=/tmp/x.so\"}")
            << control;
        QTest::newRow("escape in a value")
            << QStringLiteral("dave") << QStringLiteral("{\"no_proxy\":\"\\u001b[2J\"}") << control;
    }

    void refusedSettingsChangeNothing()
    {
        QFETCH(QString, user);
        QFETCH(QString, json);
        QFETCH(QString, warning);

        ProxySystem::setSystemProxy(QStringLiteral("erin"),
                                    QStringLiteral("{\"http_proxy\":\"http://e:1\"}"));
        const QByteArray saved = TestEnv::readFile(m_file);
        if (!warning.isEmpty()) {
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
        }
        ProxySystem::setSystemProxy(user, json);

        QString current;
        QCOMPARE(ProxySystem::proxyEnvironmentList(current),
                 QStringList{QStringLiteral("http_proxy=http://e:1")});
        QCOMPARE(current, QStringLiteral("erin"));
        QCOMPARE(childVariable("http_proxy"), QStringLiteral("http://e:1"));
        QCOMPARE(TestEnv::readFile(m_file), saved);
    }

    // The file feeds root's environment: only proxy variables come out of it.
    void loadTakesOnlyProxyKeys()
    {
        QFile file(m_file);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[General]\nuser=frank\n\n[frank]\nLD_PRELOAD=/tmp/x.so\n"
                   "ftp_proxy=\"http://f:21\\nX=1\"\n"
                   "http_proxy=http://f:3128\nno_proxy=localhost,.example\n");
        file.close();

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("LD_PRELOAD")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("ftp_proxy")));
        ProxySystem::loadProxy();
        QCOMPARE(entriesOf(QStringLiteral("frank")),
                 (QStringList{QStringLiteral("http_proxy=http://f:3128"),
                              QStringLiteral("no_proxy=localhost,.example")}));
        QVERIFY(childVariable("LD_PRELOAD").isNull());
        QCOMPARE(childVariable("http_proxy"), QStringLiteral("http://f:3128"));
    }

    void manualProxyTypeOutOfRange()
    {
        const QString grace = QStringLiteral("grace");
        ProxySystem::setMode(grace, QStringLiteral("auto"));
        ProxySystem::setManual(grace, QStringLiteral("1"), QStringLiteral("h"),
                               QStringLiteral("8"));
        QCOMPARE(ProxySystem::currentMode(), QStringLiteral("manual"));
        const QString https = QStringLiteral("Acquire::https::proxy=http://h:8");
        QCOMPARE(ProxySystem::aptHttpsProxyOption(), https);

        ProxySystem::setMode(grace, QStringLiteral("auto"));
        for (const QString &type : {QStringLiteral("4"), QStringLiteral("4294967295")}) {
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QStringLiteral("^Refused manual proxy")));
            ProxySystem::setManual(grace, type, QStringLiteral("x"), QStringLiteral("9"));
        }
        QCOMPARE(ProxySystem::currentMode(), QStringLiteral("auto"));
        QCOMPARE(ProxySystem::aptHttpsProxyOption(), https);
    }

    // Proxy addresses may carry "user:password@": neither the log nor any
    // file others can read holds the password, also when a file from an
    // earlier version was readable.
    void credentialsStayPrivate()
    {
        const QString hank = QStringLiteral("hank");
        QVERIFY(TestEnv::writeFile(m_file, "[General]\nuser=hank\n\n[hank]\n"
                                           "http_proxy=http://hank:s3cret@p:3128\n"));
        g_logged.clear();
        g_testHandler = qInstallMessageHandler(recordMessage);
        ProxySystem::loadProxy();
        ProxySystem::setSystemProxy(
            hank, QStringLiteral("{\"https_proxy\":\"hank:s3cret@p:3129\","
                                 "\"http_proxy\":\"http://hank:s3cret@p:3128\"}"));
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("^parse system proxy failed:")));
        ProxySystem::setSystemProxy(hank, QStringLiteral("{\"http_proxy\":\"http://hank:s3cret@p"));
        ProxySystem::setManual(hank, QStringLiteral("0"), QStringLiteral("hank:s3cret@p"),
                               QStringLiteral("3128"));
        ProxySystem::saveProxy();
        ProxySystem::loadProxy();
        qInstallMessageHandler(g_testHandler);

        QVERIFY(g_logged.filter(QStringLiteral("***@p:3128")).size() >= 2);
        QCOMPARE(g_logged.filter(QStringLiteral("s3cret")), QStringList());
        QVERIFY(TestEnv::readFile(m_file).contains("s3cret"));
        const QStringList files =
            QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
        QCOMPARE(files, QStringList{QStringLiteral("proxy.conf")});
        QCOMPARE(TestEnv::fileMode(m_file), 0600);
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_file;
};

QTEST_GUILESS_MAIN(TestProxySystem)
#include "tst_proxy_system.moc"
