#pragma once

#include <QJsonObject>
#include <QMap>
#include <QString>

namespace StoreService {

// One downloadable package of an application in one channel.
struct _ChannelPkg
{
    QString pkgVer;
    QString pkgChannel;
    QString pkgDlUrl;
    qint64 pkgSize = 0;
    QString pkgSha256;

    // Replaces only the members whose keys the object holds.
    void parseJsonObject(const QJsonObject &object);

    // Reads a JSON array of channel packages, keyed by channel; a later entry
    // of the same channel wins. Text that is not an array gives an empty map.
    static QMap<QString, _ChannelPkg> parseChannelPkgJsonStr(const QString &json);
};

} // namespace StoreService
