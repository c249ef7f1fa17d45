#pragma once

#include <QList>
#include <QPair>
#include <QString>

namespace AppStore {

// The apt index update and the list of upgradable packages. Every call blocks
// its thread until the tools it runs have ended.
class AptIndexUpdate
{
public:
    AptIndexUpdate() = delete;

    // "apt-get update" with the daemon's private configuration, marked in the
    // apt-update record; true only when NetworkManager reports full
    // connectivity afterwards (and, on an immutable system, the system's own
    // update succeeded too). The update thread's job.
    static bool AptUpdate();
    // "apt-get update" with the system's own configuration.
    static bool AptUpdateForImmutable();
    // first: whether apt's list could be read; second: the package names in
    // apt's order, duplicates kept.
    static QPair<bool, QList<QString>> getAptUpgradableList();
    // Removes the private index lists while no update has run in this process.
    static void clearCustomSourceListsCache();
    // Whether the first version apt-cache shows for the package, with the
    // private configuration, is at least version (any, when version is empty).
    static bool isCandidateVersionAtLeast(const QString &packageName, const QString &version);

    // How long one "apt-get update" may run before it is killed and counts as
    // failed; tests shorten it. Values <= 0 restore the default.
    static void setUpdateTimeLimit(int milliseconds);
};

} // namespace AppStore
