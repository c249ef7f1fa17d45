#pragma once

#include <QString>
#include <QStringList>

namespace AppStore {

// The client's view of the install history: the rows it lists and the
// state of a package that no task holds any more.
class PackageHistoryQueries
{
public:
    PackageHistoryQueries() = delete;

    // The package's history row as an operation record, its operation code
    // turned into a word; the empty record when there is no row.
    static QString operationInfo(const QString &packageName);
    // "install", "purge", ... for the history's codes; other texts unchanged.
    static QString operationWord(const QString &code);
    // Every history row but the removals, in table order.
    static QStringList historyList();
};

} // namespace AppStore
