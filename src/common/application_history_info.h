#pragma once

#include <QString>

// One row of the install history as the client receives it.
struct ApplicationHistoryInfo
{
    QString packageName;
    QString packageVersion;
    QString packagePath;
    QString operation;
    QString time;
    QString content;
    QString result;
    QString appName;
    QString iconUrl;
    qint64 appSize = 0;
    int packageMode = 0;
    QString channelData;
    QString channelId;
    QString downloadLink;
    QString sh256;
    qint64 packageSize = 0;
    int isSpecificPkg = 0;
    int pkgInstallMode = 1;
    QString sessionId;
};

QString applicationHistoryInfoToJsonString(const ApplicationHistoryInfo &info);
