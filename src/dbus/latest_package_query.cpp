#include "latest_package_query.h"

#include "apt_utils/aptcache.h"
#include "common/daemon_log.h"
#include "common/package_info.h"
#include "service/service.h"
#include "utils/bus_argument_checks.h"
#include "utils/package_name_validator.h"

QStringList LatestPackageQuery::acceptedNames(const QStringList &packageNames)
{
    QStringList names;
    for (const QString &name : packageNames) {
        if (AppStore::PackageNameValidator::isValidPackageName(name) ||
            AppStore::PackageNameValidator::isValidKaplaId(name))
            names.append(name);
        else
            qCWarning(daemonLogCategory)
                << "left out of the store query:" << AppStore::BusArgumentChecks::loggable(name);
    }
    return names;
}

QList<StoreService::AppBriefInfo> LatestPackageQuery::fetch(const QStringList &packageNames)
{
    QList<StoreService::AppBriefInfo> records;
    // Raw reply texts the store client hands back; nothing reads them.
    QStringList replies;
    for (qsizetype first = 0; first < packageNames.size(); first += kBatchSize) {
        QStringList batch = packageNames.mid(first, kBatchSize);
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
