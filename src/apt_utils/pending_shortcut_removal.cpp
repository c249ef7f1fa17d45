#include "apt_utils/pending_shortcut_removal.h"

#include "apt_utils/desktop_shortcuts.h"

namespace AppStore {

PendingShortcutRemoval::PendingShortcutRemoval(const QString &name, QString login, int installMode)
    : m_login(std::move(login))
    , m_installMode(installMode)
    , m_query([name, installMode, noLogin = m_login.isEmpty()]() -> std::optional<QStringList> {
        // Nobody's desktop to tidy: nothing to read.
        QStringList files;
        if (!noLogin && !DesktopShortcuts::entriesOfShortcutsToRemove(name, installMode, files))
            return std::nullopt;
        return files;
    })
{}

void PendingShortcutRemoval::awaitEntries()
{
    if (m_read)
        return;
    m_entries = m_query.take();
    m_read = true;
}

void PendingShortcutRemoval::take()
{
    awaitEntries();
    if (m_entries)
        DesktopShortcuts::removeShortcutsTo(*m_entries, m_login, m_installMode);
}

} // namespace AppStore
