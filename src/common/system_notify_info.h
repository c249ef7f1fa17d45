#pragma once

#include <QString>

// Payload of a system notification that the client shows to logname.
struct SystemNotifyInfo
{
    int opt = 0;
    QString appName;
    QString packageName;
    QString logname;
};

QString systemNotifyInfoToJsonString(const SystemNotifyInfo &info);
