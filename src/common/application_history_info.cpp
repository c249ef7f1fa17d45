#include "common/application_history_info.h"

#include <QJsonDocument>
#include <QJsonObject>

QString applicationHistoryInfoToJsonString(const ApplicationHistoryInfo &info)
{
    QJsonObject object;
    object.insert(QLatin1String("packageName"), info.packageName);
    object.insert(QLatin1String("packageVersion"), info.packageVersion);
    object.insert(QLatin1String("packagePath"), info.packagePath);
    object.insert(QLatin1String("operation"), info.operation);
    object.insert(QLatin1String("time"), info.time);
    object.insert(QLatin1String("content"), info.content);
    object.insert(QLatin1String("result"), info.result);
    object.insert(QLatin1String("appName"), info.appName);
    object.insert(QLatin1String("iconUrl"), info.iconUrl);
    object.insert(QLatin1String("appSize"), info.appSize);
    object.insert(QLatin1String("packageMode"), info.packageMode);
    object.insert(QLatin1String("channelData"), info.channelData);
    object.insert(QLatin1String("channelId"), info.channelId);
    object.insert(QLatin1String("downloadLink"), info.downloadLink);
    object.insert(QLatin1String("sh256"), info.sh256);
    object.insert(QLatin1String("packageSize"), info.packageSize);
    object.insert(QLatin1String("isSpecificPkg"), info.isSpecificPkg);
    object.insert(QLatin1String("pkgInstallMode"), info.pkgInstallMode);
    object.insert(QLatin1String("sessionId"), info.sessionId);
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}
