#pragma once

#include <QString>

namespace AppStore {

// Which of the daemon's apt configuration files its apt runs use.
enum AptConfig : int {
    AptDefaultConfig = 0,  // "apt_default.conf": the system's sources
    AptCustomConfig = 1,   // "apt_custom.conf": the private sources
    AptCustomV2Config = 2, // "apt_custom_v2.conf": dpkg may ignore failing scripts
};

// The daemon's private apt sources, package cache and apt configuration.
//
// Apt runs need nothing from this class but aptConfigFilePath(): the private
// sources are replaced entry by entry with rename(2), so an apt run that
// starts during a rebuild reads either the old or the new entry.
class AptSources
{
public:
    AptSources() = delete;

    // Moves the state directory (default DAEMON_STATE_DIR), the system apt
    // directory (APT_ETC_DIR) and the cache directory (DAEMON_CACHE_DIR),
    // for tests; call before any other function of the class.
    static void setRoots(const QString &stateDir, const QString &aptEtcDir,
                         const QString &cacheDir);
    // The directories in force, each ending in "/".
    static QString stateDir();
    static QString cacheDir();

    // true when the cache directory's "archives/" exists on return; creates it.
    static bool checkCustomCacheDir();
    // true when the private "sources.list" and "sources.list.d/appstore.list" exist.
    static bool hasPrivateSources();
    // Rebuilds the private sources from the system's; false when the private
    // list directory or the private source list cannot be made.
    static bool updateSourceDir();
    // refresh: decide again and probe dpkg; otherwise answer from the cache
    // (a cached default is re-examined without running dpkg).
    static AptConfig aptConfigVersion(bool refresh);
    // The configuration file every daemon apt run passes with "-c".
    static QString aptConfigFilePath();
};

} // namespace AppStore
