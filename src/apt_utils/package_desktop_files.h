#pragma once

#include <QString>
#include <QStringList>

namespace AppStore {

// The desktop files a package ships.
//
// installMode: 1 a Debian package, 2 a kapla application, anything else both
// are asked and the kapla answer wins when the kapla tool knows the package.
// The output list is replaced, not appended to.
class PackageDesktopFiles
{
public:
    PackageDesktopFiles() = delete;

    // Full paths of the desktop files that launch a program that exists.
    static bool getPackageDesktopFiles(const QString &name, QStringList &desktopFiles,
                                       int installMode);
    // The bare file names of every desktop file of a Debian package (kapla:
    // full paths), launchable or not.
    static bool getDebDesktopFiles(const QString &name, QStringList &desktopFiles, int installMode);
    // Whether the program named by the file's Exec key exists.
    static bool isDesktopExecExists(const QString &desktopFile);
    // The desktop files of the one package that name depends on (appended).
    static bool getDependsDesktopFiles(const QString &name, QStringList &desktopFiles);
    // The programs of the package's desktop files that are running (appended).
    static bool isPackageRunning(const QString &name, QStringList &runningPrograms);
};

} // namespace AppStore
