#include "apt_utils/kapla_app_list.h"

#include "apt_utils/app_meta_info.h"
#include "apt_utils/kapla_service_types.h"
#include "common/daemon_log.h"
#include "utils/service_bus.h"
#include "utils/utils.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFileInfo>
#include <QMap>

#include <algorithm>

namespace AppStore {

namespace {

const QString kService = QStringLiteral("org.velkor.kapla.PackageManager");
const QString kObjectPath = QStringLiteral("/org/velkor/kapla/PackageManager");
const QString kInterface = QStringLiteral("org.velkor.kapla.PackageManager");
const QString kLayersDir = QStringLiteral("/var/lib/kapla/layers/main/");
const char kSignature[] = "static bool AptCache::getLocalKaplaPkgs(LocalPackageList&)";
// The service lists every installed item, as long a job as a full listing of
// the command-line tool.
constexpr int kQueryTimeoutMs = 120 * 1000;

// The service's JSON list of installed items; false when the call failed.
bool queryInstalledItems(QString &json)
{
    kapla::service::registerServiceTypes();
    kapla::service::QueryParamOption option;
    option.appId = QStringLiteral("installed");
    option.channel = QStringLiteral("main");
    option.module = QStringLiteral("runtime");

    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kObjectPath, kInterface, QStringLiteral("Query"));
    call << QVariant::fromValue(option);
    const QDBusMessage reply =
        AppStore::ServiceBus::connection().call(call, QDBus::Block, kQueryTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        qCWarning(daemonLogCategory)
            << kSignature << "Query failed:" << reply.errorName() << reply.errorMessage();
        return false;
    }
    if (reply.signature() != QLatin1String("(iss)")) {
        qCWarning(daemonLogCategory)
            << kSignature << "unexpected Query reply:" << reply.signature();
        return false;
    }
    json = qdbus_cast<kapla::service::QueryReply>(reply.arguments().constFirst()).result;
    return true;
}

// A reply field becomes one directory name: nothing that climbs out of the
// layers or joins two levels into one.
bool isSafeComponent(const QString &component)
{
    return !component.isEmpty() && !component.contains(QLatin1Char('/')) &&
           component != QLatin1String(".") && component != QLatin1String("..");
}

// The runtime closes the path and may name a nested layer ("base/23"), so
// it may hold several levels, each of them a plain name.
bool isSafeRuntime(const QString &runtime)
{
    if (runtime.isEmpty()) {
        return true;
    }
    const QStringList levels = runtime.split(QLatin1Char('/'));
    return std::all_of(levels.cbegin(), levels.cend(), isSafeComponent);
}

qint64 installedSizeKiB(const QString &layerDir)
{
    qint64 kib =
        Utils::parseKaplaPkgSizeFromInfoJson(layerDir + QStringLiteral("/info.json")) / 1024;
    if (kib <= 0) {
        kib = Utils::directoryTreeSize(layerDir) / 1024;
    }
    return kib;
}

QStringList desktopFiles(const QString &layerDir)
{
    QString dir = layerDir + QStringLiteral("/outputs/share/applications");
    if (!QFileInfo::exists(dir)) {
        dir = layerDir + QStringLiteral("/entries/applications");
    }
    QStringList files;
    const QFileInfoList entries = QDir(dir).entryInfoList({QStringLiteral("*.desktop")},
                                                          QDir::Files | QDir::Readable, QDir::Name);
    for (const QFileInfo &entry : entries) {
        files.append(entry.isSymLink() ? entry.symLinkTarget() : entry.absoluteFilePath());
    }
    return files;
}

// An entry for an installed application item; false for other kinds, unsafe
// names and items whose layer is missing.
bool entryForItem(const kapla::package::AppMetaInfo &item, const QString &layersDir,
                  LocalPackageEntry &entry)
{
    if (item.kind.trimmed() != QLatin1String("app")) {
        return false;
    }
    const QString appId = item.appId.trimmed();
    const QString version = item.version.trimmed();
    const QString arch = item.arch.trimmed();
    if (!isSafeComponent(appId) || !isSafeComponent(version) || !isSafeComponent(arch) ||
        !isSafeRuntime(item.runtime)) {
        qCWarning(daemonLogCategory)
            << kSignature << "unusable item:" << appId << version << arch << item.runtime;
        return false;
    }
    const QString layerDir = layersDir + appId + QLatin1Char('/') + version + QLatin1Char('/') +
                             arch + QLatin1Char('/') + item.runtime;
    if (!QFileInfo(layerDir).isDir()) {
        return false;
    }
    entry.packageName = appId;
    entry.version = version;
    entry.channel = QString();
    entry.installedSize = installedSizeKiB(layerDir);
    entry.desktopFiles = desktopFiles(layerDir);
    return true;
}

} // namespace

bool KaplaAppList::getLocalKaplaPkgs(LocalPackageList &out)
{
    if (!Utils::isKaplaSupported(false)) {
        return false;
    }
    return queryInstalledKaplaApps(out, kLayersDir);
}

bool KaplaAppList::queryInstalledKaplaApps(LocalPackageList &out, const QString &layersDir)
{
    QString json;
    if (!queryInstalledItems(json)) {
        return false;
    }
    // An empty answer is what a failed service gives, not an empty list.
    if (json.isEmpty()) {
        qCWarning(daemonLogCategory) << kSignature << "empty Query result";
        return false;
    }
    kapla::package::AppMetaInfoList items;
    if (!Utils::parseKaplaPkgInfoList(json, items)) {
        return false;
    }
    if (items.size() == 1 && items.constFirst()->appId == QLatin1String("flatpaklist")) {
        qCDebug(daemonLogCategory) << kSignature << "flatpak not supported";
        return false;
    }
    if (items.isEmpty()) {
        qCWarning(daemonLogCategory) << kSignature << "app not found in repo";
        return true;
    }

    QMap<QString, LocalPackageEntry> byId;
    for (const auto &item : std::as_const(items)) {
        LocalPackageEntry entry;
        if (!entryForItem(*item, layersDir, entry)) {
            continue;
        }
        const auto stored = byId.constFind(entry.packageName);
        if (stored == byId.constEnd() ||
            Utils::compareVersion(stored->version, entry.version) < 0) {
            byId.insert(entry.packageName, entry);
        }
    }
    for (const LocalPackageEntry &entry : std::as_const(byId)) {
        out.append(entry);
    }
    return true;
}

} // namespace AppStore
