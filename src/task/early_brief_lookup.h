#pragma once

#include "common/app_brief_info.h"

#include <QHash>
#include <QMutex>
#include <QString>
#include <QThreadPool>
#include <QVector>

#include <future>

// The store's brief information of a package being installed, asked for
// while the install runs: the answer does not depend on the install, and
// waiting for it only after the install kept the client waiting for a
// round trip to the store before its final progress. Any thread may start
// or take a lookup.
class EarlyBriefLookup
{
public:
    using Infos = QVector<StoreService::AppBriefInfo>;

    EarlyBriefLookup();
    // Waits for the lookups still asking; each is bounded by the store
    // client's request time limit.
    ~EarlyBriefLookup();

    // A later start for the same package replaces the earlier lookup.
    void start(const QString &packageName);
    // The answer of the package's lookup, waited for if it still runs; a
    // package without one is asked for now. The lookup is used once.
    Infos take(const QString &packageName);
    // The package's lookup, if any, is no longer wanted.
    void drop(const QString &packageName);

private:
    static Infos ask(const QString &packageName);

    QThreadPool m_pool;
    QMutex m_mutex; // guards m_pending
    QHash<QString, std::shared_future<Infos>> m_pending;
};
