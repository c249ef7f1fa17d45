#include "install_request_builder.h"

#include "utils/bus_argument_checks.h"
#include "utils/package_name_validator.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace AppStore {

namespace {

const QString kChildrenGuardId = QStringLiteral("orvex-children-guard");
const QString kStoreId = QStringLiteral("velkor-app-store");
const QString kSilentUpgradeId = QStringLiteral("SilentUpgrade");
const QString kStoreClientPackage = QStringLiteral("tarnwick-client");

constexpr int kMaxChannelPkgsBytes = 1024 * 1024;
constexpr int kMaxChannelKeyLength = 64;

// A size sent as text; not a number gives 0.
qint64 sizeOf(const QString &text)
{
    bool ok = false;
    const qint64 size = text.trimmed().toLongLong(&ok);
    return ok && size > 0 ? size : 0;
}

bool takesChannelLink(const StoreService::AppBriefInfo &info)
{
    return info.pkgInstallMode == 1 && !info.channelPkgMap.value(info.channelId).pkgDlUrl.isEmpty();
}

bool isPackageNameOf(InstallRequestBuilder::Kind kind, const QString &name)
{
    if (kind == InstallRequestBuilder::Kind::Kapla)
        return PackageNameValidator::isValidKaplaId(name);
    return PackageNameValidator::isValidPackageName(name);
}

bool hasCommonArguments(const InstallRequestBuilder::Request &r)
{
    return !r.id.isEmpty() && BusArgumentChecks::isPlainText(r.id, 256) &&
           !r.packageName.isEmpty() && !r.version.isEmpty() &&
           PackageNameValidator::isValidVersion(r.version) && !r.name.isEmpty() &&
           BusArgumentChecks::isPlainText(r.name) && BusArgumentChecks::isPlainText(r.iconUrl) &&
           static_cast<unsigned>(r.packageMode) <= 3u;
}

bool hasOwnArguments(const InstallRequestBuilder::Request &r)
{
    switch (r.kind) {
    case InstallRequestBuilder::Kind::Specific:
        // The store's link and checksum decide what root installs.
        return BusArgumentChecks::isDownloadUrl(r.packageUrl) &&
               BusArgumentChecks::isSha256(r.sha256) && !r.size.isEmpty() &&
               BusArgumentChecks::isPlainText(r.size, 32);
    case InstallRequestBuilder::Kind::Channel:
        return !r.channelPkgs.isEmpty() && r.channelPkgs.toUtf8().size() <= kMaxChannelPkgsBytes &&
               !r.channelId.isEmpty() && BusArgumentChecks::isPlainText(r.channelId, 256);
    case InstallRequestBuilder::Kind::Kapla:
        return BusArgumentChecks::isPlainText(r.size, 32);
    case InstallRequestBuilder::Kind::Plain:
    case InstallRequestBuilder::Kind::Upgrade:
        return true;
    }
    return false;
}

} // namespace

bool InstallRequestBuilder::requestFor(const QString &id, const StoreService::AppBriefInfo &info,
                                       Request &request)
{
    request = Request();
    request.id = id;
    request.packageName = info.package_name;
    request.version = info.package_version;
    request.name = info.name;
    request.packageMode = info.package_mode;
    request.iconUrl = info.icon_url;
    request.appType = info.category_id;
    request.size = QString::number(info.file_size);

    if (info.pkgInstallMode == 2) {
        request.kind = Kind::Kapla;
        return true;
    }
    if (info.pkgInstallMode != 1)
        return false;
    if (takesChannelLink(info)) {
        request.kind = Kind::Channel;
        request.channelPkgs = info.channelPkgs;
        request.channelId = info.channelId;
    } else if (info.isSpecificPkg == 1) {
        request.kind = Kind::Specific;
        request.packageUrl = info.app_package_url;
        request.sha256 = info.sha256;
    } else if (info.isSpecificPkg == 2) {
        request.kind = Kind::Kapla;
    } else {
        request.kind = Kind::Plain;
    }
    return true;
}

bool InstallRequestBuilder::namesDownload(const StoreService::AppBriefInfo &info)
{
    return info.isSpecificPkg == 1 || takesChannelLink(info);
}

QString InstallRequestBuilder::channelKey(const StoreService::AppBriefInfo &info)
{
    return BusArgumentChecks::isPlainText(info.channelId, kMaxChannelKeyLength) ? info.channelId
                                                                                : QString();
}

QString InstallRequestBuilder::refusal(const Request &request)
{
    if (!hasCommonArguments(request) || !hasOwnArguments(request))
        return QStringLiteral("Params Invalid");
    if (!isPackageNameOf(request.kind, request.packageName))
        return QStringLiteral("Invalid PackageName:");
    return QString();
}

Apt_Task InstallRequestBuilder::task(const Request &request)
{
    Apt_Task task;
    task.taskType = 0;
    task.isStarted = 0;
    task.sourceId = rewrittenSourceId(request.id);
    task.packageName = request.packageName;
    task.version = request.version;
    task.appName = request.name;
    task.iconUrl = request.iconUrl;
    if (request.kind == Kind::Upgrade) {
        task.operation = 3;
    } else {
        task.operation = 1;
        task.appType = QString::number(request.appType);
    }
    if (request.packageMode >= 0 && request.packageMode <= 2)
        task.packageMode = request.packageMode;
    if (request.packageName == kStoreId && request.id != kSilentUpgradeId)
        task.extraPackages.append(kStoreClientPackage);

    switch (request.kind) {
    case Kind::Kapla:
        task.pkgInstallMode = 2;
        task.totalSize = sizeOf(request.size);
        break;
    case Kind::Specific:
        task.isSpecificPkg = 1;
        task.downloadLink = request.packageUrl;
        task.sha256 = request.sha256;
        task.totalSize = sizeOf(request.size);
        break;
    case Kind::Plain:
    case Kind::Channel:
    case Kind::Upgrade:
        break;
    }
    return task;
}

bool InstallRequestBuilder::parseChannelPkgsJson(const QString &text,
                                                 QMap<QString, StoreService::_ChannelPkg> *out)
{
    if (text.isEmpty())
        return false;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
    if (!document.isArray())
        return false;
    const QJsonArray array = document.array();
    for (const QJsonValue &element : array) {
        if (!element.isObject())
            continue;
        StoreService::_ChannelPkg pkg;
        pkg.parseJsonObject(element.toObject());
        out->insert(pkg.pkgChannel, pkg);
    }
    return true;
}

bool InstallRequestBuilder::fillChannelPkgInfo(Apt_Task &task, const QString &channelId,
                                               const QString &channelPkgs)
{
    QMap<QString, StoreService::_ChannelPkg> map;
    if (!parseChannelPkgsJson(channelPkgs, &map) || !map.contains(channelId))
        return false;
    const StoreService::_ChannelPkg pkg = map.value(channelId);
    // The channel data name the file root installs: the link must be a web
    // address and the checksum one the download can be held to.
    if (pkg.pkgVer.isEmpty() || !PackageNameValidator::isValidVersion(pkg.pkgVer) ||
        !BusArgumentChecks::isDownloadUrl(pkg.pkgDlUrl) ||
        !BusArgumentChecks::isSha256(pkg.pkgSha256))
        return false;
    task.channelPkgMap = map;
    task.downloadLink = pkg.pkgDlUrl;
    task.totalSize = pkg.pkgSize > 0 ? pkg.pkgSize : 0;
    task.sha256 = pkg.pkgSha256;
    task.channelId = channelId;
    task.channelData = channelPkgs;
    return true;
}

QString InstallRequestBuilder::rewrittenSourceId(const QString &id)
{
    return id == kChildrenGuardId ? kStoreId : id;
}

QString InstallRequestBuilder::startSignalId(const Request &request)
{
    if (request.kind == Kind::Specific || request.kind == Kind::Channel)
        return request.id;
    return rewrittenSourceId(request.id);
}

QStringList InstallRequestBuilder::arguments(const Request &r)
{
    QStringList list{r.id,     r.packageName, r.version, r.name, QString::number(r.packageMode),
                     r.iconUrl};
    switch (r.kind) {
    case Kind::Kapla:
        list << r.size;
        break;
    case Kind::Specific:
        list << r.packageUrl << r.sha256 << r.size;
        break;
    case Kind::Channel:
        list << r.channelPkgs << r.channelId;
        break;
    case Kind::Plain:
    case Kind::Upgrade:
        break;
    }
    if (r.kind != Kind::Upgrade)
        list << QString::number(r.appType);
    for (QString &text : list)
        text = AppStore::BusArgumentChecks::loggable(text);
    return list;
}

const char *InstallRequestBuilder::signature(Kind kind)
{
    switch (kind) {
    case Kind::Plain:
        return "void AppStoreInterface::InstallPackage(QString, QString, QString, QString, int, "
               "QString, int)";
    case Kind::Kapla:
        return "void AppStoreInterface::InstallPackage(QString, QString, QString, QString, int, "
               "QString, QString, int)";
    case Kind::Specific:
        return "void AppStoreInterface::InstallPackage(QString, QString, QString, QString, int, "
               "QString, QString, QString, QString, int)";
    case Kind::Channel:
        return "void AppStoreInterface::InstallPackage(QString, QString, QString, QString, int, "
               "QString, QString, QString, int)";
    case Kind::Upgrade:
        return "void AppStoreInterface::UpgradePackage(QString, QString, QString, QString, int, "
               "QString)";
    }
    return "";
}

} // namespace AppStore
