#pragma once

#include "common/local_package_entry.h"

#include <QString>
#include <QStringList>

#include <functional>

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
    // name, and the files in the desktop-file list. Appended, and only when
    // the whole listing was read.
    static bool getAllPackageBinaryFiles(LocalPackageList &packages);
    // The same entries, each handed to take as soon as it is read, so that
    // only one package's files are held at a time; take returns false to
    // stop. False when the listing failed or was stopped; take may then have
    // had the packages read before.
    static bool
    forEachPackageBinaryFiles(const std::function<bool(const LocalPackageEntry &)> &take);
};

} // namespace AppStore
