#pragma once

#include <QString>

// One row of the application_history table as the daemon writes it, every
// column as the text stored. ApplicationHistoryInfo is what the client reads
// back; it leaves out four of these columns and holds numbers as numbers.
//
// A blank text leaves the stored column as it was when the package has a row
// already; a new row stores it as it is.
struct ApplicationHistoryRow
{
    QString packageName;
    QString version;
    QString path;
    QString operation;
    QString time;
    QString content; // bytes downloaded so far
    QString result;
    QString appName;
    QString iconUrl;
    QString appSize;
    QString externColumnOne; // output of a failed download
    QString externColumnTwo; // error text of a failed download
    QString packageMode;
    QString channelData;
    QString channelId;
    QString downloadLink;
    QString sh256;
    QString fileSize;
    QString isSpecificPkg;
    QString sessionId;
    QString appType = QStringLiteral("-1");
    QString ownerRole = QStringLiteral("-1");
    QString pkgInstallMode = QStringLiteral("1");
};
