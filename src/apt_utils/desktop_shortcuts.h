#pragma once

#include <QString>
#include <QStringList>

namespace AppStore {

// Desktop shortcuts of applications on users' desktops: symbolic links
// "/home/<login>/Desktop/<file name>" to the application's desktop file in the
// system's application folder of its kind.
//
// Root works inside a folder the user controls here, so nothing is done when
// the home or its "Desktop" is a symbolic link or not owned by the user, and
// only such links are renewed or removed: whatever else stands at a
// shortcut's name is the user's and stays.
class DesktopShortcuts
{
public:
    DesktopShortcuts() = delete;

    // createNew false only renews shortcuts that exist already.
    static void createShortcuts(const QString &name, const QString &login, bool createNew,
                                int installMode);
    // Leaves the shortcuts that a kapla application of the same name still
    // brings.
    static void removeShortcuts(const QString &name, const QString &login, int installMode);
    // removeShortcuts in two steps, so that the entries can be read beside
    // other work: the package's desktop entries whose shortcuts go (false
    // when they could not be read), then the removal of the user's
    // shortcuts to them.
    static bool entriesOfShortcutsToRemove(const QString &name, int installMode,
                                           QStringList &desktopFiles);
    static void removeShortcutsTo(const QStringList &desktopFiles, const QString &login,
                                  int installMode);
};

} // namespace AppStore
