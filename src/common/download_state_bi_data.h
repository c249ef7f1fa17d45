#pragma once

#include <QMetaType>
#include <QString>

// One download or install statistics event. Member names are the names under
// which the statistics sender transmits them; url and httpType describe the
// request of a stored report being sent again.
struct _DownloadStateBiData
{
    QString package_name;
    QString type;
    QString package_version;
    QString session_id;
    QString code;
    QString device_id;
    QString client_version;
    QString os;
    QString os_version;
    QString os_build;
    QString channel;
    QString uid;
    QString app_id;
    QString down_type;
    QString content = QStringLiteral("");
    QString url = QStringLiteral("");
    int httpType = 1; // HttpType: 1 GET, 2 POST
};

using DownloadStateBiData = _DownloadStateBiData;

Q_DECLARE_METATYPE(DownloadStateBiData)
