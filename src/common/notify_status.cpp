#include "common/notify_status.h"

#include <QJsonDocument>
#include <QJsonObject>

QString notifyStatusToJsonString(const AppStore::NotifyStatus &status)
{
    QJsonObject object;
    object.insert(QLatin1String("code"), status.code);
    object.insert(QLatin1String("output"), status.output);
    object.insert(QLatin1String("error"), status.error);
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}
