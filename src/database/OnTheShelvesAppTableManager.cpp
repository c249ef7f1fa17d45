#include "OnTheShelvesAppTableManager.h"

#include "common/daemon_log.h"
#include "database/appstoredb.h"
#include "database/on_the_shelves_app_columns.h"

#include <QMutexLocker>

namespace {

const QString TABLE = QStringLiteral("LocalOnTheShelvesAPP");
const QString PACKAGE_NAME = QStringLiteral("package_name");
const QString PACKAGE_VERSION = QStringLiteral("package_version");

ParamStringMap byPackageName(const QString &packageName)
{
    return {{PACKAGE_NAME, packageName}};
}

} // namespace

OnTheShelvesAPPTableManager *OnTheShelvesAPPTableManager::instance()
{
    return AppStore::LazySingleton<OnTheShelvesAPPTableManager>::instance();
}

bool OnTheShelvesAPPTableManager::deleteTheShelvesAPPTableItem(const QString &packageName)
{
    QMutexLocker locker(&m_mutex);
    return AppstoreDb::instance()->deleteLocalOnTheShelvesAppInfo(packageName);
}

bool OnTheShelvesAPPTableManager::deleteTheShelvesAPPTableItems(const QStringList &packageNames)
{
    QMutexLocker locker(&m_mutex);
    return AppstoreDb::instance()->deleteLocalOnTheShelvesAppInfos(packageNames);
}

bool OnTheShelvesAPPTableManager::insertTheShelvesAPPTableItem(
    const StoreService::AppBriefInfo &item, const QString &accountType)
{
    QMutexLocker locker(&m_mutex);
    return AppstoreDb::instance()->replaceLocalOnTheShelvesAppInfos({item}, accountType);
}

QStringList OnTheShelvesAPPTableManager::getTheShelvesAPPTableItemJsons()
{
    QMutexLocker locker(&m_mutex);
    QList<StoreService::AppBriefInfo> infos;
    AppstoreDb::instance()->selectLocalOnTheShelvesAppInfos(infos);
    QStringList jsons;
    jsons.reserve(infos.size());
    for (const StoreService::AppBriefInfo &info : std::as_const(infos)) {
        jsons.append(appBriefInfoToJsonString(info));
    }
    return jsons;
}

bool OnTheShelvesAPPTableManager::getPackageVersionMap(QMap<QString, QString> &versions)
{
    QMutexLocker locker(&m_mutex);
    QList<QStringList> columns;
    AppstoreDb::instance()->seleteRecords({PACKAGE_NAME, PACKAGE_VERSION}, ParamStringMap(),
                                          columns, TABLE);
    if (columns.size() < 2) {
        qCWarning(daemonLogCategory).noquote() << Q_FUNC_INFO << "error";
        return false;
    }
    const QStringList &names = columns.at(0);
    const QStringList &packageVersions = columns.at(1);
    for (qsizetype i = 0; i < names.size() && i < packageVersions.size(); ++i) {
        versions.insert(names.at(i), packageVersions.at(i));
    }
    return true;
}

bool OnTheShelvesAPPTableManager::resetTheShelvesAPPTableItemDatas(
    const QList<StoreService::AppBriefInfo> &items, const QString &accountType)
{
    QMutexLocker locker(&m_mutex);
    const QString visibleColumn = accountType == QLatin1String("2") ? QStringLiteral("kid_show")
                                                                    : QStringLiteral("user_show");
    bool result = true;
    for (const StoreService::AppBriefInfo &item : items) {
        ParamStringMap columns = appBriefInfoToColumnMap(item);
        columns.insert(visibleColumn, QStringLiteral("1"));
        if (AppstoreDb::instance()->updateRecords(byPackageName(item.package_name), columns,
                                                  TABLE)) {
            continue;
        }
        if (!insertTheShelvesAPPTableItem(item, accountType)) {
            qCWarning(daemonLogCategory).noquote() << Q_FUNC_INFO << item.package_name << "error";
            result = false;
        }
    }
    return result;
}

bool OnTheShelvesAPPTableManager::insertTheShelvesAPPTableItemDatas(
    const QList<StoreService::AppBriefInfo> &items, const QString &accountType)
{
    QMutexLocker locker(&m_mutex);
    if (AppstoreDb::instance()->replaceLocalOnTheShelvesAppInfos(items, accountType)) {
        return true;
    }
    // Nothing of the batch went in; put in what can go in, item by item.
    bool result = true;
    for (const StoreService::AppBriefInfo &item : items) {
        if (!insertTheShelvesAPPTableItem(item, accountType)) {
            qCWarning(daemonLogCategory).noquote() << Q_FUNC_INFO << item.package_name << "error";
            result = false;
        }
    }
    return result;
}

bool OnTheShelvesAPPTableManager::clearTheShelvesAPPTablePackageVersion(const QString &packageName)
{
    QMutexLocker locker(&m_mutex);
    return AppstoreDb::instance()->updateRecords(byPackageName(packageName),
                                                 {{PACKAGE_VERSION, QString()}}, TABLE);
}

void OnTheShelvesAPPTableManager::clearTheShelvesAPPTablePackageVersions(
    const QStringList &packageNames)
{
    QMutexLocker locker(&m_mutex);
    for (const QString &packageName : packageNames) {
        clearTheShelvesAPPTablePackageVersion(packageName);
    }
}

bool OnTheShelvesAPPTableManager::applyTheShelvesAPPTableChanges(
    const QStringList &clearNames, const QList<StoreService::AppBriefInfo> &updateItems,
    const QList<StoreService::AppBriefInfo> &insertItems, const QString &accountType)
{
    QMutexLocker locker(&m_mutex);
    clearTheShelvesAPPTablePackageVersions(clearNames);
    const bool inserted = insertTheShelvesAPPTableItemDatas(insertItems, accountType);
    const bool updated = resetTheShelvesAPPTableItemDatas(updateItems, accountType);
    return inserted && updated;
}

QStringList OnTheShelvesAPPTableManager::checkUpdateLocalOnTheShelvesTable(
    const QList<StoreService::AppBriefInfo> &serverList, const QString &accountType,
    bool clearUnlisted)
{
    QMutexLocker locker(&m_mutex);
    QMap<QString, QString> unmatched;
    if (!getPackageVersionMap(unmatched)) {
        qCWarning(daemonLogCategory).noquote() << Q_FUNC_INFO << "getPackageVersionMap error!";
        return {};
    }

    // Versions are not compared: a known package is rewritten even when
    // nothing changed.
    QList<StoreService::AppBriefInfo> updateItems;
    QList<StoreService::AppBriefInfo> insertItems;
    for (const StoreService::AppBriefInfo &item : serverList) {
        if (unmatched.remove(item.package_name) > 0) {
            updateItems.append(item);
        } else {
            insertItems.append(item);
        }
    }
    const QStringList clearNames = clearUnlisted ? unmatched.keys() : QStringList();

    if (serverList.isEmpty() && clearNames.isEmpty()) {
        qCDebug(daemonLogCategory).noquote()
            << Q_FUNC_INFO << "no need update LocalOnTheShelvesAPPTable";
        return {};
    }
    if (!applyTheShelvesAPPTableChanges(clearNames, updateItems, insertItems, accountType)) {
        qCWarning(daemonLogCategory).noquote()
            << Q_FUNC_INFO << "update LocalOnTheShelvesAPPTable error!";
        return {};
    }
    return getTheShelvesAPPTableItemJsons();
}
