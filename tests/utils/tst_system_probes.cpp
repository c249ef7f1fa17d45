#include "utils/process_runner.h"
#include "utils/utils.h"

#include "system_file_guard.h"
#include "test_env.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QtTest>

using AppStore::Utils;

class SystemProbesTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void processProbes();
    void immutableSystem_data();
    void immutableSystem();
    void osFacts_data();
    void osFacts();
    void osBuildVersion_data();
    void osBuildVersion();
    void regionCode_data();
    void regionCode();
    void tlsStaysVerified();

private:
    QByteArray m_path;
    QByteArray m_tz;
};

void SystemProbesTest::initTestCase()
{
    m_path = qgetenv("PATH");
    m_tz = qgetenv("TZ");
}

void SystemProbesTest::cleanup()
{
    qputenv("PATH", m_path);
    if (m_tz.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", m_tz);
    qunsetenv("BEXA_OS_VERSION_FILE");
}

void SystemProbesTest::processProbes()
{
    QTemporaryDir dir;
    const QString name = QStringLiteral("twk-probe-%1").arg(QCoreApplication::applicationPid());
    const QString exe = dir.filePath(name);
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), exe));
    const QString canonicalExe = QFileInfo(exe).canonicalFilePath();

    AppStore::ProcessSpec spec;
    spec.program = exe;
    spec.arguments = {QStringLiteral("300")};
    spec.timeoutMs = 120000;
    AppStore::ProcessRunner runner;
    QVERIFY(runner.start(spec));
    const uint pid = uint(runner.processId());

    QVERIFY(Utils::isProcessRunning(name));
    QVERIFY(Utils::isProcessRunning(QStringLiteral(" \t") + name + QStringLiteral("\n")));
    QVERIFY(!Utils::isProcessRunning(name + QStringLiteral("-absent")));
    QVERIFY(!Utils::isProcessRunning(QStringLiteral("  ")));
    QCOMPARE(Utils::getProcessExePath(pid), canonicalExe);
    QCOMPARE(Utils::getProcessExePath(uint(QCoreApplication::applicationPid())),
             QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath());

    QVERIFY(QFile::remove(exe));
    QCOMPARE(Utils::getProcessExePath(pid), QString());

    runner.kill();
    runner.waitForFinished();
    QVERIFY(!Utils::isProcessRunning(name));
    QCOMPARE(Utils::getProcessExePath(pid), QString());
}

void SystemProbesTest::immutableSystem_data()
{
    QTest::addColumn<bool>("toolPresent");
    QTest::addColumn<QByteArray>("mode");
    QTest::addColumn<QByteArray>("exitStatus");
    QTest::addColumn<bool>("immutable");
    QTest::newRow("immutable") << true << QByteArray("true") << QByteArray("0") << true;
    QTest::newRow("mutable") << true << QByteArray("false") << QByteArray("0") << false;
    QTest::newRow("other case") << true << QByteArray("True") << QByteArray("0") << false;
    QTest::newRow("tool fails") << true << QByteArray("true") << QByteArray("1") << false;
    QTest::newRow("tool absent") << false << QByteArray("true") << QByteArray("0") << false;
}

void SystemProbesTest::immutableSystem()
{
    QFETCH(bool, toolPresent);
    QFETCH(QByteArray, mode);
    QFETCH(QByteArray, exitStatus);
    QFETCH(bool, immutable);
    if (toolPresent)
        TestEnv::useStandins();
    qputenv("TWK_IMMUTABLE_MODE", mode);
    qputenv("TWK_IMMUTABLE_EXIT", exitStatus);
    QCOMPARE(Utils::isImmutableSystem(), immutable);
}

void SystemProbesTest::osFacts_data()
{
    QTest::addColumn<QByteArray>("editionType");
    QTest::addColumn<QString>("editionName");
    QTest::newRow("listed type") << QByteArray("10") << QStringLiteral("Education");
    QTest::newRow("unlisted type") << QByteArray("7") << QStringLiteral("Unknown");
}

void SystemProbesTest::osFacts()
{
    QFETCH(QByteArray, editionType);
    QFETCH(QString, editionName);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("os-version"));
    QVERIFY(TestEnv::writeFile(file, "[Version]\n"
                                     "ProductType=Arbeitsplatz\n"
                                     "ProductType[en_US]=Workstation\n"
                                     "MajorVersion=25\n"
                                     "MinorVersion=1030\n"
                                     "EditionType=" +
                                         editionType + "\n"));
    qputenv("BEXA_OS_VERSION_FILE", file.toLocal8Bit());
    QCOMPARE(Utils::osEditionName(), editionName);
    QCOMPARE(Utils::osProductTypeName(), QStringLiteral("Workstation"));
    QCOMPARE(Utils::osMajorVersion(), QStringLiteral("25"));
    QCOMPARE(Utils::osMinorVersion(), QStringLiteral("1030"));
}

void SystemProbesTest::osBuildVersion_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QString>("build");
    QTest::newRow("localised wins")
        << QByteArray("[Version]\nOsBuild=11018.101\nOsBuild[en_US]=11018.102\n")
        << QStringLiteral("11018.102");
    QTest::newRow("plain only") << QByteArray("[Version]\nOsBuild=11018.101\n")
                                << QStringLiteral("11018.101");
    QTest::newRow("no file") << QByteArray() << QString();
}

void SystemProbesTest::osBuildVersion()
{
    QFETCH(QByteArray, contents);
    QFETCH(QString, build);
    const QString path = QStringLiteral("/etc/os-version");
    SystemFileGuard guard({path});
    QVERIFY2(guard.isValid(), qPrintable(guard.errorString()));
    if (contents.isEmpty())
        QFile::remove(path);
    else
        QVERIFY(TestEnv::writeFile(path, contents));
    QCOMPARE(Utils::systemOsBuildVersion(), build);
}

void SystemProbesTest::regionCode_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<QString>("region");
    for (const char *zone : {"Asia/Shanghai", "Asia/Hong_Kong", "Asia/Macau", "Asia/Taipei"})
        QTest::newRow(zone) << QByteArray(zone) << QStringLiteral("CN");
    for (const char *zone : {"UTC", "Europe/Berlin", "Asia/Tokyo"})
        QTest::newRow(zone) << QByteArray(zone) << QStringLiteral("OTHER");
}

void SystemProbesTest::regionCode()
{
    QFETCH(QByteArray, zone);
    QFETCH(QString, region);
    qputenv("TZ", zone);
    QCOMPARE(Utils::regionCode(), region);
}

void SystemProbesTest::tlsStaysVerified()
{
    QVERIFY(!Utils::isSslVerifyIgnored());
    QNetworkRequest request(QUrl(QStringLiteral("https://127.0.0.1/")));
    Utils::setSslVerifyNone(request);
    const QSslConfiguration config = request.sslConfiguration();
    QCOMPARE(config.peerVerifyMode(), QSslSocket::VerifyPeer);
    QCOMPARE(config.protocol(), QSsl::TlsV1_2OrLater);
}

QTEST_GUILESS_MAIN(SystemProbesTest)
#include "tst_system_probes.moc"
