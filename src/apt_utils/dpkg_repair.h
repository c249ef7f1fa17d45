#pragma once

#include <QString>

namespace AppStore {

// Repairs of packages dpkg left unfinished, and apt process control.
class DpkgRepair
{
public:
    DpkgRepair() = delete;

    // Reads the output of a failed apt-get run and purges, with dpkg's force
    // for packages that require reinstallation, the package that blocks the
    // database. operation 1: output is the standard output of a run whose
    // unpack failed on a file of another package; 2: output is the standard
    // error of a run that found a package needing reinstallation without an
    // archive for it. uid goes to dpkg as PACKAGEKIT_CALLER_UID.
    static void rmreinstreqPackage(const QString &output, int operation, const QString &cacheDir,
                                   quint32 uid);

    // End a stalled apt-get install or purge of this daemon: the first of
    // the daemon's own root children (by process id) whose command line holds
    // the fixed option text of the tasks' runs. Other processes are never
    // touched, whatever their command line says.
    static void killAptInstallProcess();
    static void killAptPurgeProcess();
};

} // namespace AppStore
