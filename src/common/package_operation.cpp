#include "common/package_operation.h"

#include <QJsonDocument>
#include <QJsonObject>

QString packageOperationToJsonString(const AppStore::PackageOperation &operation)
{
    QJsonObject object;
    object.insert(QLatin1String("packagename"), operation.packagename);
    object.insert(QLatin1String("name"), operation.name);
    object.insert(QLatin1String("operation"), operation.operation);
    object.insert(QLatin1String("icon_url"), operation.icon_url);
    // The client reads both sizes as strings.
    object.insert(QLatin1String("totalSize"), operation.totalSize);
    object.insert(QLatin1String("downloadedSize"), operation.downloadedSize);
    object.insert(QLatin1String("channelData"), operation.channelData);
    object.insert(QLatin1String("channelId"), operation.channelId);
    object.insert(QLatin1String("downloadLink"), operation.downloadLink);
    object.insert(QLatin1String("packagemode"), operation.packagemode);
    object.insert(QLatin1String("pkgVer"), operation.pkgVer);
    object.insert(QLatin1String("sh256"), operation.sh256);
    object.insert(QLatin1String("packageSize"), operation.packageSize);
    object.insert(QLatin1String("isSpecificPkg"), operation.isSpecificPkg);
    object.insert(QLatin1String("pkgInstallMode"), operation.pkgInstallMode);
    object.insert(QLatin1String("sessionId"), operation.sessionId);
    object.insert(QLatin1String("appType"), operation.appType);
    object.insert(QLatin1String("ownerRole"), operation.ownerRole);
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}
