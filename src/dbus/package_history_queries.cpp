#include "package_history_queries.h"

#include "common/application_history_info.h"
#include "common/operation_codes.h"
#include "common/package_operation.h"
#include "database/appstoredb.h"

#include <QHash>

namespace AppStore {

QString PackageHistoryQueries::operationWord(const QString &code)
{
    static const QHash<QString, QString> words{
        {QStringLiteral("1"), QStringLiteral("install")},
        {QStringLiteral("2"), QStringLiteral("purge")},
        {QStringLiteral("3"), QStringLiteral("pause")},
        {QStringLiteral("4"), QStringLiteral("downloaderror")},
        {QStringLiteral("5"), QStringLiteral("installerror")},
        {QStringLiteral("6"), QStringLiteral("installing")},
        {QStringLiteral("7"), QStringLiteral("crashpause")},
    };
    return words.value(code, code);
}

QString PackageHistoryQueries::operationInfo(const QString &packageName)
{
    PackageOperation operation;
    AppstoreDb::instance()->selectApplicationHistoryInfoByName(packageName, operation);
    operation.operation = operationWord(operation.operation);
    return packageOperationToJsonString(operation);
}

QStringList PackageHistoryQueries::historyList()
{
    QStringList names, versions, paths, operations, times, contents, results, appNames, iconUrls,
        appSizes, spareOne, spareTwo, packageModes, channelData, channelIds, downloadLinks, sha256s,
        fileSizes, isSpecific, sessionIds, installModes;
    AppstoreDb::instance()->selectApplicationHistoryInfo(
        names, versions, paths, operations, times, contents, results, appNames, iconUrls, appSizes,
        spareOne, spareTwo, packageModes, channelData, channelIds, downloadLinks, sha256s,
        fileSizes, isSpecific, sessionIds, installModes);

    // The reader fills every list row by row; a short one would mean a
    // broken read, and nothing past it is trusted.
    qsizetype rows = names.size();
    for (const QStringList *column :
         {&versions, &paths, &operations, &times, &contents, &results, &appNames, &iconUrls,
          &appSizes, &packageModes, &channelData, &channelIds, &downloadLinks, &sha256s, &fileSizes,
          &isSpecific, &sessionIds, &installModes})
        rows = qMin(rows, column->size());

    QStringList list;
    for (qsizetype i = 0; i < rows; ++i) {
        if (operations.at(i) == OPERATION_PURGE)
            continue;
        ApplicationHistoryInfo info;
        info.packageName = names.at(i);
        info.packageVersion = versions.at(i);
        info.packagePath = paths.at(i);
        info.operation = operations.at(i);
        info.time = times.at(i);
        info.content = contents.at(i);
        info.result = results.at(i);
        info.appName = appNames.at(i);
        info.iconUrl = iconUrls.at(i);
        info.appSize = appSizes.at(i).toLongLong();
        info.packageMode = packageModes.at(i).toInt();
        info.channelData = channelData.at(i);
        info.channelId = channelIds.at(i);
        info.downloadLink = downloadLinks.at(i);
        info.sh256 = sha256s.at(i);
        info.packageSize = fileSizes.at(i).toLongLong();
        info.isSpecificPkg = isSpecific.at(i).toInt();
        info.pkgInstallMode = installModes.at(i).toInt();
        info.sessionId = sessionIds.at(i);
        list.append(applicationHistoryInfoToJsonString(info));
    }
    return list;
}

} // namespace AppStore
