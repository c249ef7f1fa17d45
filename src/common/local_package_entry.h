#pragma once

#include "common/channel_pkg.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// One installed application as the installed-package lists hold it.
struct LocalPackageEntry
{
    qint64 installedSize = 0; // KiB
    int packageMode = 0;
    QString packageName;
    QString version;
    QString architecture;
    QString appName;
    QStringList desktopFiles; // absolute paths
    QString channel;          // the "XB-channel" control field; empty for kapla
    QMap<QString, StoreService::_ChannelPkg> channelPkgs; // by channel name
};

// In the order the reader produced the entries.
using LocalPackageList = QList<LocalPackageEntry>;
