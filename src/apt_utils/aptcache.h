#pragma once

#include "apt_index_update.h"
#include "desktop_shortcuts.h"
#include "dpkg_repair.h"
#include "installed_packages.h"
#include "kapla_app_list.h"
#include "launchability_fix.h"
#include "package_archives.h"
#include "package_desktop_files.h"
#include "package_details.h"
#include "package_file_lists.h"
#include "package_name_patterns.h"
#include "repository_key.h"

// The package-system queries, called as AptCache::...: static, blocking the
// calling thread until the tools they run have ended. Each topic keeps its
// part in a class of its own.
class AptCache : public AppStore::AptIndexUpdate,
                 public AppStore::PackageDetails,
                 public AppStore::InstalledPackages,
                 public AppStore::PackageDesktopFiles,
                 public AppStore::PackageArchives,
                 public AppStore::DpkgRepair,
                 public AppStore::RepositoryKey,
                 public AppStore::DesktopShortcuts,
                 public AppStore::LaunchabilityFix,
                 public AppStore::PackageFileLists,
                 public AppStore::PackageNamePatterns,
                 public AppStore::KaplaAppList
{
public:
    AptCache() = delete;
};
