#pragma once

#include "common/channel_pkg.h"

#include <QMap>
#include <QString>

// What the package system says about one package: an archive file, an
// installed Debian package, an installed kapla application or the candidate
// of an apt repository. Each reader fills the fields it knows and leaves the
// others at their defaults.
struct Package_Info
{
    qint64 size = 0;          // download size of the repository candidate, bytes
    qint64 installedSize = 0; // KiB
    QString packageName;
    QString version;
    QString architecture;
    QString debPath; // the archive's path, or its file name in the repository
    QString maintainer;
    QString section;
    QString homepage;
    QString description;
    QString sha256;
    QString channel; // the "XB-channel" control field of an installed package
    QMap<QString, StoreService::_ChannelPkg> channelPkgs; // by channel name
};
