#pragma once

#include <QMetaType>
#include <QString>

namespace AppStore {

// The state of one package's operation as the client sees it. Member names
// are the JSON keys; operation holds a code of the history table.
struct PackageOperation
{
    QString packagename;
    QString name;
    QString operation;
    QString icon_url;
    QString totalSize;
    QString downloadedSize;
    QString channelData;
    QString channelId;
    QString downloadLink;
    QString pkgVer;
    int packagemode = 0;
    QString sh256;
    qint64 packageSize = 0;
    int isSpecificPkg = 0;
    int pkgInstallMode = 1;
    QString sessionId;
    QString appType;
    QString ownerRole;
};

} // namespace AppStore

Q_DECLARE_METATYPE(AppStore::PackageOperation)

QString packageOperationToJsonString(const AppStore::PackageOperation &operation);
