#pragma once

#include "common/local_package_entry.h"

#include <QString>

namespace AppStore {

// The kapla applications as the package-manager service lists them.
class KaplaAppList
{
public:
    KaplaAppList() = delete;

    // Appends the installed kapla applications, one entry per id at its
    // highest version, in id order. false when kapla is not supported here
    // or the service gave no usable list.
    static bool getLocalKaplaPkgs(LocalPackageList &out);
    // The same without the support gate, reading the application layers
    // below layersDir (ending in "/") instead of the system's own.
    static bool queryInstalledKaplaApps(LocalPackageList &out, const QString &layersDir);
};

} // namespace AppStore
