#pragma once

#include "common/package_info.h"

#include <QDateTime>
#include <QString>

#include <functional>

namespace AppStore {

// Downloaded package archives: inspection and cleaning.
//
// A cache directory argument ends in "/"; the archives are in its
// "archives/", unfinished downloads in "archives/partial/".
class PackageArchives
{
public:
    PackageArchives() = delete;

    // Name, architecture and version from the archive's control data.
    // info.debPath is set to debPath whatever the outcome.
    static bool getDebInfo(const QString &debPath, Package_Info &info);
    // Download facts of one version (any version when version is empty) from
    // the indexes of the daemon's apt configuration; info.debPath gets the
    // archive's file name.
    static bool getPackageDownloadInfo(const QString &packageName, Package_Info &info,
                                       const QString &version);
    static bool isPackageInstalled(const QString &packageName);
    // mode 1: the archives an apt-get run installed (output: its standard
    // output); mode 2: the archives dpkg could not unpack; mode 3: every
    // archive the cache no longer needs (output unused). Only files directly
    // in the cache's "archives/" are ever removed.
    static void delTheInstallationPacakge(const QString &output, int mode, const QString &cacheDir);
    // The periodic clean of the daemon's cache, unless archives are kept.
    // Always true: nothing it meets is worth a caller's attention.
    static bool cleanPackagesCache();

    // Where the clean reads the current time; an empty function restores the
    // system clock. Files cannot be made older than they are, so tests move
    // the clock instead.
    static void setClock(std::function<QDateTime()> now);
};

} // namespace AppStore
