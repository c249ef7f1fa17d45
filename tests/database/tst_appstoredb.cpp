#include "appstoredb_test_file.h"
#include "test_env.h"

#include "database/appstoredb.h"
#include "database/on_the_shelves_app_columns.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using StoreService::AppBriefInfo;

namespace {

// One column as PRAGMA table_info reports it: name|type|notnull|default|pk.
using ColumnRows = QStringList;

const ColumnRows kHistoryColumns = {
    QStringLiteral("id|INTEGER|0||1"),           QStringLiteral("packageName|TEXT|0||0"),
    QStringLiteral("version|TEXT|0||0"),         QStringLiteral("path|TEXT|0||0"),
    QStringLiteral("operation|TEXT|0||0"),       QStringLiteral("time|TEXT|0||0"),
    QStringLiteral("content|TEXT|0||0"),         QStringLiteral("result|TEXT|0||0"),
    QStringLiteral("appName|TEXT|0||0"),         QStringLiteral("iconUrl|TEXT|0||0"),
    QStringLiteral("appSize|TEXT|0||0"),         QStringLiteral("externColumnOne|TEXT|0||0"),
    QStringLiteral("externColumnTwo|TEXT|0||0"), QStringLiteral("packageMode|TEXT|1|0|0"),
    QStringLiteral("channelData|TEXT|0||0"),     QStringLiteral("channelId|TEXT|0||0"),
    QStringLiteral("downloadLink|TEXT|0||0"),    QStringLiteral("sh256|TEXT|0||0"),
    QStringLiteral("fileSize|TEXT|0||0"),        QStringLiteral("isSpecificPkg|TEXT|1|0|0"),
    QStringLiteral("sessionId|TEXT|0||0"),       QStringLiteral("app_type|TEXT|1|-1|0"),
    QStringLiteral("owner_role|TEXT|1|-1|0"),    QStringLiteral("pkgInstallMode|TEXT|1|1|0"),
};

const ColumnRows kOnTheShelvesColumns = {
    QStringLiteral("packageid|TEXT|0||1"),
    QStringLiteral("uri|TEXT|0||0"),
    QStringLiteral("appid|TEXT|0||0"),
    QStringLiteral("file_size|TEXT|0||0"),
    QStringLiteral("package_name|TEXT|0||0"),
    QStringLiteral("package_version|TEXT|0||0"),
    QStringLiteral("app_package_url|TEXT|0||0"),
    QStringLiteral("name|TEXT|0||0"),
    QStringLiteral("brief_info|TEXT|0||0"),
    QStringLiteral("update_desc|TEXT|0||0"),
    QStringLiteral("icon_url|TEXT|0||0"),
    QStringLiteral("copywriting|TEXT|0||0"),
    QStringLiteral("enable_mul_select|TEXT|0||0"),
    QStringLiteral("is_forced_update|TEXT|0||0"),
    QStringLiteral("sha256|TEXT|0||0"),
    QStringLiteral("app_type|TEXT|1|-1|0"),
    QStringLiteral("user_show|TEXT|1|-1|0"),
    QStringLiteral("kid_show|TEXT|1|-1|0"),
    QStringLiteral("package_mode|TEXT|1|0|0"),
    QStringLiteral("isSpecificPkg|TEXT|1|0|0"),
    QStringLiteral("supportWayland|TEXT|1|0|0"),
    QStringLiteral("channelPkgs|TEXT|0||0"),
    QStringLiteral("pkgInstallMode|TEXT|1|1|0"),
};

const ColumnRows kReportBiColumns = {
    QStringLiteral("id|INTEGER|0||1"),      QStringLiteral("type|TEXT|0||0"),
    QStringLiteral("reportData|TEXT|0||0"), QStringLiteral("createTime|TEXT|0||0"),
    QStringLiteral("updateTime|TEXT|0||0"),
};

const ColumnRows kKeyValueColumns = {
    QStringLiteral("key|TEXT|0||0"),
    QStringLiteral("Value|TEXT|0||0"),
};

const ColumnRows kInstallStatusColumns = {
    QStringLiteral("package_name|TEXT|1||1"), QStringLiteral("app_name|TEXT|1||0"),
    QStringLiteral("desktop|TEXT|0||2"),      QStringLiteral("app_type|TEXT|1|-1|0"),
    QStringLiteral("app_status|TEXT|1|-1|0"), QStringLiteral("owner_role|TEXT|1|-1|0"),
    QStringLiteral("create_time|TEXT|1||0"),  QStringLiteral("update_time|TEXT|1||0"),
};

// The setting table after the first start's migration: the ninth column is
// added, so it has no NOT NULL and its default is a quoted literal.
const ColumnRows kSettingColumns = {
    QStringLiteral("createDesktop|TEXT|0||0"),     QStringLiteral("freeDownload|TEXT|0||0"),
    QStringLiteral("onNotice|TEXT|0||0"),          QStringLiteral("serviceVersion|TEXT|0||0"),
    QStringLiteral("privacyVersion|TEXT|0||0"),    QStringLiteral("agreeSign|TEXT|0||0"),
    QStringLiteral("upgradeNoticeTime|TEXT|0||0"), QStringLiteral("keepArchives|TEXT|0||0"),
    QStringLiteral("installFilter|TEXT|0|'0'|0"),
};

ColumnRows tableInfo(AppstoreDbTestFile &file, const QString &table)
{
    return file.rows(
        QStringLiteral("SELECT name, type, \"notnull\", dflt_value, pk FROM pragma_table_info(?)"),
        {table});
}

AppBriefInfo appInfo(const QString &id, const QString &packageName)
{
    AppBriefInfo info;
    info.id = id;
    info.uri = QStringLiteral("store://") + id;
    info.appid = 12;
    info.file_size = 5000000000LL;
    info.package_name = packageName;
    info.package_version = QStringLiteral("1.0-1");
    info.name = QStringLiteral("Name of ") + packageName;
    info.category_id = 4;
    info.channelPkgs = QStringLiteral(R"([{"pkgChannel":"stable","pkgVer":"1.0"}])");
    info.number = 9;
    info.category_name = QStringLiteral("tools");
    info.channelId = QStringLiteral("stable");
    return info;
}

// The history upsert with the named columns set and every other text empty;
// the three trailing texts are passed explicitly.
void upsertHistory(AppstoreDb &db, const QString &name, const QMap<QString, QString> &columns)
{
    auto v = [&columns](const char *column) { return columns.value(QLatin1String(column)); };
    db.updateApplicationHistoryInfo(
        name, v("version"), v("path"), v("operation"), v("time"), v("content"), v("result"),
        v("appName"), v("iconUrl"), v("appSize"), v("externColumnOne"), v("externColumnTwo"),
        v("packageMode"), v("channelData"), v("channelId"), v("downloadLink"), v("sh256"),
        v("fileSize"), v("isSpecificPkg"), v("sessionId"), v("app_type"), v("owner_role"),
        v("pkgInstallMode"));
}

QString historyRow(AppstoreDbTestFile &file, const QString &name)
{
    return file.value(
        QStringLiteral("SELECT version, path, operation, result, appSize, fileSize, app_type, "
                       "owner_role, pkgInstallMode FROM application_history WHERE packageName = ?"),
        {name});
}

} // namespace

class TestAppstoreDb : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_serial = 0;

    QString freshPath()
    {
        return m_dir.filePath(QStringLiteral("db%1/appstore.db").arg(++m_serial));
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void freshStartCreatesTheSchemaAndMigratesOnlyInstallFilter()
    {
        const QString path = freshPath();
        {
            AppstoreDb db(path);
            db.addAllNewColumn();
        }
        AppstoreDbTestFile file(path);
        QCOMPARE(tableInfo(file, QStringLiteral("application_history")), kHistoryColumns);
        QCOMPARE(tableInfo(file, QStringLiteral("LocalOnTheShelvesAPP")), kOnTheShelvesColumns);
        QCOMPARE(tableInfo(file, QStringLiteral("report_bi")), kReportBiColumns);
        QCOMPARE(tableInfo(file, QStringLiteral("key_value_info")), kKeyValueColumns);
        QCOMPARE(tableInfo(file, QStringLiteral("app_install_status")), kInstallStatusColumns);
        QCOMPARE(tableInfo(file, QStringLiteral("setting")), kSettingColumns);
        QCOMPARE(file.rows(QStringLiteral("SELECT name FROM pragma_index_info(?)"),
                           {QStringLiteral("application_history_idx")}),
                 QStringList({QStringLiteral("id"), QStringLiteral("packageName"),
                              QStringLiteral("version")}));
        const QString defaults = QStringLiteral("2|2|0|0|0|0|19700101|0|0");
        QCOMPARE(file.rows(QStringLiteral("SELECT * FROM setting")), QStringList{defaults});

        // A second start changes nothing and adds no second settings row.
        {
            AppstoreDb db(path);
            db.addAllNewColumn();
            QString value;
            QVERIFY(db.selectSettingByColumnName(QStringLiteral("installFilter"), value));
            QCOMPARE(value, QStringLiteral("0"));
        }
        QCOMPARE(tableInfo(file, QStringLiteral("setting")), kSettingColumns);
        QCOMPARE(file.rows(QStringLiteral("SELECT * FROM setting")), QStringList{defaults});
        QCOMPARE(file.value(QStringLiteral("PRAGMA journal_mode")), QStringLiteral("wal"));
    }

    void migrationFromOldestLayoutKeepsEveryRow()
    {
        const QString path = freshPath();
        QDir().mkpath(QFileInfo(path).absolutePath());
        {
            AppstoreDbTestFile old(path);
            QVERIFY(old.exec(QStringLiteral(
                "CREATE TABLE application_history (id INTEGER PRIMARY KEY "
                "AUTOINCREMENT,packageName "
                "TEXT,version TEXT,path TEXT,operation TEXT,time TEXT,content TEXT,result "
                "TEXT,appName TEXT,iconUrl TEXT,appSize TEXT)")));
            QVERIFY(old.exec(QStringLiteral(
                "CREATE TABLE LocalOnTheShelvesAPP (packageid TEXT PRIMARY KEY,uri TEXT,appid "
                "TEXT,file_size TEXT,package_name TEXT,package_version TEXT,app_package_url "
                "TEXT,name TEXT,brief_info TEXT,update_desc TEXT,icon_url TEXT,copywriting "
                "TEXT,enable_mul_select TEXT,is_forced_update TEXT,sha256 TEXT)")));
            QVERIFY(old.exec(QStringLiteral(
                "CREATE TABLE setting (createDesktop TEXT,freeDownload TEXT,onNotice TEXT)")));
            QVERIFY(old.exec(QStringLiteral("INSERT INTO setting VALUES ('0','2','1')")));
            for (int i = 0; i < 3; ++i) {
                QVERIFY(old.exec(QStringLiteral("INSERT INTO application_history (packageName, "
                                                "version, operation, appSize) VALUES (?, ?, ?, ?)"),
                                 {QStringLiteral("old-%1").arg(i), QStringLiteral("1.%1").arg(i),
                                  QStringLiteral("1"), QStringLiteral("2048")}));
            }
            QVERIFY(old.exec(
                QStringLiteral("INSERT INTO LocalOnTheShelvesAPP (packageid, appid, "
                               "file_size, package_name) VALUES ('p1','7','99','old-0')")));
        }

        // The old settings row stays; the default row's columns do not exist yet.
        QTest::ignoreMessage(QtCriticalMsg,
                             QRegularExpression(QStringLiteral("Failed to insert setting")));
        QCOMPARE(TestEnv::fileMode(path), 0644);
        AppstoreDb db(path);
        db.addAllNewColumn();
        QCOMPARE(TestEnv::fileMode(path), 0600); // an older file was readable by all

        AppstoreDbTestFile file(path);
        auto names = [](const ColumnRows &columns) {
            QStringList names;
            for (const QString &column : columns) {
                names.append(column.section(QLatin1Char('|'), 0, 0));
            }
            return names;
        };
        QCOMPARE(file.columnNames(QStringLiteral("application_history")), names(kHistoryColumns));
        QCOMPARE(file.columnNames(QStringLiteral("LocalOnTheShelvesAPP")),
                 names(kOnTheShelvesColumns));
        QCOMPARE(file.columnNames(QStringLiteral("setting")),
                 QStringList({QStringLiteral("createDesktop"), QStringLiteral("freeDownload"),
                              QStringLiteral("onNotice"), QStringLiteral("installFilter"),
                              QStringLiteral("agreeSign"), QStringLiteral("serviceVersion"),
                              QStringLiteral("privacyVersion"), QStringLiteral("upgradeNoticeTime"),
                              QStringLiteral("keepArchives")}));
        QCOMPARE(file.rows(QStringLiteral("SELECT * FROM setting")),
                 QStringList{QStringLiteral("0|2|1|0||||19700101|0")});
        QCOMPARE(file.count(QStringLiteral("application_history")), 3);
        QCOMPARE(file.rows(QStringLiteral("SELECT packageName, version, appSize, externColumnOne, "
                                          "packageMode, isSpecificPkg, app_type, owner_role, "
                                          "pkgInstallMode FROM application_history ORDER BY id")),
                 QStringList({QStringLiteral("old-0|1.0|2048||0|0|-1|-1|1"),
                              QStringLiteral("old-1|1.1|2048||0|0|-1|-1|1"),
                              QStringLiteral("old-2|1.2|2048||0|0|-1|-1|1")}));

        AppStore::PackageOperation operation;
        QVERIFY(db.selectApplicationHistoryInfoByName(QStringLiteral("old-1"), operation));
        QCOMPARE(operation.pkgVer, QStringLiteral("1.1"));
        QCOMPARE(operation.pkgInstallMode, 1);

        QList<AppBriefInfo> apps;
        db.selectLocalOnTheShelvesAppInfos(apps);
        QCOMPARE(apps.size(), 1);
        QCOMPARE(apps.first().appid, 7);
        QCOMPARE(apps.first().category_id, -1);
        QCOMPARE(apps.first().pkgInstallMode, 1);

        // The history table is rebuilt whole, migrated columns included.
        db.clearApplicationHistoryTable();
        QCOMPARE(tableInfo(file, QStringLiteral("application_history")), kHistoryColumns);
        QCOMPARE(file.count(QStringLiteral("application_history")), 0);
    }

    void historyUpsertWritesOneRowPerPackage()
    {
        const QString path = freshPath();
        AppstoreDb db(path);
        AppstoreDbTestFile file(path);
        const QString name = QStringLiteral("demo-hello");

        upsertHistory(db, QStringLiteral("   "),
                      {{QStringLiteral("version"), QStringLiteral("1")}});
        QCOMPARE(file.count(QStringLiteral("application_history")), 0);

        // Intake of an install without a version, then its completion: the
        // completion updates the row instead of adding a second one.
        upsertHistory(db, name,
                      {{QStringLiteral("path"), QStringLiteral("0")},
                       {QStringLiteral("operation"), QStringLiteral("6")},
                       {QStringLiteral("result"), QStringLiteral("0")},
                       {QStringLiteral("appSize"), QStringLiteral("4096")},
                       {QStringLiteral("fileSize"), QStringLiteral("abc")},
                       {QStringLiteral("app_type"), QStringLiteral("3")},
                       {QStringLiteral("owner_role"), QStringLiteral("2")},
                       {QStringLiteral("pkgInstallMode"), QStringLiteral("1")}});
        QCOMPARE(historyRow(file, name), QStringLiteral("|0|6|0|4096|abc|3|2|1"));
        db.updateApplicationHistoryInfo(name, QStringLiteral("1.0"), QStringLiteral("/cache/a.deb"),
                                        QStringLiteral("1"), QString(), QString(),
                                        QStringLiteral(" "), QString(), QString(), QString(),
                                        QString(), QString(), QString(), QString(), QString(),
                                        QString(), QString(), QString(), QString(), QString());
        QCOMPARE(file.count(QStringLiteral("application_history")), 1);
        // Blank texts keep their columns; the shortened form writes its defaults.
        QCOMPARE(historyRow(file, name), QStringLiteral("1.0|/cache/a.deb|1|0|4096|abc|-1|-1|1"));

        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("no usable param")));
        upsertHistory(db, name, {});
        QCOMPARE(historyRow(file, name), QStringLiteral("1.0|/cache/a.deb|1|0|4096|abc|-1|-1|1"));

        AppStore::PackageOperation operation;
        operation.appType = QStringLiteral("kept");
        QVERIFY(db.selectApplicationHistoryInfoByName(name, operation));
        QCOMPARE(operation.packageSize, 0); // "abc" is no number
        QCOMPARE(operation.appType, QStringLiteral("kept"));
        operation.appType.clear();
        QCOMPARE(
            packageOperationToJsonString(operation),
            QStringLiteral(
                R"({"appType":"","channelData":"","channelId":"","downloadLink":"",)"
                R"("downloadedSize":"","icon_url":"","isSpecificPkg":0,"name":"",)"
                R"("operation":"1","ownerRole":"","packageSize":0,"packagemode":0,)"
                R"("packagename":"demo-hello","pkgInstallMode":1,"pkgVer":"1.0","sessionId":"",)"
                R"("sh256":"","totalSize":"4096"})"));

        QString version = QStringLiteral("untouched");
        QString other;
        QVERIFY(!db.selectApplicationHistoryInfoByName(
            QStringLiteral("missing"), version, other, other, other, other, other, other, other,
            other, other, other, other, other, other, other, other, other, other, other, other,
            other, other));
        QCOMPARE(version, QStringLiteral("untouched"));
        QString path2, operationCode, time, content, result, appName, iconUrl, appSize, one, two,
            packageMode, channelData, channelId, link, sha, fileSize, specific, session, appType,
            ownerRole, installMode;
        QVERIFY(db.selectApplicationHistoryInfoByName(
            name, version, path2, operationCode, time, content, result, appName, iconUrl, appSize,
            one, two, packageMode, channelData, channelId, link, sha, fileSize, specific, session,
            appType, ownerRole, installMode));
        QCOMPARE(QStringList({version, path2, operationCode, appSize, fileSize, appType, ownerRole,
                              installMode}),
                 QStringList({QStringLiteral("1.0"), QStringLiteral("/cache/a.deb"),
                              QStringLiteral("1"), QStringLiteral("4096"), QStringLiteral("abc"),
                              QStringLiteral("-1"), QStringLiteral("-1"), QStringLiteral("1")}));
    }

    void historyListsCodesAndDeletes()
    {
        const QString path = freshPath();
        AppstoreDb db(path);
        AppstoreDbTestFile file(path);
        const QStringList codes = {QStringLiteral("6"), QStringLiteral("6"), QStringLiteral("3"),
                                   QStringLiteral("1"), QStringLiteral("4")};
        for (int i = 0; i < codes.size(); ++i) {
            upsertHistory(db, QStringLiteral("pkg%1").arg(i),
                          {{QStringLiteral("version"), QStringLiteral("1.%1").arg(i)},
                           {QStringLiteral("operation"), codes.at(i)},
                           {QStringLiteral("sessionId"), QStringLiteral("s%1").arg(i)}});
        }

        QList<DownloadStateBiData> biData;
        db.getBiDataFromApplicationHistoryByOperations(biData);
        QCOMPARE(biData.size(), 2);
        QCOMPARE(biData.at(1).package_name, QStringLiteral("pkg1"));
        QCOMPARE(biData.at(1).package_version, QStringLiteral("1.1"));
        QCOMPARE(biData.at(1).session_id, QStringLiteral("s1"));
        QCOMPARE(biData.at(1).httpType, 1);

        std::array<QStringList, 21> lists;
        lists[0] = QStringList{QStringLiteral("held")};
        auto readAll = [&db, &lists]() {
            db.selectApplicationHistoryInfo(
                lists[0], lists[1], lists[2], lists[3], lists[4], lists[5], lists[6], lists[7],
                lists[8], lists[9], lists[10], lists[11], lists[12], lists[13], lists[14],
                lists[15], lists[16], lists[17], lists[18], lists[19], lists[20]);
        };
        readAll();
        QCOMPARE(lists[0].size(), 6);
        QCOMPARE(lists[19].size(), 5);
        QCOMPARE(lists[1].last(), QStringLiteral("1.4"));
        QCOMPARE(lists[20].size(), 5);
        std::array<QStringList, 21> byOperation;
        QVERIFY(db.selectApplicationHistoryInfoByOperation(
            QStringLiteral("6"), byOperation[0], byOperation[1], byOperation[2], byOperation[3],
            byOperation[4], byOperation[5], byOperation[6], byOperation[7], byOperation[8],
            byOperation[9], byOperation[10], byOperation[11], byOperation[12], byOperation[13],
            byOperation[14], byOperation[15], byOperation[16], byOperation[17], byOperation[18],
            byOperation[19], byOperation[20]));
        QCOMPARE(byOperation[0], QStringList{QStringLiteral("pkg0")});

        db.updatePackagesOperations({}, QStringLiteral("7"));
        db.updatePackagesOperations({QStringLiteral("6")}, QStringLiteral("7"));
        QCOMPARE(file.rows(QStringLiteral("SELECT operation FROM application_history ORDER BY id")),
                 QStringList({QStringLiteral("7"), QStringLiteral("7"), QStringLiteral("3"),
                              QStringLiteral("1"), QStringLiteral("4")}));

        for (int i = 0; i < codes.size(); ++i) {
            db.updateApplicationHistoryInfoByUpgradeCheck(QStringLiteral("pkg%1").arg(i),
                                                          QStringLiteral("9.9"));
        }
        QCOMPARE(file.rows(QStringLiteral("SELECT version FROM application_history ORDER BY id")),
                 QStringList({QStringLiteral("1.0"), QStringLiteral("1.1"), QStringLiteral("9.9"),
                              QStringLiteral("1.3"), QStringLiteral("9.9")}));

        db.updateApplicationHistoryResult(QStringLiteral("pkg3"), QStringLiteral("1"));
        db.updateApplicationHistoryOperationByRemove(QStringLiteral("pkg3"));
        QCOMPARE(historyRow(file, QStringLiteral("pkg3")).section(QLatin1Char('|'), 2, 3),
                 QStringLiteral("2|1"));

        db.deleteApplicationHistoryInfo(QStringLiteral("pkg0"));
        db.deleteApplicationHistoryInfo(
            QStringList{QStringLiteral("pkg1"), QStringLiteral("none"), QStringLiteral("pkg2")});
        QCOMPARE(
            file.rows(QStringLiteral("SELECT packageName FROM application_history ORDER BY id")),
            QStringList({QStringLiteral("pkg3"), QStringLiteral("pkg4")}));

        // A rebuild that fails half-way leaves the history as it was.
        QVERIFY(file.exec(QStringLiteral("DROP INDEX application_history_idx")));
        QVERIFY(file.exec(QStringLiteral("CREATE TABLE application_history_idx (x TEXT)")));
        QTest::ignoreMessage(QtCriticalMsg,
                             QRegularExpression(QStringLiteral("Failed to create index")));
        db.clearApplicationHistoryTable();
        QCOMPARE(file.count(QStringLiteral("application_history")), 2);
        QVERIFY(file.exec(QStringLiteral("DROP TABLE application_history_idx")));
        db.clearApplicationHistoryTable();
        QCOMPARE(file.count(QStringLiteral("application_history")), 0);
    }

    void genericRecordsBindValuesAndRefuseUnknownNames()
    {
        const QString path = freshPath();
        AppstoreDb db(path);
        AppstoreDbTestFile file(path);
        QVERIFY(db.insertLocalOnTheShelvesAppInfos(
            {appInfo(QStringLiteral("a"), QStringLiteral("alpha")),
             appInfo(QStringLiteral("b"), QStringLiteral("package_version"))}));

        const QString table = QStringLiteral("LocalOnTheShelvesAPP");
        QVERIFY(db.updateRecords({{QStringLiteral("package_name"), QStringLiteral("alpha")}},
                                 {{QStringLiteral("package_version"), QStringLiteral("2'0")},
                                  {QStringLiteral("user_show"), QStringLiteral("1")}},
                                 table));
        QVERIFY(db.updateRecords({{QStringLiteral("package_name"), QStringLiteral("nothing")}},
                                 {{QStringLiteral("package_version"), QStringLiteral("x")}},
                                 table));

        // A condition value that happens to be a column name is a value.
        QList<QStringList> result;
        db.seleteRecords({QStringLiteral("package_name"), QStringLiteral("package_version")},
                         {{QStringLiteral("package_name"), QStringLiteral("package_version")}},
                         result, table);
        QCOMPARE(result, QList<QStringList>(
                             {{QStringLiteral("package_version")}, {QStringLiteral("1.0-1")}}));
        result.clear();
        db.seleteRecords({QStringLiteral("package_name"), QStringLiteral("package_version")}, {},
                         result, table);
        QCOMPARE(result.at(1), QStringList({QStringLiteral("2'0"), QStringLiteral("1.0-1")}));

        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("Failed to update")));
        QVERIFY(!db.updateRecords({}, {{QStringLiteral("package_version"), QStringLiteral("x")}},
                                  table));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("Failed to update")));
        QVERIFY(!db.updateRecords({{QStringLiteral("package_name"), QStringLiteral("alpha")}},
                                  {{QStringLiteral("package_version='x' --"), QStringLiteral("y")}},
                                  table));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("Failed to update")));
        QVERIFY(!db.updateRecords({{QStringLiteral("type"), QStringLiteral("table")}},
                                  {{QStringLiteral("sql"), QStringLiteral("x")}},
                                  QStringLiteral("sqlite_master")));

        result.clear();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("refused column")));
        db.seleteRecords(
            {QStringLiteral("package_name"), QStringLiteral("package_name FROM setting --")}, {},
            result, table);
        QCOMPARE(result, QList<QStringList>({{}, {}}));
        result.clear();
        db.seleteRecords({}, {}, result, table);
        QVERIFY(result.isEmpty());

        db.clearTable(QStringLiteral("setting; DROP TABLE report_bi"));
        db.clearTable(table);
        QCOMPARE(file.count(table), 0);
        QCOMPARE(file.count(QStringLiteral("setting")), 1);

        QVERIFY(db.isExisted(QStringLiteral("setting"), QStringLiteral("keepArchives")));
        QVERIFY(!db.isExisted(QStringLiteral("setting"), QStringLiteral("nothing")));
        QVERIFY(!db.isExisted(QStringLiteral("no_table"), QStringLiteral("keepArchives")));
        db.addNewColumn(QStringLiteral("report_bi"), QStringLiteral("note"),
                        QStringLiteral("it's"));
        QVERIFY(db.insertReportBiInfo({0, QStringLiteral("t"), QStringLiteral("d")}));
        QCOMPARE(file.value(QStringLiteral("SELECT note FROM report_bi")), QStringLiteral("it's"));
    }

    void publishedApplicationsStoreAndReadRecords_data()
    {
        QTest::addColumn<QString>("accountType");
        QTest::addColumn<QString>("flags");
        QTest::newRow("child") << QStringLiteral("2") << QStringLiteral("-1|1");
        QTest::newRow("empty") << QString() << QStringLiteral("1|-1");
        QTest::newRow("other") << QStringLiteral("1") << QStringLiteral("1|-1");
        QTest::newRow("leading zero") << QStringLiteral("02") << QStringLiteral("1|-1");
        QTest::newRow("leading blank") << QStringLiteral(" 2") << QStringLiteral("1|-1");
    }

    void publishedApplicationsStoreAndReadRecords()
    {
        QFETCH(QString, accountType);
        QFETCH(QString, flags);
        const QString path = freshPath();
        AppstoreDb db(path);
        AppstoreDbTestFile file(path);
        const AppBriefInfo stored = appInfo(QStringLiteral("id1"), QStringLiteral("demo"));
        QVERIFY(db.insertLocalOnTheShelvesAppInfo(stored, accountType));
        QCOMPARE(file.value(QStringLiteral("SELECT user_show, kid_show, file_size, app_type FROM "
                                           "LocalOnTheShelvesAPP")),
                 flags + QStringLiteral("|5000000000|4"));

        AppBriefInfo expected = stored;
        expected.number = -1;
        expected.category_name.clear();
        expected.channelId.clear();
        QList<AppBriefInfo> all{AppBriefInfo()};
        db.selectLocalOnTheShelvesAppInfos(all);
        QCOMPARE(all.size(), 2);
        QCOMPARE(all.at(1), expected);
        QCOMPARE(all.at(1).channelPkgMap.value(QStringLiteral("stable")).pkgVer,
                 QStringLiteral("1.0"));
        QVERIFY(appBriefInfoToJsonString(all.at(1)).contains(
            QStringLiteral("\"channelPkgs\":\"[{\\\"pkgChannel\\\":\\\"stable\\\",\\\"pkgVer\\\":"
                           "\\\"1.0\\\"}]\"")));

        AppBriefInfo byName;
        byName.number = 5;
        byName.category_name = QStringLiteral("kept");
        db.selectLocalOnTheShelvesAppInfoByName(QStringLiteral("demo"), byName);
        QCOMPARE(byName.number, 5);
        QCOMPARE(byName.category_name, QStringLiteral("kept"));
        QCOMPARE(byName.file_size, 5000000000LL);
        AppBriefInfo untouched = byName;
        db.selectLocalOnTheShelvesAppInfoByName(QStringLiteral("missing"), untouched);
        QCOMPARE(untouched, byName);

        const QMap<QString, QString> columns = appBriefInfoToColumnMap(stored);
        QCOMPARE(columns.size(), 21);
        QCOMPARE(columns.value(QStringLiteral("packageid")), QStringLiteral("id1"));
        QCOMPARE(columns.value(QStringLiteral("app_type")), QStringLiteral("4"));
        QVERIFY(!columns.contains(QStringLiteral("user_show")));
    }

    void publishedApplicationsBatchesAreAllOrNothing()
    {
        const QString path = freshPath();
        AppstoreDb db(path);
        AppstoreDbTestFile file(path);
        const QString table = QStringLiteral("LocalOnTheShelvesAPP");
        QVERIFY(db.insertLocalOnTheShelvesAppInfos(
            {appInfo(QStringLiteral("a"), QStringLiteral("alpha")),
             appInfo(QStringLiteral("b"), QStringLiteral("beta"))}));
        QVERIFY(file.exec(
            QStringLiteral("UPDATE LocalOnTheShelvesAPP SET appid = "
                           "'3000000000', enable_mul_select = 'abc' WHERE packageid = 'b'")));
        AppBriefInfo beta;
        db.selectLocalOnTheShelvesAppInfoByName(QStringLiteral("beta"), beta);
        QCOMPARE(beta.appid, 0);
        QCOMPARE(beta.enable_mul_select, 0);

        const QList<AppBriefInfo> clashing = {
            appInfo(QStringLiteral("c"), QStringLiteral("gamma")),
            appInfo(QStringLiteral("c"), QStringLiteral("delta"))};
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("Failed to insert")));
        QVERIFY(!db.insertLocalOnTheShelvesAppInfos(clashing));
        QCOMPARE(file.count(table), 2);

        // A replacement whose insert fails keeps the rows it would have replaced.
        const QList<AppBriefInfo> failing = {appInfo(QStringLiteral("a2"), QStringLiteral("alpha")),
                                             appInfo(QStringLiteral("b"), QStringLiteral("other"))};
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("Failed to insert")));
        QVERIFY(!db.replaceLocalOnTheShelvesAppInfos(failing));
        QCOMPARE(file.rows(QStringLiteral("SELECT packageid FROM LocalOnTheShelvesAPP ORDER BY "
                                          "packageid")),
                 QStringList({QStringLiteral("a"), QStringLiteral("b")}));
        QVERIFY(db.replaceLocalOnTheShelvesAppInfos(
            {appInfo(QStringLiteral("a2"), QStringLiteral("alpha"))}, QStringLiteral("2")));
        QCOMPARE(file.rows(QStringLiteral("SELECT packageid, kid_show FROM LocalOnTheShelvesAPP "
                                          "WHERE package_name = 'alpha'")),
                 QStringList{QStringLiteral("a2|1")});

        QVERIFY(db.insertLocalOnTheShelvesAppInfos({}));
        QVERIFY(db.insertLocalOnTheShelvesAppInfo(
            appInfo(QStringLiteral("b2"), QStringLiteral("beta"))));
        QVERIFY(db.deleteLocalOnTheShelvesAppInfo(QStringLiteral("missing")));
        QVERIFY(db.deleteLocalOnTheShelvesAppInfos({}));
        QVERIFY(db.deleteLocalOnTheShelvesAppInfo(QStringLiteral("beta")));
        QCOMPARE(file.rows(QStringLiteral("SELECT packageid FROM LocalOnTheShelvesAPP")),
                 QStringList{QStringLiteral("a2")});
    }

    void settingsRefuseNamesThatAreNoColumn()
    {
        const QString path = freshPath();
        AppstoreDb db(path);
        AppstoreDbTestFile file(path);
        db.addAllNewColumn();

        QString value;
        QVERIFY(db.selectSettingByColumnName(QStringLiteral("createDesktop"), value));
        QCOMPARE(value, QStringLiteral("2"));
        value = QStringLiteral("0");
        QVERIFY(db.updateSettingByColumnName(QStringLiteral("createDesktop"), value));
        QVERIFY(db.selectSettingByColumnName(QStringLiteral("createDesktop"), value));
        QCOMPARE(value, QStringLiteral("0"));

        const QStringList hostileNames = {
            QStringLiteral("createDesktop = 1; DROP TABLE setting"),
            QStringLiteral("(SELECT group_concat(packageName) FROM application_history)"),
            QStringLiteral("createDesktop = '1', keepArchives"),
            QStringLiteral("nothing"),
        };
        for (const QString &name : hostileNames) {
            QString out = QStringLiteral("untouched");
            QVERIFY(!db.selectSettingByColumnName(name, out));
            QCOMPARE(out, QStringLiteral("untouched"));
            QString written = QStringLiteral("1");
            QTest::ignoreMessage(QtCriticalMsg,
                                 QRegularExpression(QStringLiteral("Failed to insert setting")));
            QVERIFY(!db.updateSettingByColumnName(name, written));
        }
        QCOMPARE(file.rows(QStringLiteral("SELECT * FROM setting")),
                 QStringList{QStringLiteral("0|2|0|0|0|0|19700101|0|0")});
    }

    void keyValueAndStatisticsQueue()
    {
        const QString path = freshPath();
        AppstoreDb db(path);

        QString value = QStringLiteral("none");
        QVERIFY(!db.selectKeyValueInfo(QStringLiteral("upload_hardware"), value));
        QCOMPARE(value, QStringLiteral("none"));
        QVERIFY(db.insertKeyValueInfo(QStringLiteral("upload_hardware"), QStringLiteral("0")));
        QVERIFY(db.insertKeyValueInfo(QStringLiteral("upload_hardware"), QStringLiteral("1")));
        QVERIFY(db.selectKeyValueInfo(QStringLiteral("upload_hardware"), value));
        QCOMPARE(value, QStringLiteral("1"));
        QVERIFY(db.updateKeyValueInfo(QStringLiteral("upload_hardware"), QStringLiteral("2")));
        QVERIFY(db.updateKeyValueInfo(QStringLiteral("absent"), QStringLiteral("2")));
        AppstoreDbTestFile file(path);
        QCOMPARE(file.rows(QStringLiteral("SELECT key, value FROM key_value_info")),
                 QStringList(
                     {QStringLiteral("upload_hardware|2"), QStringLiteral("upload_hardware|2")}));

        QCOMPARE(db.getCountReportBi(), 0u);
        QVERIFY(db.insertReportBiInfo({0, QStringLiteral("9"), QStringLiteral(R"({"a":1})")}));
        QVERIFY(db.insertReportBiInfo({0, QStringLiteral("7"), QStringLiteral(R"({"b":2})")}));
        QCOMPARE(db.getCountReportBi(), 2u);
        QList<NetRetryData> reports{NetRetryData{99, QStringLiteral("held"), QString()}};
        db.selectReportBiInfo(QStringLiteral("9"), reports);
        QCOMPARE(reports.size(), 3);
        QCOMPARE(reports.at(1).type, QStringLiteral("9"));
        QCOMPARE(reports.at(2).reportData, QStringLiteral(R"({"b":2})"));
        QVERIFY(reports.at(1).id < reports.at(2).id);

        QVERIFY(db.updateReportBiInfo(reports.at(1).id));
        QVERIFY(db.updateReportBiInfo(4242));
        db.deleteReportBiInfo(4242);
        db.deleteReportBiInfo(reports.at(1).id);
        QCOMPARE(db.getCountReportBi(), 1u);
        const QString stamp = file.value(QStringLiteral("SELECT createTime FROM report_bi"));
        QVERIFY(QDateTime::fromString(stamp, QStringLiteral("yyyy-MM-dd hh:mm:ss")).isValid());
    }

    void installStateSurvivesAClockSetBack()
    {
        const QString path = freshPath();
        AppstoreDb db(path);
        AppstoreDbTestFile file(path);
        const QString first = QStringLiteral("2024-01-02 03:04:05");
        const QString future = QDateTime::currentDateTime().addYears(5).toString(
            QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        auto row = [&file]() {
            return file.rows(QStringLiteral("SELECT * FROM app_install_status"));
        };

        QVERIFY(!db.insertInstallStatus(QStringLiteral(" "), QStringLiteral("A"), QString(),
                                        QString(), QString(), QString(), first, first));
        QVERIFY(db.insertInstallStatus(QStringLiteral("demo"), QStringLiteral("Demo"),
                                       QStringLiteral("a.desktop"), QStringLiteral("3"),
                                       QStringLiteral("0"), QStringLiteral("1"), first, future));
        // The stored update time lies ahead of the clock: the row is still updated.
        QVERIFY(db.insertInstallStatus(QStringLiteral("demo"), QStringLiteral("Demo 2"),
                                       QStringLiteral(" "), QString(), QStringLiteral("1"),
                                       QString(), QStringLiteral("2030-01-01 00:00:00"), first));
        QCOMPARE(row(), QStringList{QStringLiteral("demo|Demo 2|a.desktop|3|1|1|") + first +
                                    QLatin1Char('|') + first});
        QVERIFY(db.insertInstallStatus(QStringLiteral("demo"), QString(), QString(), QString(),
                                       QString(), QString(), QString(), future));
        QCOMPARE(row().first().section(QLatin1Char('|'), 6), first + QLatin1Char('|') + future);

        QVERIFY(db.updateInstallStatus(QStringLiteral("demo"), QStringLiteral("0")));
        QVERIFY(db.updateInstallStatus(QStringLiteral("absent"), QStringLiteral("0")));
        QCOMPARE(row().first().section(QLatin1Char('|'), 4, 4), QStringLiteral("0"));
        QCOMPARE(file.count(QStringLiteral("app_install_status")), 1);
    }

    // The file is root's alone, in a folder no one else may change.
    void refusesAFolderOthersMayChange()
    {
        const QString path = freshPath();
        QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
        QCOMPARE(::chmod(QFile::encodeName(QFileInfo(path).absolutePath()).constData(), 0777), 0);
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("database left unopened"));
        AppstoreDb db(path);
        QString value;
        QVERIFY(!db.selectSettingByColumnName(QStringLiteral("onNotice"), value));
        QVERIFY(!QFileInfo::exists(path));
    }

    void hostileValuesRoundTrip_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("quotes") << QStringLiteral(R"(O'Brien "the" `tick`)");
        QTest::newRow("statement") << QStringLiteral("x'); DROP TABLE application_history; --");
        QTest::newRow("binary-looking")
            << (QString(QChar(0)) + QStringLiteral("\x01\x7f\\x00%1?:a") + QChar(0xFFFD) +
                QChar(0xD83D) + QChar(0xDE00) + QChar(0));
        QTest::newRow("long") << QString(1 << 20, QLatin1Char('q')) + QStringLiteral("'end");
    }

    void hostileValuesRoundTrip()
    {
        QFETCH(QString, text);
        const QString path = freshPath();
        AppstoreDb db(path);

        upsertHistory(db, text,
                      {{QStringLiteral("version"), text},
                       {QStringLiteral("operation"), QStringLiteral("3")}});
        upsertHistory(db, text, {{QStringLiteral("sessionId"), text}});
        db.updateApplicationHistoryResult(text, text);
        db.updateApplicationHistoryInfoByUpgradeCheck(text, text + QLatin1Char('2'));
        AppStore::PackageOperation operation;
        QVERIFY(db.selectApplicationHistoryInfoByName(text, operation));
        QCOMPARE(operation.packagename, text);
        QCOMPARE(operation.pkgVer, text + QLatin1Char('2'));
        QCOMPARE(operation.sessionId, text);
        QList<DownloadStateBiData> biData;
        db.getBiDataFromApplicationHistoryByOperations(biData, QStringLiteral("3"));
        QCOMPARE(biData.size(), 1);
        QCOMPARE(biData.first().session_id, text);

        QString setting = text;
        db.updateSettingByColumnName(QStringLiteral("onNotice"), setting);
        QString readBack;
        QVERIFY(db.selectSettingByColumnName(QStringLiteral("onNotice"), readBack));
        QCOMPARE(readBack, text);

        QVERIFY(db.insertKeyValueInfo(text, text));
        readBack.clear();
        QVERIFY(db.selectKeyValueInfo(text, readBack));
        QCOMPARE(readBack, text);

        QVERIFY(db.insertReportBiInfo({0, text, text}));
        QList<NetRetryData> reports;
        db.selectReportBiInfo(QString(), reports);
        QCOMPARE(reports.size(), 1);
        QCOMPARE(reports.first().reportData, text);

        QVERIFY(db.insertInstallStatus(text, text, text, text, text, text, text, text));
        QVERIFY(db.insertInstallStatus(text, text, text, text, text, text, text, text));
        QVERIFY(db.updateInstallStatus(text, text));

        AppBriefInfo info = appInfo(text, text);
        info.brief_info = text;
        QVERIFY(db.replaceLocalOnTheShelvesAppInfos({info}, text));
        QVERIFY(db.updateRecords({{QStringLiteral("package_name"), text}},
                                 {{QStringLiteral("update_desc"), text}},
                                 QStringLiteral("LocalOnTheShelvesAPP")));
        AppBriefInfo back;
        db.selectLocalOnTheShelvesAppInfoByName(text, back);
        QCOMPARE(back.brief_info, text);
        QCOMPARE(back.update_desc, text);
        QList<QStringList> result;
        db.seleteRecords({QStringLiteral("packageid")}, {{QStringLiteral("package_name"), text}},
                         result, QStringLiteral("LocalOnTheShelvesAPP"));
        QCOMPARE(result, QList<QStringList>{QStringList{text}});

        AppstoreDbTestFile file(path);
        QCOMPARE(file.value(QStringLiteral("SELECT result FROM application_history")), text);
        QCOMPARE(file.value(QStringLiteral("SELECT app_status FROM app_install_status")), text);
        QCOMPARE(file.count(QStringLiteral("application_history")), 1);
        db.deleteApplicationHistoryInfo(QStringList{text});
        QCOMPARE(file.count(QStringLiteral("application_history")), 0);
        QVERIFY(db.deleteLocalOnTheShelvesAppInfo(text));
        QCOMPARE(file.count(QStringLiteral("LocalOnTheShelvesAPP")), 0);
    }
};

QTEST_GUILESS_MAIN(TestAppstoreDb)
#include "tst_appstoredb.moc"
