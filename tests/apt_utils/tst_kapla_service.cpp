#include "apt_utils/aptcache.h"
#include "apt_utils/kapla_service_types.h"
#include "private_system_bus.h"
#include "server_process.h"
#include "test_env.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace kapla::service;

namespace {

const QString kService = QStringLiteral("org.velkor.kapla.PackageManager");
const QString kPath = QStringLiteral("/org/velkor/kapla/PackageManager");

// The fields of a structure as the bus carried them, read without the
// record's own operators.
QVariantList wireFields(const QDBusArgument &argument)
{
    QVariantList fields;
    argument.beginStructure();
    while (!argument.atEnd()) {
        fields.append(argument.asVariant());
    }
    argument.endStructure();
    return fields;
}

QStringList names(const LocalPackageList &list)
{
    QStringList result;
    for (const LocalPackageEntry &entry : list) {
        result.append(entry.packageName + QLatin1Char(' ') + entry.version);
    }
    return result;
}

} // namespace

class TestKaplaService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void recordsTravelAsTheirStructures_data();
    void recordsTravelAsTheirStructures();
    void downloadOptionLeavesChannelAndModuleAlone();
    void installedApplicationsFromTheService();
    void answersThatGiveNoList();

private:
    QDBusMessage echo(const QVariant &value);
    void setServiceList(const QByteArray &json);
    void addLayer(const QString &relativeDir, qint64 infoSize = -1);

    PrivateSystemBus m_bus;
    ServerProcess m_service;
    QTemporaryDir m_dir;
    QString m_listFile;
    QString m_layers;
};

void TestKaplaService::initTestCase()
{
    QVERIFY(m_dir.isValid());
    registerServiceTypes();
    m_bus.allowService(kService);
    QVERIFY2(!m_bus.start().isEmpty(), qPrintable(m_bus.errorString()));
    m_listFile = m_dir.filePath(QStringLiteral("list.json"));
    m_layers = m_dir.filePath(QStringLiteral("layers/main/"));
    setServiceList("[]");
    QVERIFY2(m_service.start(qEnvironmentVariable("TWK_KAPLA_PM_STANDIN"), {m_listFile},
                             m_bus.environment()),
             qPrintable(m_service.errorString()));
}

QDBusMessage TestKaplaService::echo(const QVariant &value)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("com.tarnwick.test.Echo"), QStringLiteral("Echo"));
    call << value;
    return QDBusConnection::systemBus().call(call, QDBus::Block, 10000);
}

void TestKaplaService::setServiceList(const QByteArray &json)
{
    QVERIFY(TestEnv::writeFile(m_listFile, json));
}

// A layer directory, with an info file when infoSize >= 0.
void TestKaplaService::addLayer(const QString &relativeDir, qint64 infoSize)
{
    const QString dir = m_layers + relativeDir;
    QVERIFY(QDir().mkpath(dir));
    if (infoSize >= 0) {
        QVERIFY(TestEnv::writeFile(dir + QStringLiteral("/info.json"),
                                   QByteArray("{\"size\":") + QByteArray::number(infoSize) + '}'));
    }
}

void TestKaplaService::recordsTravelAsTheirStructures_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("signature");
    QTest::addColumn<QVariantList>("fields");

    QTest::newRow("Reply") << QVariant::fromValue(Reply{7, QStringLiteral("m")}) << "(is)"
                           << QVariantList{7, QStringLiteral("m")};
    QTest::newRow("Reply default")
        << QVariant::fromValue(Reply()) << "(is)" << QVariantList{0, QString()};
    QTest::newRow("QueryReply") << QVariant::fromValue(
                                       QueryReply{-3, QStringLiteral("m"), QStringLiteral("[]")})
                                << "(iss)"
                                << QVariantList{-3, QStringLiteral("m"), QStringLiteral("[]")};

    ParamOption param;
    param.appId = QStringLiteral("a");
    param.version = QStringLiteral("v");
    param.arch = QStringLiteral("r");
    param.channel = QStringLiteral("c");
    param.module = QStringLiteral("m");
    const QVariantList base{QStringLiteral("a"), QStringLiteral("v"), QStringLiteral("r"),
                            QStringLiteral("c"), QStringLiteral("m")};
    QTest::newRow("ParamOption") << QVariant::fromValue(param) << "(sssss)" << base;

    DownloadParamOption download;
    static_cast<ParamOption &>(download) = param;
    download.extraText = QStringLiteral("x");
    QTest::newRow("DownloadParamOption") << QVariant::fromValue(download) << "(ssss)"
                                         << QVariantList{QStringLiteral("a"), QStringLiteral("v"),
                                                         QStringLiteral("r"), QStringLiteral("x")};

    InstallParamOption install;
    static_cast<ParamOption &>(install) = param;
    install.extraText = QStringLiteral("x");
    QTest::newRow("InstallParamOption")
        << QVariant::fromValue(install) << "(ssssss)" << base + QVariantList{QStringLiteral("x")};

    QueryParamOption query;
    static_cast<ParamOption &>(query) = param;
    query.flag = true;
    query.extraText = QStringLiteral("x");
    QTest::newRow("QueryParamOption") << QVariant::fromValue(query) << "(sssssbs)"
                                      << base + QVariantList{true, QStringLiteral("x")};

    UninstallParamOption uninstall;
    static_cast<ParamOption &>(uninstall) = param;
    uninstall.extraText = QStringLiteral("x");
    uninstall.flagOne = true;
    QTest::newRow("UninstallParamOption") << QVariant::fromValue(uninstall) << "(ssssssbb)"
                                          << base + QVariantList{QStringLiteral("x"), true, false};

    RunParamOption run;
    static_cast<ParamOption &>(run) = param;
    const QStringList texts{QStringLiteral("t6"), QStringLiteral("t7"),  QStringLiteral("t8"),
                            QStringLiteral("t9"), QStringLiteral("t10"), QStringLiteral("t11"),
                            QStringLiteral("t12")};
    run.textSix = texts[0];
    run.textSeven = texts[1];
    run.flag = true;
    run.textEight = texts[2];
    run.textNine = texts[3];
    run.textTen = texts[4];
    run.textEleven = texts[5];
    run.textTwelve = texts[6];
    QTest::newRow("RunParamOption") << QVariant::fromValue(run) << "(sssssssbsssss)"
                                    << base + QVariantList{texts[0], texts[1], true,     texts[2],
                                                           texts[3], texts[4], texts[5], texts[6]};
    QVariantList runDefault(13, QString());
    runDefault[7] = false;
    runDefault[8] = QStringLiteral("session");
    QTest::newRow("RunParamOption default")
        << QVariant::fromValue(RunParamOption()) << "(sssssssbsssss)" << runDefault;

    QTest::newRow("ExecParamOption")
        << QVariant::fromValue(ExecParamOption{QStringLiteral("1"), QStringLiteral("2"),
                                               QStringLiteral("3"), QStringLiteral("4")})
        << "(ssss)"
        << QVariantList{QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"),
                        QStringLiteral("4")};
}

// What is written goes out in the documented order and reads back into the
// same record.
void TestKaplaService::recordsTravelAsTheirStructures()
{
    QFETCH(QVariant, value);
    QFETCH(QString, signature);
    QFETCH(QVariantList, fields);

    QCOMPARE(QString::fromLatin1(QDBusMetaType::typeToSignature(value.metaType())), signature);

    const QDBusMessage reply = echo(value);
    QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
    QCOMPARE(reply.signature(), signature);
    const auto wire = reply.arguments().constFirst().value<QDBusArgument>();
    QCOMPARE(wireFields(wire), fields);

    // Read back with the record's own reader, then sent once more: a reader
    // that mixes up fields would change what goes out the second time.
    QVariant readBack(value.metaType());
    QVERIFY(QDBusMetaType::demarshall(reply.arguments().constFirst().value<QDBusArgument>(),
                                      value.metaType(), readBack.data()));
    const QDBusMessage again = echo(readBack);
    QCOMPARE(wireFields(again.arguments().constFirst().value<QDBusArgument>()), fields);
}

void TestKaplaService::downloadOptionLeavesChannelAndModuleAlone()
{
    DownloadParamOption sent;
    sent.appId = QStringLiteral("a");
    sent.channel = QStringLiteral("sent channel");
    const QDBusMessage reply = echo(QVariant::fromValue(sent));
    QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));

    DownloadParamOption read;
    read.channel = QStringLiteral("kept");
    read.module = QStringLiteral("kept too");
    reply.arguments().constFirst().value<QDBusArgument>() >> read;
    QCOMPARE(read.appId, QStringLiteral("a"));
    QCOMPARE(read.channel, QStringLiteral("kept"));
    QCOMPARE(read.module, QStringLiteral("kept too"));
}

void TestKaplaService::installedApplicationsFromTheService()
{
    // Two versions of one id, the higher listed first; a nested runtime
    // layer. Other kinds, a missing layer and names that would leave their
    // layer are skipped.
    addLayer(QStringLiteral("org.b/1.1/x86_64/rt"), 10240);
    addLayer(QStringLiteral("org.b/1.0/x86_64/rt"), 1024);
    addLayer(QStringLiteral("org.a/2.0/x86_64/rt"), 0);
    QVERIFY(TestEnv::writeFile(m_layers + QStringLiteral("org.a/2.0/x86_64/rt/files/blob"),
                               QByteArray(4096, 'x')));
    const QString apps = m_layers + QStringLiteral("org.a/2.0/x86_64/rt/entries/applications/");
    QVERIFY(TestEnv::writeFile(apps + QStringLiteral("b.desktop"), "[Desktop Entry]\n"));
    QVERIFY(TestEnv::writeFile(m_dir.filePath(QStringLiteral("shared/a.desktop")),
                               "[Desktop Entry]\n"));
    QVERIFY(QFile::link(m_dir.filePath(QStringLiteral("shared/a.desktop")),
                        apps + QStringLiteral("a.desktop")));
    addLayer(QStringLiteral("org.c/1.0/x86_64/base/23"), 2048);
    addLayer(QStringLiteral("org.d/1.0/x86_64"));
    addLayer(QStringLiteral("org.runtime/1.0/x86_64/rt"), 2048);
    QVERIFY(TestEnv::writeFile(
        m_dir.filePath(QStringLiteral("layers/outside/1.0/x86_64/info.json")), "{\"size\":2048}"));
    setServiceList(R"([
        {"appId":"org.b","version":"1.1","arch":"x86_64","kind":"app","runtime":"rt"},
        {"appId":" org.a ","version":"2.0 ","arch":"x86_64","kind":" app ","runtime":"rt"},
        {"appId":"org.b","version":"1.0","arch":"x86_64","kind":"app","runtime":"rt"},
        {"appId":"org.runtime","version":"1.0","arch":"x86_64","kind":"runtime","runtime":"rt"},
        {"appId":"org.gone","version":"1.0","arch":"x86_64","kind":"app","runtime":"rt"},
        {"appId":"..","version":"outside","arch":"1.0","kind":"app","runtime":"x86_64"},
        {"appId":"org.b/1.0","version":"x86_64","arch":"rt","kind":"app","runtime":""},
        {"appId":"org.c","version":"1.0","arch":"x86_64","kind":"app","runtime":"base/23"},
        {"appId":"org.d","version":"1.0","arch":"x86_64","kind":"app",
         "runtime":"../../../org.b/1.1/x86_64/rt"}
    ])");

    LocalPackageList list{LocalPackageEntry()};
    QVERIFY(AptCache::queryInstalledKaplaApps(list, m_layers));
    QCOMPARE(names(list), (QStringList{QStringLiteral(" "), QStringLiteral("org.a 2.0"),
                                       QStringLiteral("org.b 1.1"), QStringLiteral("org.c 1.0")}));
    const LocalPackageEntry &a = list.at(1);
    QVERIFY2(a.installedSize >= 4, qPrintable(QString::number(a.installedSize)));
    QCOMPARE(a.desktopFiles, (QStringList{m_dir.filePath(QStringLiteral("shared/a.desktop")),
                                          apps + QStringLiteral("b.desktop")}));
    QVERIFY(a.channel.isEmpty());
    QCOMPARE(list.at(2).installedSize, 10);
    QVERIFY(list.at(2).desktopFiles.isEmpty());

    // Without a supported kapla runtime nothing is asked.
    LocalPackageList gated;
    QVERIFY(!AptCache::getLocalKaplaPkgs(gated));
    QVERIFY(gated.isEmpty());
}

void TestKaplaService::answersThatGiveNoList()
{
    LocalPackageList list;
    setServiceList("[]");
    QVERIFY(AptCache::queryInstalledKaplaApps(list, m_layers));
    QVERIFY(list.isEmpty());

    setServiceList(R"([{"appId":"flatpaklist","kind":"app"}])");
    QVERIFY(!AptCache::queryInstalledKaplaApps(list, m_layers));
    setServiceList("not json");
    QVERIFY(!AptCache::queryInstalledKaplaApps(list, m_layers));
    setServiceList("");
    QVERIFY(!AptCache::queryInstalledKaplaApps(list, m_layers));

    m_service.stop();
    QVERIFY(!AptCache::queryInstalledKaplaApps(list, m_layers));
    QVERIFY(list.isEmpty());
}

QTEST_GUILESS_MAIN(TestKaplaService)
#include "tst_kapla_service.moc"
