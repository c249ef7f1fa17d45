#pragma once

#include <QString>

namespace AppStore {

// Checks on the desktop files of applications.
class DesktopEntryChecks
{
public:
    DesktopEntryChecks() = delete;

    // The unescaped, trimmed Exec line; empty when unreadable or missing.
    static QString getDesktopExecInfo(const QString &desktopFile);
    // Whether the entry is a visible application entry on this desktop.
    static bool isDesktopNeedToShow(const QString &desktopFile);
    // Drops a TryExec key whose program does not exist, so that the entry is
    // not hidden for a program it does not need.
    static void checkDesktopTryExecInfo(const QString &desktopFile);
};

} // namespace AppStore
