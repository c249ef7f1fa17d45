#pragma once

#include "common/app_brief_info.h"

#include <QList>
#include <QStringList>

// The store server's current records of a set of packages, as the client
// asks for them: at most kBatchSize names go into one store query, the
// queries run one after another on the calling thread (none once that
// thread is asked to stop), and each record carries the channel of the
// locally installed package.
class LatestPackageQuery
{
public:
    static constexpr int kBatchSize = 50;

    LatestPackageQuery() = delete;

    // The names a store query may carry (package names or kapla ids), in
    // their order; the others are left out with a warning, within the
    // budget of the bus caller sender.
    static QStringList acceptedNames(const QStringList &packageNames, const QString &sender);
    // The records of every batch the server answered, in the order of its
    // answers; a batch without answer adds nothing.
    static QList<StoreService::AppBriefInfo> fetch(const QStringList &packageNames);

private:
    static void markInstalledChannel(StoreService::AppBriefInfo &record);
};
