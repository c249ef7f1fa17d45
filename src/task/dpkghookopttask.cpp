#include "dpkghookopttask.h"

#include "apt_utils/aptcache.h"
#include "common/daemon_log.h"
#include "common/operation_codes.h"
#include "database/appstoredb.h"
#include "database/OnTheShelvesAppTableManager.h"
#include "dbus/children_guard_account_interface.h"
#include "service/service.h"
#include "utils/bus_argument_checks.h"
#include "utils/package_name_validator.h"
#include "utils/utils.h"

#include <QDateTime>
#include <QVector>

using AppStore::Utils;

namespace {

// getLocalPackageInfo and the desktop-file queries: 0 asks both package
// systems, 2 only kapla.
constexpr int kAnyPackageMode = 0;
constexpr int kKaplaMode = 2;
// Operation words are short; anything longer is not the hook talking.
constexpr int kMaxOperationLength = 64;

const QString kStoreClient = QStringLiteral("velkor-app-store");
const QString kRemovedState = QStringLiteral("1");

QString now()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

// History states an outside install settles: the store's own attempt was
// paused or failed, yet the package is there now.
bool isUnfinishedOperation(const QString &operation)
{
    return operation == OPERATION_PAUSE || operation == OPERATION_DOWNLOAD_ERROR ||
           operation == OPERATION_INSTALL_ERROR;
}

} // namespace

DpkgHookOptTask::DpkgHookOptTask(const QString &packageName, const QString &version,
                                 const QString &operation)
    : m_packageName(packageName)
    , m_version(version)
    , m_operation(operation)
{
    // Nothing is ever delivered to it, so the pool deletes it when run()
    // returns, on the pool thread.
    setAutoDelete(true);
}

DpkgHookOptTask::~DpkgHookOptTask() = default;

bool DpkgHookOptTask::isAcceptable(const QString &packageName, const QString &version,
                                   const QString &operation)
{
    using AppStore::PackageNameValidator;
    const bool nameOk = PackageNameValidator::isValidArchQualifiedName(packageName) ||
                        PackageNameValidator::isValidKaplaId(packageName);
    return nameOk && PackageNameValidator::isValidVersion(version) &&
           AppStore::BusArgumentChecks::isPlainText(operation, kMaxOperationLength);
}

void DpkgHookOptTask::run()
{
    if (!isAcceptable(m_packageName, m_version, m_operation)) {
        AppStore::BusArgumentChecks::logRefused(Q_FUNC_INFO,
                                                {m_packageName, m_version, m_operation});
        return;
    }
    refreshCachedFacts();

    Package_Info info;
    if (AptCache::getLocalPackageInfo(m_packageName, info, kKaplaMode)) {
        qCDebug(daemonLogCategory).noquote()
            << Q_FUNC_INFO << m_packageName << "Kapla package existed, ignore...";
        return;
    }
    const bool installed = AptCache::getLocalPackageInfo(m_packageName, info, kAnyPackageMode);

    // What the hook sends beyond these two words ("upgrade", "configure",
    // "purge") is left alone.
    if (m_operation.startsWith(QLatin1String("install"))) {
        if (installed)
            handleInstall(info);
    } else if (m_operation.startsWith(QLatin1String("remove"))) {
        handleRemove();
    }
}

// A new dpkg or kapla runtime may change what the daemon asks of them.
void DpkgHookOptTask::refreshCachedFacts()
{
    if (m_packageName == QLatin1String("dpkg"))
        Utils::aptConfigVersion(true);
    else if (m_packageName == QLatin1String("kapla-bin"))
        Utils::isKaplaSupported(true);
}

void DpkgHookOptTask::handleInstall(const Package_Info &info)
{
    qCInfo(daemonLogCategory).noquote()
        << Q_FUNC_INFO << "Hook:" << m_packageName << m_version << m_operation;

    QStringList desktopFiles;
    if (AptCache::getPackageDesktopFiles(m_packageName, desktopFiles, kAnyPackageMode)) {
        qCDebug(daemonLogCategory).noquote() << Q_FUNC_INFO << m_packageName << desktopFiles;
        bool announced = false;
        if (!desktopFiles.isEmpty()) {
            announceInstall(info, desktopFiles);
            announced = true;
        }
        QVector<StoreService::AppBriefInfo> briefs;
        Service::instance()->getLocalPackagesInfo({m_packageName}, briefs);
        if (!briefs.isEmpty()) {
            const StoreService::AppBriefInfo brief = briefs.first();
            recordStoreListing(briefs);
            if (!announced)
                announceInstall(info, desktopFiles);
            if (!brief.package_name.isEmpty())
                updateHookInstallHistory(info, isUpToDate(info, brief));
        }
        if (m_packageName == kStoreClient)
            Service::instance()->setClientVersion(m_version);
    }
    emit sigRemoveUpdateCacheItem(m_packageName, m_version);
    emit sigAptInstRm(m_packageName, true);
}

void DpkgHookOptTask::handleRemove()
{
    qCInfo(daemonLogCategory).noquote()
        << Q_FUNC_INFO << "Hook:" << m_packageName << m_version << m_operation;
    AppstoreDb *db = AppstoreDb::instance();
    db->updateInstallStatus(m_packageName, kRemovedState);
    db->updateApplicationHistoryOperationByRemove(m_packageName);
    emit sigRemovePackageFromHook(m_packageName);
    emit sigRemoveUpdateCacheItem(m_packageName, QString());
    emit sigAptInstRm(m_packageName, false);
}

void DpkgHookOptTask::announceInstall(const Package_Info &info, const QStringList &desktopFiles)
{
    qCDebug(daemonLogCategory).noquote() << Q_FUNC_INFO << "emit sigInstallPackageFromHook"
                                         << m_packageName << info.version << info.channel;
    emit sigInstallPackageFromHook(m_packageName, info.version, QString::number(info.installedSize),
                                   desktopFiles, info.channel);
}

// The store knows the package: its listing row and the install state follow
// the outside install, under the role of the user at the machine.
void DpkgHookOptTask::recordStoreListing(const QList<StoreService::AppBriefInfo> &briefs)
{
    QString logname;
    Utils::getLogname(logname);
    const QString ownerRole = ChildrenGuardAccountInterface::instance()->getOwnerRole(logname);
    if (!OnTheShelvesAPPTableManager::instance()->insertTheShelvesAPPTableItemDatas(briefs,
                                                                                    ownerRole)) {
        qCWarning(daemonLogCategory).noquote()
            << Q_FUNC_INFO << "add local OnTheShelvesAPPTable error packagename:" << m_packageName;
    }
    writeInstallStatus(briefs.first(), ownerRole);
}

void DpkgHookOptTask::writeInstallStatus(const StoreService::AppBriefInfo &brief,
                                         const QString &ownerRole)
{
    QStringList debDesktopFiles;
    AptCache::getDebDesktopFiles(m_packageName, debDesktopFiles, kAnyPackageMode);
    const QString time = now();
    AppstoreDb::instance()->insertInstallStatus(
        m_packageName, brief.name, debDesktopFiles.join(QLatin1Char(',')),
        QString::number(brief.category_id), QStringLiteral("0"), ownerRole, time, time);
}

// Whether what is installed is at least what the store offers, so that a
// failed or paused store attempt of it can count as done.
bool DpkgHookOptTask::isUpToDate(const Package_Info &info,
                                 const StoreService::AppBriefInfo &brief) const
{
    if (info.channel.isEmpty()) {
        qCDebug(daemonLogCategory).noquote() << Q_FUNC_INFO << m_packageName << "no channel";
        qCDebug(daemonLogCategory).noquote()
            << Q_FUNC_INFO << m_packageName
            << "hook installed package version:" << brief.package_version;
        return Utils::compareVersion(brief.package_version, info.version) <= 0;
    }
    const auto own = info.channelPkgs.constFind(info.channel);
    if (own == info.channelPkgs.constEnd() || own->pkgVer.isEmpty()) {
        qCDebug(daemonLogCategory).noquote() << Q_FUNC_INFO << m_packageName << "channel empty";
        return true;
    }
    qCDebug(daemonLogCategory).noquote() << Q_FUNC_INFO << m_packageName << "compare channel";
    const QString storeVersion = brief.channelPkgMap.value(info.channel).pkgVer;
    return Utils::compareVersion(storeVersion, info.version) <= 0;
}

void DpkgHookOptTask::updateHookInstallHistory(const Package_Info &info, bool upToDate)
{
    ApplicationHistoryRow row;
    row.packageName = m_packageName;
    if (!AppstoreDb::instance()->selectApplicationHistoryInfoByName(
            m_packageName, row.version, row.path, row.operation, row.time, row.content, row.result,
            row.appName, row.iconUrl, row.appSize, row.externColumnOne, row.externColumnTwo,
            row.packageMode, row.channelData, row.channelId, row.downloadLink, row.sh256,
            row.fileSize, row.isSpecificPkg, row.sessionId, row.appType, row.ownerRole,
            row.pkgInstallMode))
        return;
    if (!upToDate || !isUnfinishedOperation(row.operation))
        return;
    row.time = now();
    row.result = QStringLiteral("1");
    row.path = Utils::cacheDir() + QStringLiteral("archives/");
    row.operation = OPERATION_INSTALL;
    row.appSize = QString::number(info.installedSize);
    row.version = info.version;
    AppstoreDb::instance()->updateApplicationHistoryInfo(row);
}
