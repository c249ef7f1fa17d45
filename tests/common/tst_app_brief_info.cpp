#include "common/app_brief_info.h"

#include <QJsonArray>
#include <QRegularExpression>
#include <QtTest>

using StoreService::_ChannelPkg;
using StoreService::AppBriefInfo;

namespace {

const QString kDefaultRecordJson = QStringLiteral(
    R"({"app_package_url":"","appid":-1,"brief_info":"","category_id":-1,"category_name":"",)"
    R"("channelId":"","channelPkgs":"","copywriting":"","enable_mul_select":-1,"file_size":0,)"
    R"("icon_url":"","id":"","isSpecificPkg":0,"is_forced_update":1,"name":"",)"
    R"("package_mode":0,"package_name":"","package_version":"","pkgInstallMode":1,"sha256":"",)"
    R"("supportWayland":0,"update_desc":"","uri":""})");

const QString kTwoChannels =
    QStringLiteral(R"([{"pkgVer":"1.0","pkgChannel":"stable","pkgDlUrl":"https://127.0.0.1/a.deb",)"
                   R"("pkgSize":"5000000000","pkgSha256":"aa"},7,)"
                   R"({"pkgVer":"1.1","pkgChannel":"beta","pkgSize":12}])");

QRegularExpression startsWith(const QString &text)
{
    return QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(text));
}

void expectNoWarning()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
}

AppBriefInfo parsed(const QJsonObject &object)
{
    AppBriefInfo info;
    info.parseJsonObject(object);
    return info;
}

AppBriefInfo filledInfo()
{
    AppBriefInfo info;
    info.number = 7;
    info.id = QStringLiteral("id-1");
    info.uri = QStringLiteral("store://app/1");
    info.appid = 1001;
    info.file_size = 5000000000LL;
    info.package_name = QStringLiteral("demo-editor");
    info.package_version = QStringLiteral("2.1-3");
    info.app_package_url = QStringLiteral("https://127.0.0.1/demo-editor.deb");
    info.name = QStringLiteral("Editor \"quoted\" 编辑器");
    info.brief_info = QStringLiteral("brief");
    info.update_desc = QStringLiteral("update");
    info.icon_url = QStringLiteral("https://127.0.0.1/icon.png");
    info.copywriting = QStringLiteral("copy");
    info.category_id = 5;
    info.category_name = QStringLiteral("tools");
    info.enable_mul_select = 1;
    info.is_forced_update = 0;
    info.sha256 = QStringLiteral("abc");
    info.package_mode = 1;
    info.isSpecificPkg = 1;
    info.pkgInstallMode = 2;
    info.supportWayland = 1;
    info.channelPkgs = kTwoChannels;
    info.channelPkgMap = _ChannelPkg::parseChannelPkgJsonStr(kTwoChannels);
    info.channelId = QStringLiteral("42");
    return info;
}

} // namespace

class TestAppBriefInfo : public QObject
{
    Q_OBJECT

private slots:
    void defaultRecordIsWrittenCompactWithoutNumber()
    {
        QCOMPARE(appBriefInfoToJsonString(AppBriefInfo()), kDefaultRecordJson);
    }

    void writtenRecordReadsBack()
    {
        const AppBriefInfo source = filledInfo();
        const QString json = appBriefInfoToJsonString(source);
        const QJsonObject object = QJsonDocument::fromJson(json.toUtf8()).object();
        QCOMPARE(json, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
        QCOMPARE(object.size(), 23);
        QVERIFY(!object.contains(QStringLiteral("number")));
        QVERIFY(object.value(QStringLiteral("channelPkgs")).isString());
        QCOMPARE(object.value(QStringLiteral("channelPkgs")).toString(), kTwoChannels);
        QVERIFY(json.contains(QStringLiteral("\"file_size\":5000000000,")));

        // The reader's number stays, so only a reader that started with the
        // same number gets an equal record.
        AppBriefInfo reader;
        reader.number = source.number;
        reader.parseJsonByteArray(json.toUtf8());
        QVERIFY(reader == source);
        QCOMPARE(reader.channelPkgMap.size(), 2);
        QVERIFY(appBriefInfoFromJsonString(json) != source);
    }

    void equalityIgnoresOnlyTheChannelMap()
    {
        const AppBriefInfo source = filledInfo();
        AppBriefInfo other = source;
        other.channelPkgMap.clear();
        QVERIFY(other == source);
        // The meta-type system and lists use the same equality.
        QVERIFY(QMetaType::fromType<AppBriefInfo>().equals(&other, &source));
        QVERIFY((QList<AppBriefInfo>{source, other} == QList<AppBriefInfo>{other, source}));

        other = source;
        other.number = 8;
        QVERIFY(other != source);
        QVERIFY(!QMetaType::fromType<AppBriefInfo>().equals(&other, &source));
        other = source;
        other.channelPkgs = QStringLiteral("[]");
        QVERIFY(other != source);
        other = source;
        other.file_size += 1;
        QVERIFY(other != source);
        other = source;
        other.channelId.clear();
        QVERIFY(other != source);
    }

    void absentKeysKeepValuesButChannelPackagesReset()
    {
        AppBriefInfo info = filledInfo();
        info.parseJsonObject(QJsonObject{{QStringLiteral("id"), QStringLiteral("id-2")}});
        QCOMPARE(info.id, QStringLiteral("id-2"));
        QCOMPARE(info.name, filledInfo().name);
        QCOMPARE(info.file_size, 5000000000LL);
        QCOMPARE(info.number, 7);
        QVERIFY(info.channelPkgs.isEmpty());
        QVERIFY(info.channelPkgMap.isEmpty());
    }

    void numberConversions_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<qint64>("expected");

        QTest::newRow("appid fraction") << "appid" << QJsonValue(2.5) << qint64(0);
        QTest::newRow("appid whole double") << "appid" << QJsonValue(4.0) << qint64(4);
        QTest::newRow("appid above int range")
            << "appid" << QJsonValue(qint64(3000000000LL)) << qint64(0);
        QTest::newRow("appid as string")
            << "appid" << QJsonValue(QStringLiteral("12")) << qint64(0);
        QTest::newRow("category_id negative") << "category_id" << QJsonValue(-3) << qint64(-3);
        QTest::newRow("pkgInstallMode bool") << "pkgInstallMode" << QJsonValue(true) << qint64(0);
        QTest::newRow("file_size digits")
            << "file_size" << QJsonValue(QStringLiteral("5000000000")) << qint64(5000000000LL);
        QTest::newRow("file_size number")
            << "file_size" << QJsonValue(qint64(9000000000123LL)) << qint64(9000000000123LL);
        QTest::newRow("file_size not digits")
            << "file_size" << QJsonValue(QStringLiteral("12a")) << qint64(0);
        QTest::newRow("file_size signed text")
            << "file_size" << QJsonValue(QStringLiteral("-5")) << qint64(0);
        QTest::newRow("file_size null") << "file_size" << QJsonValue(QJsonValue::Null) << qint64(0);
        QTest::newRow("file_size negative") << "file_size" << QJsonValue(-4096) << qint64(0);
        QTest::newRow("pkgSize negative")
            << "pkgSize" << QJsonValue(qint64(-9000000000123LL)) << qint64(0);
    }

    void numberConversions()
    {
        QFETCH(QString, key);
        QFETCH(QJsonValue, value);
        QFETCH(qint64, expected);

        AppBriefInfo info;
        info.appid = 99;
        info.category_id = 99;
        info.pkgInstallMode = 99;
        info.file_size = 99;
        info.parseJsonObject(QJsonObject{{key, value}});
        _ChannelPkg channel;
        channel.pkgSize = 99;
        channel.parseJsonObject(QJsonObject{{key, value}});
        const qint64 actual = key == QLatin1String("appid")         ? info.appid
                              : key == QLatin1String("category_id") ? info.category_id
                              : key == QLatin1String("file_size")   ? info.file_size
                              : key == QLatin1String("pkgSize")     ? channel.pkgSize
                                                                    : info.pkgInstallMode;
        QCOMPARE(actual, expected);
    }

    void nonStringTextReadsEmpty()
    {
        AppBriefInfo info = filledInfo();
        info.parseJsonObject(
            QJsonObject{{QStringLiteral("name"), 5}, {QStringLiteral("sha256"), QJsonArray{1}}});
        QVERIFY(info.name.isEmpty());
        QVERIFY(info.sha256.isEmpty());
    }

    void channelPackagesAsArrayAreRefused()
    {
        expectNoWarning();
        const QJsonArray array = QJsonDocument::fromJson(kTwoChannels.toUtf8()).array();
        const AppBriefInfo info = parsed(QJsonObject{{QStringLiteral("channelPkgs"), array}});
        QVERIFY(info.channelPkgs.isEmpty());
        QVERIFY(info.channelPkgMap.isEmpty());
    }

    void channelPackagesParse()
    {
        expectNoWarning();
        const AppBriefInfo info =
            parsed(QJsonObject{{QStringLiteral("channelPkgs"), kTwoChannels}});
        QCOMPARE(info.channelPkgs, kTwoChannels);
        QCOMPARE(info.channelPkgMap.keys(), (QStringList{"beta", "stable"}));
        const _ChannelPkg stable = info.channelPkgMap.value(QStringLiteral("stable"));
        QCOMPARE(stable.pkgVer, QStringLiteral("1.0"));
        QCOMPARE(stable.pkgDlUrl, QStringLiteral("https://127.0.0.1/a.deb"));
        QCOMPARE(stable.pkgSize, 5000000000LL);
        QCOMPARE(stable.pkgSha256, QStringLiteral("aa"));
        const _ChannelPkg beta = info.channelPkgMap.value(QStringLiteral("beta"));
        QCOMPARE(beta.pkgSize, qint64(12));
        QVERIFY(beta.pkgDlUrl.isEmpty());
        QVERIFY(beta.pkgSha256.isEmpty());

        QVERIFY(_ChannelPkg::parseChannelPkgJsonStr(QStringLiteral("[]")).isEmpty());
        QVERIFY(_ChannelPkg::parseChannelPkgJsonStr(QStringLiteral(" \n ")).isEmpty());
    }

    void sameChannelTwiceKeepsTheLater()
    {
        const auto map = _ChannelPkg::parseChannelPkgJsonStr(QStringLiteral(
            R"([{"pkgChannel":"stable","pkgVer":"1"},{"pkgChannel":"stable","pkgVer":"2"}])"));
        QCOMPARE(map.size(), 1);
        QCOMPARE(map.value(QStringLiteral("stable")).pkgVer, QStringLiteral("2"));
    }

    void channelPackagesThatAreNoArrayWarn_data()
    {
        QTest::addColumn<QString>("json");
        QTest::newRow("empty object") << QStringLiteral("{}");
        QTest::newRow("not json") << QStringLiteral("[{");
    }

    void channelPackagesThatAreNoArrayWarn()
    {
        QFETCH(QString, json);
        QTest::ignoreMessage(QtWarningMsg,
                             startsWith(QStringLiteral("Parse ChannelPkgJsonStr failed:")));
        AppBriefInfo info = filledInfo();
        info.parseJsonObject(QJsonObject{{QStringLiteral("channelPkgs"), json}});
        QCOMPARE(info.channelPkgs, json);
        QVERIFY(info.channelPkgMap.isEmpty());
        QCOMPARE(info.package_name, filledInfo().package_name);
    }

    void malformedRecordKeepsValues_data()
    {
        QTest::addColumn<QString>("json");
        QTest::newRow("truncated") << QStringLiteral(R"({"package_name":"x")");
        QTest::newRow("array") << QStringLiteral(R"([{"package_name":"x"}])");
        QTest::newRow("garbage") << QStringLiteral("\x01\x02 not json");
    }

    void malformedRecordKeepsValues()
    {
        QFETCH(QString, json);
        QTest::ignoreMessage(QtWarningMsg,
                             startsWith(QStringLiteral("Parse AppBriefInfo failed:")));
        AppBriefInfo info = filledInfo();
        info.parseJsonByteArray(json.toUtf8());
        QVERIFY(info == filledInfo());

        QTest::ignoreMessage(QtWarningMsg,
                             startsWith(QStringLiteral("Parse AppBriefInfo failed:")));
        QCOMPARE(appBriefInfoToJsonString(appBriefInfoFromJsonString(json)), kDefaultRecordJson);
    }

    void listSkipsBlankInvalidAndNameless()
    {
        QList<AppBriefInfo> infos{filledInfo()};
        const QStringList jsons{
            QString(),
            QStringLiteral("   "),
            QStringLiteral("not json"),
            QStringLiteral("{}"),
            QStringLiteral(R"({"package_name":"  ","name":"blank"})"),
            QStringLiteral(R"({"package_name":"demo-viewer","appid":3})"),
        };
        QTest::ignoreMessage(QtWarningMsg,
                             startsWith(QStringLiteral("Parse AppBriefInfo failed:")));
        expectNoWarning();
        appBriefInfosFromJsonStrings(jsons, infos);
        QCOMPARE(infos.size(), 2);
        QVERIFY(infos.first() == filledInfo());
        QCOMPARE(infos.last().package_name, QStringLiteral("demo-viewer"));
        QCOMPARE(infos.last().appid, 3);
    }

    // The list reader the cache slots use keeps one record per text, bad
    // texts as defaults, so no text shifts onto another's record.
    void listKeepsOneRecordPerText()
    {
        const QStringList jsons{QStringLiteral("not json"), QString(),
                                QStringLiteral(R"({"package_name":"demo-viewer","appid":3})")};
        QTest::ignoreMessage(QtWarningMsg,
                             startsWith(QStringLiteral("Parse AppBriefInfo failed:")));
        const QList<AppBriefInfo> infos = parseAppBriefInfoList(jsons);
        QCOMPARE(infos.size(), 3);
        QVERIFY(infos.at(0) == AppBriefInfo());
        QVERIFY(infos.at(1) == AppBriefInfo());
        QCOMPARE(infos.at(2).package_name, QStringLiteral("demo-viewer"));
    }

    void aptOutputShapes_data()
    {
        QTest::addColumn<QString>("record");
        QTest::addColumn<QString>("expected");

        const QString tail = QStringLiteral(
            "\"code\":{\"code\":511},"
            "\"detail\":{\"content\":\"c \\\"q\\\"\",\"option\":\"o\",\"title\":\"t\"}}");
        QTest::newRow("no record") << QString() << QString(QLatin1Char('{') + tail);
        QTest::newRow("blank record")
            << QStringLiteral("  ")
            << QString(
                   QStringLiteral(
                       R"({"appBriefInfo":{"package_mode":0,"package_name":"","pkgInstallMode":1},)") +
                   tail);
        QTest::newRow("record")
            << QStringLiteral(
                   R"({"package_name":"demo-editor","package_mode":1,"pkgInstallMode":2,"appid":4})")
            << QString(QStringLiteral(
                           R"({"appBriefInfo":{"package_mode":1,"package_name":"demo-editor",)"
                           R"("pkgInstallMode":2},)") +
                       tail);
    }

    void aptOutputShapes()
    {
        QFETCH(QString, record);
        QFETCH(QString, expected);
        expectNoWarning();
        AppStore::NotifyStatus status;
        status.code = 511;
        status.output = QStringLiteral("not written");
        QCOMPARE(aptOutputToJsonString(QStringLiteral("t"), QStringLiteral("c \"q\""),
                                       QStringLiteral("o"), status, record),
                 expected);
    }

    void aptOutputWithBrokenRecordUsesDefaults()
    {
        QTest::ignoreMessage(QtWarningMsg,
                             startsWith(QStringLiteral("Parse AppBriefInfo failed:")));
        const QString json = aptOutputToJsonString(
            QString(), QString(), QString(), AppStore::NotifyStatus(), QStringLiteral("{broken"));
        QCOMPARE(json,
                 QStringLiteral(
                     R"({"appBriefInfo":{"package_mode":0,"package_name":"","pkgInstallMode":1},)"
                     R"("code":{"code":0},"detail":{"content":"","option":"","title":""}})"));
    }
};

QTEST_GUILESS_MAIN(TestAppBriefInfo)
#include "tst_app_brief_info.moc"
