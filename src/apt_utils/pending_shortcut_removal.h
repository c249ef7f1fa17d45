#pragma once

#include "utils/side_query.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace AppStore {

// The removal of a package's desktop shortcuts, read beside the checks that
// decide whether the package goes: its entries are read at construction,
// the user's shortcuts go only when take() is called.
class PendingShortcutRemoval
{
public:
    PendingShortcutRemoval(const QString &name, QString login, int installMode);

    // Waits until the package's entries are read: they are named by its
    // files, which its removal takes.
    void awaitEntries();
    void take();

private:
    QString m_login;
    int m_installMode;
    SideQuery<std::optional<QStringList>> m_query;
    bool m_read = false;
    std::optional<QStringList> m_entries;
};

} // namespace AppStore
