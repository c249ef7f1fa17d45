#include "latest_package_query.h"

#include "apt_utils/aptcache.h"
#include "common/package_info.h"
#include "service/service.h"
#include "utils/bus_argument_checks.h"
#include "utils/package_name_validator.h"

#include <QThread>

QStringList LatestPackageQuery::acceptedNames(const QStringList &packageNames,
                                              const QString &sender)
{
    QStringList names;
    QStringList leftOut;
    for (const QString &name : packageNames) {
        if (AppStore::PackageNameValidator::isValidPackageName(name) ||
            AppStore::PackageNameValidator::isValidKaplaId(name))
            names.append(name);
        else
            leftOut.append(name);
    }
    AppStore::BusArgumentChecks::logLeftOut("store query names", leftOut, sender);
    return names;
}

QList<StoreService::AppBriefInfo> LatestPackageQuery::fetch(const QStringList &packageNames)
{
    QList<StoreService::AppBriefInfo> records;
    for (qsizetype first = 0; first < packageNames.size(); first += kBatchSize) {
        // A worker told to stop asks no further.
        if (QThread::currentThread()->isInterruptionRequested())
            break;
        QStringList batch = packageNames.mid(first, kBatchSize);
        // The raw reply text the store client hands back; nothing reads it,
        // and a long list's would add up.
        QStringList replies;
        const QVector<StoreService::AppBriefInfo> answers =
            Service::instance()->clientGetLocalPackagesInfo(batch, replies);
        for (StoreService::AppBriefInfo record : answers) {
            markInstalledChannel(record);
            records.append(record);
        }
    }
    return records;
}

void LatestPackageQuery::markInstalledChannel(StoreService::AppBriefInfo &record)
{
    // The server's name goes to the package tools only when it is one.
    if (!AppStore::PackageNameValidator::isValidPackageName(record.package_name) &&
        !AppStore::PackageNameValidator::isValidKaplaId(record.package_name))
        return;
    Package_Info installed;
    if (AptCache::getLocalPackageInfo(record.package_name, installed, 0))
        record.channelId = installed.channel;
}
