#pragma once

#include "common/local_package_entry.h"

#include <QMap>
#include <QString>
#include <QStringList>

namespace AppStore {

// The lists of installed applications, from dpkg and from the kapla tool.
// Every list argument is appended to, never cleared.
class InstalledPackages
{
public:
    InstalledPackages() = delete;

    // One line "{name version size channel[desktop files]}" per installed
    // application, kapla and Debian merged; false only when both failed.
    static bool getLocalPackages(QStringList &lines);
    // The kapla applications, one entry per id at its highest version.
    static bool getLocalKaplaPkgsWithCli(LocalPackageList &out);
    // The installed Debian packages: without a channel (and those of them with
    // desktop files once more), and those with a channel.
    static bool getLocalDebianPkgs(LocalPackageList &plain, LocalPackageList &withDesktop,
                                   LocalPackageList &channelList);
    // Every installed Debian package as a line, channel or not.
    static bool getLocalDebianPkgs(QStringList &lines);
    // By name: kapla wins over a plain Debian package; a channel package
    // hides both.
    static QMap<QString, LocalPackageEntry> mergeLocalPkgLists(const LocalPackageList &kapla,
                                                               const LocalPackageList &plain,
                                                               const LocalPackageList &channelList);
    // Keeps one file per Exec value, ordered by that value; files without an
    // Exec value are dropped.
    static void removeRepeatedDesktops(QStringList &desktopFiles);
};

} // namespace AppStore
