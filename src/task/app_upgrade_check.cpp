#include "task/app_upgrade_check.h"

#include "task/predownloadmanager.h"

// Skeleton: the checks are not built yet.

AppUpgradeCheck::AppUpgradeCheck()
    : QObject(nullptr)
{}

AppUpgradeCheck::~AppUpgradeCheck() = default;

void AppUpgradeCheck::start() {}

void AppUpgradeCheck::stop() {}

void AppUpgradeCheck::startLocalAppsUpgradeCheck() {}

bool AppUpgradeCheck::getCheckStatus()
{
    return checkRunning;
}

void AppUpgradeCheck::setFreeDownload(bool) {}

void AppUpgradeCheck::removePreDownloadTask(Apt_Task) {}

bool AppUpgradeCheck::isUpgradeNeeded(const StoreService::AppBriefInfo &)
{
    return false;
}

bool AppUpgradeCheck::isChannelUpgradeNeeded(const StoreService::AppBriefInfo &, QString &)
{
    return false;
}

void AppUpgradeCheck::setPreDownloadManager(PreDownloadManager *) {}

void AppUpgradeCheck::updateUpgradableCacheItem(QStringList) {}

void AppUpgradeCheck::removeUpgradableCacheItem(QString, QString) {}

void AppUpgradeCheck::onAppStoreClientUpgradeCheckSlot() {}

void AppUpgradeCheck::OnLocalAppsUpgradeCheckSlot() {}

void AppUpgradeCheck::onAptInstRmReceived(QString, bool) {}

void AppUpgradeCheck::getCacheData() {}

void AppUpgradeCheck::initUpgradableAppBriefInfos() {}

void AppUpgradeCheck::setBatchPause(int milliseconds)
{
    batchPauseMs = milliseconds;
}

void AppUpgradeCheck::setAptWaitStep(int milliseconds)
{
    aptWaitStepMs = milliseconds;
}

void AppUpgradeCheck::setAptWaitBounds(int startMilliseconds, int finishMilliseconds)
{
    aptStartWaitMs = startMilliseconds;
    aptFinishWaitMs = finishMilliseconds;
}
