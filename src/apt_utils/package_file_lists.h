#pragma once

#include "common/local_package_entry.h"

#include <QString>
#include <QStringList>

namespace AppStore {

// The files of installed packages, for the file-to-package index: regular
// files in the program and data folders, without icons and symbolic links.
class PackageFileLists
{
public:
    PackageFileLists() = delete;

    // The package's qualifying files, appended in dpkg's order. A package
    // dpkg does not know gives none and still true; false when dpkg-query
    // could not run.
    static bool getPackageBinaryFiles(const QString &name, QStringList &files);
    // One entry per installed package with at least one qualifying file: its
    // name, and the files in the desktop-file list. Appended.
    static bool getAllPackageBinaryFiles(LocalPackageList &packages);
};

} // namespace AppStore
