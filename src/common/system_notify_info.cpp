#include "common/system_notify_info.h"

#include <QJsonDocument>
#include <QJsonObject>

QString systemNotifyInfoToJsonString(const SystemNotifyInfo &info)
{
    QJsonObject object;
    object.insert(QLatin1String("opt"), info.opt);
    object.insert(QLatin1String("appName"), info.appName);
    object.insert(QLatin1String("packageName"), info.packageName);
    object.insert(QLatin1String("logname"), info.logname);
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}
