#include "apt_utils/pending_shortcut_removal.h"

#include "apt_utils/desktop_shortcuts.h"

namespace AppStore {

PendingShortcutRemoval::PendingShortcutRemoval(const QString &name, QString login, int installMode)
    : m_login(std::move(login))
    , m_installMode(installMode)
    , m_entries([name, installMode, noLogin = m_login.isEmpty()]() -> std::optional<QStringList> {
        // Nobody's desktop to tidy: nothing to read.
        QStringList files;
        if (!noLogin && !DesktopShortcuts::entriesOfShortcutsToRemove(name, installMode, files))
            return std::nullopt;
        return files;
    })
{}

void PendingShortcutRemoval::take()
{
    if (const std::optional<QStringList> files = m_entries.take())
        DesktopShortcuts::removeShortcutsTo(*files, m_login, m_installMode);
}

} // namespace AppStore
