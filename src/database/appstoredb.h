#pragma once

#include "common/app_brief_info.h"
#include "common/application_history_row.h"
#include "common/download_state_bi_data.h"
#include "common/net_retry_data.h"
#include "common/operation_codes.h"
#include "common/package_operation.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

// Conditions and column updates handed to the generic record operations:
// column name to text.
using ParamStringMap = QMap<QString, QString>;

// The daemon's store of lasting state, appstore.db: install history, the
// settings row, the local copy of the published-application list, statistics
// reports waiting to be sent again, small key/value flags and per-package
// install state.
//
// Any thread may call any operation: each one holds the object's mutex for
// all of its database work, so the read and write of an upsert form one step.
// Values always travel as bound parameters; table and column names that
// come from callers are checked against the real schema first.
class AppstoreDb : public QObject
{
    Q_OBJECT
public:
    // The process-wide object on the file databasePath(), created on first use.
    static AppstoreDb *instance();

    // Moves the process-wide database elsewhere; only effective before the
    // first instance() call. The default is "appstore.db" in the state directory.
    static void setDatabasePath(const QString &path);
    static QString databasePath();

    // Opens databasePath(), or the given file, and creates the tables.
    explicit AppstoreDb(QObject *parent = nullptr);
    explicit AppstoreDb(const QString &path, QObject *parent = nullptr);
    ~AppstoreDb() override;

    // Replaces the rows of the records' package names by the records, in one
    // transaction: when anything fails nothing changes and the result is false.
    bool replaceLocalOnTheShelvesAppInfos(const QList<StoreService::AppBriefInfo> &packageInfoList,
                                          const QString &accountType = QString());

    // Writes the package's row: inserts it, or updates the columns whose
    // text is not blank. A blank package name writes nothing.
    void updateApplicationHistoryInfo(const ApplicationHistoryRow &row);

public Q_SLOTS:
    void initApplicationHistoryTable();

    void deleteApplicationHistoryInfo(const QStringList &packageNameList);
    void deleteApplicationHistoryInfo(const QString &packageName);
    void selectApplicationHistoryInfo(
        QStringList &packageNameList, QStringList &versionList, QStringList &pathList,
        QStringList &operationList, QStringList &timeList, QStringList &contentList,
        QStringList &resultList, QStringList &appNameList, QStringList &iconUrlList,
        QStringList &appSizeList, QStringList &externColumnOneList,
        QStringList &externColumnTwoList, QStringList &packageModeList,
        QStringList &channelDataList, QStringList &channelIdList, QStringList &downloadLinkList,
        QStringList &sh256List, QStringList &fileSizeList, QStringList &isSpecificPkgList,
        QStringList &sessionIdList, QStringList &pkgInstallModeList);
    bool selectApplicationHistoryInfoByOperation(
        const QString &iOperation, QStringList &packageNameList, QStringList &versionList,
        QStringList &pathList, QStringList &operationList, QStringList &timeList,
        QStringList &contentList, QStringList &resultList, QStringList &appNameList,
        QStringList &iconUrlList, QStringList &appSizeList, QStringList &externColumnOneList,
        QStringList &externColumnTwoList, QStringList &packageModeList,
        QStringList &channelDataList, QStringList &channelIdList, QStringList &downloadLinkList,
        QStringList &sh256List, QStringList &fileSizeList, QStringList &isSpecificPkgList,
        QStringList &sessionIdList, QStringList &pkgInstallModeList);
    bool selectApplicationHistoryInfoByName(
        const QString &packageName, QString &version, QString &path, QString &operation,
        QString &time, QString &content, QString &result, QString &appName, QString &iconUrl,
        QString &appSize, QString &externColumnOne, QString &externColumnTwo, QString &packageMode,
        QString &channelData, QString &channelId, QString &downloadLink, QString &sh256,
        QString &fileSize, QString &isSpecificPkg, QString &sessionId, QString &appType,
        QString &ownerRole, QString &pkgInstallMode);
    bool selectApplicationHistoryInfoByName(const QString &packageName,
                                            AppStore::PackageOperation &operation);
    void updateApplicationHistoryInfo(
        const QString &packageName, const QString &version, const QString &path,
        const QString &operation, const QString &time, const QString &content,
        const QString &result, const QString &appName, const QString &iconUrl,
        const QString &appSize, const QString &externColumnOne, const QString &externColumnTwo,
        const QString &packageMode, const QString &channelData, const QString &channelId,
        const QString &downloadLink, const QString &sh256, const QString &fileSize,
        const QString &isSpecificPkg, const QString &sessionId,
        const QString &appType = QStringLiteral("-1"),
        const QString &ownerRole = QStringLiteral("-1"),
        const QString &pkgInstallMode = QStringLiteral("1"));
    void updatePackagesOperations(const QStringList &operations, const QString &targetOperation);
    void updateApplicationHistoryResult(const QString &packageName, const QString &target);
    void updateApplicationHistoryOperationByRemove(const QString &packageName);
    void clearApplicationHistoryTable();
    void updateApplicationHistoryInfoByUpgradeCheck(const QString &packageName,
                                                    const QString &version);

    bool selectSettingByColumnName(const QString &columnName, QString &value);
    // True only when the value was stored: callers apply and announce a
    // setting after that, never before.
    bool updateSettingByColumnName(const QString &columnName, QString &value);

    bool deleteLocalOnTheShelvesAppInfo(const QString &packagename);
    bool deleteLocalOnTheShelvesAppInfos(const QStringList &packagenameList);
    bool insertLocalOnTheShelvesAppInfo(const StoreService::AppBriefInfo &packageInfo,
                                        const QString &accountType = QString());
    bool insertLocalOnTheShelvesAppInfos(const QList<StoreService::AppBriefInfo> &packageInfoList,
                                         const QString &accountType = QString());
    void selectLocalOnTheShelvesAppInfoByName(const QString &packagename,
                                              StoreService::AppBriefInfo &packageInfo);
    void selectLocalOnTheShelvesAppInfos(QList<StoreService::AppBriefInfo> &infoList);

    void seleteRecords(const QStringList &keyList, const ParamStringMap &where,
                       QList<QStringList> &resultList, const QString &table_name);
    bool updateRecords(const ParamStringMap &where, const ParamStringMap &data,
                       const QString &table_name);
    void clearTable(const QString &table_name);
    bool isExisted(const QString &tableName, const QString &columnName);
    void addNewColumn(const QString &tableName, const QString &columnName,
                      const QString &defaultValue = QString());
    void addAllNewColumn();

    void
    getBiDataFromApplicationHistoryByOperations(QList<DownloadStateBiData> &biDataVector,
                                                const QString &operationStr = OPERATION_INSTALLING);

    uint getCountReportBi();
    void selectReportBiInfo(const QString &type, QList<NetRetryData> &biDataVector);
    bool insertReportBiInfo(const NetRetryData &reportBiTable);
    bool updateReportBiInfo(quint32 id);
    void deleteReportBiInfo(quint32 id);

    bool insertKeyValueInfo(const QString &key, const QString &value);
    bool selectKeyValueInfo(const QString &key, QString &value);
    bool updateKeyValueInfo(const QString &key, const QString &value);

    bool insertInstallStatus(const QString &packageName, const QString &appName,
                             const QString &desktop, const QString &appType,
                             const QString &appState, const QString &ownerRole,
                             const QString &createTime, const QString &updateTime);
    bool updateInstallStatus(const QString &packageName, const QString &state);

private:
    struct Private;
    std::unique_ptr<Private> d;

    bool initDb();
    void initSettingTable();
};
