#pragma once

#include "common/channel_pkg.h"

#include <QMap>
#include <QMetaType>
#include <QString>
#include <QStringList>

// One package operation (install, upgrade or remove of one package). Every
// hand-over between threads is a copy; the texts, the list and the map are
// implicitly shared, so copies stay cheap.
struct _Apt_Task
{
    int taskType = 0; // 0 install or upgrade, 1 remove
    int isStarted = 0;
    QString sourceId;
    QString iconUrl;
    QString appName;
    QString packageName;
    QString version;
    QString spareText1;
    int packageMode = 0; // 1 marks a wine application
    QString spareText2;
    quint32 uid = 0;
    QString loginName;
    int operation = 0; // 1 install, 3 upgrade; 0 until a creator sets it
    QStringList extraPackages;
    qint64 downloadedSize = 0;
    qint64 totalSize = 0;
    bool needRedownload = true;
    QString downloadLink;
    QString channelId;
    QString channelData;
    QString sha256;
    QMap<QString, StoreService::_ChannelPkg> channelPkgMap;
    bool isTarPkg = false;
    int isSpecificPkg = 0;
    int pkgInstallMode = 1; // 1 Debian package, 2 kapla package
    QString sessionId;
    QString appType = QStringLiteral("-1");
    QString ownerRole = QStringLiteral("-1");
    bool isFirstInstall = true;
    bool agreeSign = false;
};

using Apt_Task = _Apt_Task;

Q_DECLARE_METATYPE(Apt_Task)

// Registers the names "Apt_Task" and "Apt_Task&", which queued connections
// and queued invocations by method name look up.
void registerAptTaskMetaType();
