#include "common/channel_pkg.h"

#include "common/daemon_log.h"
#include "common/json_value_reader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

namespace StoreService {

void _ChannelPkg::parseJsonObject(const QJsonObject &object)
{
    if (object.contains(QLatin1String("pkgVer"))) {
        pkgVer = object.value(QLatin1String("pkgVer")).toString();
    }
    if (object.contains(QLatin1String("pkgChannel"))) {
        pkgChannel = object.value(QLatin1String("pkgChannel")).toString();
    }
    if (object.contains(QLatin1String("pkgDlUrl"))) {
        pkgDlUrl = object.value(QLatin1String("pkgDlUrl")).toString();
    }
    if (object.contains(QLatin1String("pkgSize"))) {
        pkgSize = JsonValueReader::toInt64(object.value(QLatin1String("pkgSize")));
    }
    if (object.contains(QLatin1String("pkgSha256"))) {
        pkgSha256 = object.value(QLatin1String("pkgSha256")).toString();
    }
}

QMap<QString, _ChannelPkg> _ChannelPkg::parseChannelPkgJsonStr(const QString &json)
{
    QMap<QString, _ChannelPkg> channelPkgs;
    if (json.trimmed().isEmpty()) {
        return channelPkgs;
    }

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isArray()) {
        qCWarning(daemonLogCategory)
            << "Parse ChannelPkgJsonStr failed:" << error.errorString() << json;
        return channelPkgs;
    }

    const QJsonArray array = document.array();
    for (const QJsonValue &element : array) {
        if (!element.isObject()) {
            continue;
        }
        _ChannelPkg channelPkg;
        channelPkg.parseJsonObject(element.toObject());
        channelPkgs.insert(channelPkg.pkgChannel, channelPkg);
    }
    return channelPkgs;
}

} // namespace StoreService
