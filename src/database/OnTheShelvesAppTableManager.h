#pragma once

#include "common/app_brief_info.h"
#include "utils/lazy_singleton.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QRecursiveMutex>
#include <QString>
#include <QStringList>

// Keeps the local copy of the store's published applications
// (LocalOnTheShelvesAPP in appstore.db) in step with the server's list and
// with what the client, the install path and the dpkg hook report. Rows are
// matched by package name only. The account role an operation is given marks
// the rows it writes as seen by a child account ("2") or by any other account.
//
// Callers on different threads may run operations at once; each operation
// runs as a whole before the next one starts, so a reconciliation never sees
// another operation's half-done change.
class OnTheShelvesAPPTableManager : public QObject
{
    Q_OBJECT
public:
    static OnTheShelvesAPPTableManager *instance();

    bool deleteTheShelvesAPPTableItem(const QString &packageName);
    bool deleteTheShelvesAPPTableItems(const QStringList &packageNames);
    // Replaces the rows of the item's package name by the item; on failure the
    // old rows stay.
    bool insertTheShelvesAPPTableItem(const StoreService::AppBriefInfo &item,
                                      const QString &accountType);

    // Every row as compact JSON, in the table's order.
    QStringList getTheShelvesAPPTableItemJsons();
    // Package name to version of every row, added to versions.
    bool getPackageVersionMap(QMap<QString, QString> &versions);

    // Rewrites the existing rows of the items' package names in place; the
    // visibility flag of the other role keeps its value.
    bool resetTheShelvesAPPTableItemDatas(const QList<StoreService::AppBriefInfo> &items,
                                          const QString &accountType);
    // Replaces the rows of the items' package names by the items. When the
    // items cannot all go in together, each goes in on its own; an item that
    // still fails keeps its old rows and makes the result false.
    bool insertTheShelvesAPPTableItemDatas(const QList<StoreService::AppBriefInfo> &items,
                                           const QString &accountType);

    // Empties package_version of the package's rows; the rows stay.
    bool clearTheShelvesAPPTablePackageVersion(const QString &packageName);
    void clearTheShelvesAPPTablePackageVersions(const QStringList &packageNames);

    // Clears, inserts, then rewrites; true when the insert and the rewrite
    // both succeeded.
    bool applyTheShelvesAPPTableChanges(const QStringList &clearNames,
                                        const QList<StoreService::AppBriefInfo> &updateItems,
                                        const QList<StoreService::AppBriefInfo> &insertItems,
                                        const QString &accountType);

    // Brings the table in step with the server's list: known packages are
    // rewritten, new ones inserted and, with clearUnlisted, packages the list
    // no longer has lose their version. Returns the whole table as JSON after
    // a change; empty when nothing was to be done or the change failed.
    QStringList
    checkUpdateLocalOnTheShelvesTable(const QList<StoreService::AppBriefInfo> &serverList,
                                      const QString &accountType, bool clearUnlisted);

private:
    OnTheShelvesAPPTableManager() = default;
    friend class AppStore::LazySingleton<OnTheShelvesAPPTableManager>;

    // Operations call one another, so the lock is taken again by the thread
    // that holds it.
    QRecursiveMutex m_mutex;
};
