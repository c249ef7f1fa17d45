#include "task/early_brief_lookup.h"

#include "service/service.h"

#include <QMutexLocker>

#include <memory>

namespace {

// One install runs at a time; a second thread only covers a lookup still
// asking after its install ended.
constexpr int kLookupThreads = 2;

} // namespace

EarlyBriefLookup::EarlyBriefLookup()
{
    m_pool.setObjectName(QStringLiteral("EarlyBriefLookup"));
    m_pool.setMaxThreadCount(kLookupThreads);
}

EarlyBriefLookup::~EarlyBriefLookup()
{
    m_pool.waitForDone();
}

EarlyBriefLookup::Infos EarlyBriefLookup::ask(const QString &packageName)
{
    Infos infos;
    Service::instance()->getLocalPackagesInfo({packageName}, infos);
    return infos;
}

void EarlyBriefLookup::start(const QString &packageName)
{
    auto promise = std::make_shared<std::promise<Infos>>();
    {
        QMutexLocker locker(&m_mutex);
        m_pending.insert(packageName, promise->get_future().share());
    }
    m_pool.start([promise, packageName] { promise->set_value(ask(packageName)); });
}

EarlyBriefLookup::Infos EarlyBriefLookup::take(const QString &packageName)
{
    std::shared_future<Infos> pending;
    {
        QMutexLocker locker(&m_mutex);
        pending = m_pending.take(packageName);
    }
    return pending.valid() ? pending.get() : ask(packageName);
}

void EarlyBriefLookup::drop(const QString &packageName)
{
    QMutexLocker locker(&m_mutex);
    m_pending.remove(packageName);
}
