#include "common/application_history_info.h"
#include "common/common.h"
#include "common/notify_status.h"
#include "common/package_operation.h"
#include "common/system_notify_info.h"
#include "dirty_construct.h"

#include <QtTest>

class TestStatusRecords : public QObject
{
    Q_OBJECT

private slots:
    void packageOperation()
    {
        const DirtyConstructed<AppStore::PackageOperation> empty;
        QCOMPARE(
            packageOperationToJsonString(*empty),
            QStringLiteral(
                R"({"appType":"","channelData":"","channelId":"","downloadLink":"",)"
                R"("downloadedSize":"","icon_url":"","isSpecificPkg":0,"name":"","operation":"",)"
                R"("ownerRole":"","packageSize":0,"packagemode":0,"packagename":"",)"
                R"("pkgInstallMode":1,"pkgVer":"","sessionId":"","sh256":"","totalSize":""})"));

        AppStore::PackageOperation operation;
        operation.packagename = QStringLiteral("PACKAGENAME");
        operation.name = QStringLiteral("NAME");
        operation.operation = QStringLiteral("OPERATION");
        operation.icon_url = QStringLiteral("ICON_URL");
        operation.totalSize = QStringLiteral("TOTALSIZE");
        operation.downloadedSize = QStringLiteral("DOWNLOADEDSIZE");
        operation.channelData = QStringLiteral("CHANNELDATA");
        operation.channelId = QStringLiteral("CHANNELID");
        operation.downloadLink = QStringLiteral("DOWNLOADLINK");
        operation.pkgVer = QStringLiteral("PKGVER");
        operation.packagemode = 2;
        operation.sh256 = QStringLiteral("SH256");
        operation.packageSize = 5000000000LL;
        operation.isSpecificPkg = 1;
        operation.pkgInstallMode = 2;
        operation.sessionId = QStringLiteral("SESSIONID");
        operation.appType = QStringLiteral("APPTYPE");
        operation.ownerRole = QStringLiteral("OWNERROLE");
        QCOMPARE(packageOperationToJsonString(operation),
                 QStringLiteral(
                     R"({"appType":"APPTYPE","channelData":"CHANNELDATA","channelId":"CHANNELID",)"
                     R"("downloadLink":"DOWNLOADLINK","downloadedSize":"DOWNLOADEDSIZE",)"
                     R"("icon_url":"ICON_URL","isSpecificPkg":1,"name":"NAME",)"
                     R"("operation":"OPERATION","ownerRole":"OWNERROLE","packageSize":5000000000,)"
                     R"("packagemode":2,"packagename":"PACKAGENAME","pkgInstallMode":2,)"
                     R"("pkgVer":"PKGVER","sessionId":"SESSIONID","sh256":"SH256",)"
                     R"("totalSize":"TOTALSIZE"})"));
    }

    void notifyStatus()
    {
        const DirtyConstructed<AppStore::NotifyStatus> empty;
        QCOMPARE(notifyStatusToJsonString(*empty),
                 QStringLiteral(R"({"code":0,"error":"","output":""})"));

        AppStore::NotifyStatus status;
        status.code = 503;
        status.output = QStringLiteral("line 1\nline \"2\"");
        status.error = QStringLiteral("ERR");
        QCOMPARE(notifyStatusToJsonString(status),
                 QStringLiteral("{\"code\":503,\"error\":\"ERR\","
                                "\"output\":\"line 1\\nline \\\"2\\\"\"}"));
    }

    void systemNotifyInfo()
    {
        const DirtyConstructed<SystemNotifyInfo> empty;
        QCOMPARE(empty->opt, 0);
        QCOMPARE(systemNotifyInfoToJsonString(*empty),
                 QStringLiteral(R"({"appName":"","logname":"","opt":0,"packageName":""})"));

        SystemNotifyInfo info;
        info.opt = 4;
        info.appName = QStringLiteral("Editor");
        info.packageName = QStringLiteral("demo-editor");
        info.logname = QStringLiteral("alice");
        QCOMPARE(
            systemNotifyInfoToJsonString(info),
            QStringLiteral(
                R"({"appName":"Editor","logname":"alice","opt":4,"packageName":"demo-editor"})"));
    }

    void applicationHistoryInfo()
    {
        const DirtyConstructed<ApplicationHistoryInfo> empty;
        QCOMPARE(applicationHistoryInfoToJsonString(*empty),
                 QStringLiteral(
                     R"({"appName":"","appSize":0,"channelData":"","channelId":"","content":"",)"
                     R"("downloadLink":"","iconUrl":"","isSpecificPkg":0,"operation":"",)"
                     R"("packageMode":0,"packageName":"","packagePath":"","packageSize":0,)"
                     R"("packageVersion":"","pkgInstallMode":1,"result":"","sessionId":"",)"
                     R"("sh256":"","time":""})"));

        ApplicationHistoryInfo info;
        info.packageName = QStringLiteral("PACKAGENAME");
        info.packageVersion = QStringLiteral("PACKAGEVERSION");
        info.packagePath = QStringLiteral("PACKAGEPATH");
        info.operation = QStringLiteral("OPERATION");
        info.time = QStringLiteral("TIME");
        info.content = QStringLiteral("CONTENT");
        info.result = QStringLiteral("RESULT");
        info.appName = QStringLiteral("APPNAME");
        info.iconUrl = QStringLiteral("ICONURL");
        // 2^53 + 1 is the first integer a double cannot hold.
        info.appSize = 9007199254740993LL;
        info.packageMode = 1;
        info.channelData = QStringLiteral("CHANNELDATA");
        info.channelId = QStringLiteral("CHANNELID");
        info.downloadLink = QStringLiteral("DOWNLOADLINK");
        info.sh256 = QStringLiteral("SH256");
        info.packageSize = 4294967297LL;
        info.isSpecificPkg = 1;
        info.pkgInstallMode = 2;
        info.sessionId = QStringLiteral("SESSIONID");
        QCOMPARE(
            applicationHistoryInfoToJsonString(info),
            QStringLiteral(
                R"({"appName":"APPNAME","appSize":9007199254740993,"channelData":"CHANNELDATA",)"
                R"("channelId":"CHANNELID","content":"CONTENT","downloadLink":"DOWNLOADLINK",)"
                R"("iconUrl":"ICONURL","isSpecificPkg":1,"operation":"OPERATION",)"
                R"("packageMode":1,"packageName":"PACKAGENAME","packagePath":"PACKAGEPATH",)"
                R"("packageSize":4294967297,"packageVersion":"PACKAGEVERSION",)"
                R"("pkgInstallMode":2,"result":"RESULT","sessionId":"SESSIONID",)"
                R"("sh256":"SH256","time":"TIME"})"));
    }

    void derivedPathsJoinWithOneSlash()
    {
        QCOMPARE(PRIVATE_LISTS_DIR, QStringLiteral("/var/lib/tarnwick-daemon/lists/"));
        QCOMPARE(PRIVATE_SOURCES_PARTS_DIR,
                 QStringLiteral("/var/lib/tarnwick-daemon/sources.list.d/"));
        QCOMPARE(PRIVATE_SOURCES_LIST, QStringLiteral("/var/lib/tarnwick-daemon/sources.list"));
        QCOMPARE(SYSTEM_SOURCES_LIST, QStringLiteral("/etc/apt/sources.list"));
        QCOMPARE(SYSTEM_SOURCES_PARTS_DIR, QStringLiteral("/etc/apt/sources.list.d/"));
    }
};

QTEST_GUILESS_MAIN(TestStatusRecords)
#include "tst_status_records.moc"
