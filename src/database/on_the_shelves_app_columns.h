#pragma once

#include "common/app_brief_info.h"

#include <QMap>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

#include <array>

// How a published-application record maps onto a LocalOnTheShelvesAPP row.

// The table's columns in creation order.
const QStringList &onTheShelvesAppColumns();

// The texts stored for the record, one per column of onTheShelvesAppColumns().
// An account type of exactly "2" marks the row for child accounts.
QStringList onTheShelvesAppRowValues(const StoreService::AppBriefInfo &info,
                                     const QString &accountType);

// Reads records from the rows of a "SELECT *" on the table. Columns are found
// by name once per query, so a table whose columns an older version added in
// another order still reads right.
class OnTheShelvesAppRowReader
{
public:
    explicit OnTheShelvesAppRowReader(const QSqlQuery &query);

    // Sets the record's stored fields from the query's current row; fields the
    // table does not keep (number, category_name, channelId) stay as they are.
    void read(const QSqlQuery &query, StoreService::AppBriefInfo &info) const;

private:
    std::array<int, 23> m_positions;
};

// Column name to stored text, without the two visibility columns: the caller
// adds the one for its account type when it rewrites a row.
QMap<QString, QString> appBriefInfoToColumnMap(const StoreService::AppBriefInfo &info);
