#pragma once

#include <QString>

namespace AppStore {

// Makes the programs a package's desktop files start launchable.
class LaunchabilityFix
{
public:
    LaunchabilityFix() = delete;

    // Drops TryExec keys that name missing programs from the package's
    // desktop files, and gives the shell scripts their Exec keys start an
    // interpreter line when they lack one. Changes files; reports nothing.
    static void ensurePkgDesktopFilesLaunchable(const QString &name);
};

} // namespace AppStore
