#include "app_brief_info_interface.h"

#include "service.h"

#include "apt_utils/aptcache.h"
#include "common/daemon_log.h"
#include "common/package_info.h"
#include "utils/worker_thread.h"

#include <QMetaType>
#include <QThread>
#include <QVector>

AppBriefInfoInterface *AppBriefInfoInterface::instance()
{
    return AppStore::LazySingleton<AppBriefInfoInterface>::instance();
}

AppBriefInfoInterface *AppBriefInfoInterface::existingInstance()
{
    return AppStore::LazySingleton<AppBriefInfoInterface>::existingInstance();
}

AppBriefInfoInterface::AppBriefInfoInterface()
    : QObject(nullptr)
{
    qRegisterMetaType<StoreService::AppBriefInfo>("StoreService::AppBriefInfo");
    startThread();
}

AppBriefInfoInterface::~AppBriefInfoInterface()
{
    if (thread)
        thread->deleteLater();
    thread = nullptr;
}

void AppBriefInfoInterface::startThread()
{
    if (!thread)
        thread = AppStore::startWorkerThread(this, "AppBriefInfo");
}

void AppBriefInfoInterface::stopThread()
{
    AppStore::stopWorkerThread(thread);
}

quint64 AppBriefInfoInterface::getAppBriefInfo(const QString &id, const QString &packageName,
                                               const QString &channelKey)
{
    const quint64 count = ++requestCounter;
    QMetaObject::invokeMethod(this, "slotGetAppBriefInfo", Qt::QueuedConnection,
                              Q_ARG(qulonglong, count), Q_ARG(QString, id),
                              Q_ARG(QString, packageName), Q_ARG(QString, channelKey));
    return count;
}

void AppBriefInfoInterface::slotGetAppBriefInfo(qulonglong replyCount, QString id,
                                                QString packageName, QString channelKey)
{
    Q_UNUSED(replyCount)
    pending.append({id, packageName, channelKey});
    if (busy)
        return;
    busy = true;
    while (!pending.isEmpty())
        lookUp(pending.takeFirst());
    busy = false;
}

void AppBriefInfoInterface::lookUp(const Request &request)
{
    QVector<StoreService::AppBriefInfo> infos;
    if (!Service::instance()->getLocalPackagesInfo({request.packageName}, infos)) {
        Q_EMIT sigGetAppBriefInfoFailed(request.id, request.packageName);
        return;
    }
    // Only the record of the package asked for: a reply that names another
    // package must not decide what is installed under this name.
    const auto record = std::find_if(infos.cbegin(), infos.cend(), [&](const auto &info) {
        return info.package_name == request.packageName;
    });
    if (record == infos.cend()) {
        qCWarning(daemonLogCategory) << "The store has no record of" << request.packageName;
        Q_EMIT sigGetAppBriefInfoFailed(request.id, request.packageName);
        return;
    }
    StoreService::AppBriefInfo info = *record;
    Package_Info local;
    if (AptCache::getLocalPackageInfo(request.packageName, local, 0))
        info.channelId = local.channel;
    takeChannelChoice(info, request.channelKey);
    Q_EMIT sigGetAppBriefInfoFinished(request.id, info);
}

void AppBriefInfoInterface::takeChannelChoice(StoreService::AppBriefInfo &info,
                                              const QString &channelKey)
{
    // The user's pick only selects among the store's own entries: link,
    // checksum and size stay the store's. A channel the store offers no file
    // under leaves the store's own choice.
    if (!channelKey.isEmpty() && !info.channelPkgMap.value(channelKey).pkgDlUrl.isEmpty())
        info.channelId = channelKey;
}
