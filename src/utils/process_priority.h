#pragma once

#include <QString>

namespace AppStore {

// The daemon's own scheduling priority and its systemd unit.
class ProcessPriority
{
public:
    ProcessPriority() = delete;

    // Sets the process's nice value (10 when priority lies outside -20..19)
    // under SCHED_OTHER; scheduler is accepted for the D-Bus method and unused.
    static void setNiceAndPriority(int priority, int scheduler);
    static QString getNiceAndPriority();
    // Enables "tarnwick-daemon.service" for the running system when it is not
    // enabled; when the daemon does not run as that unit, the private index
    // lists are cleared.
    static void enableSystemdService();

    // The systemd control program; tests name a stand-in. An empty path
    // restores "/bin/systemctl".
    static void setSystemctlProgram(const QString &path);
};

} // namespace AppStore
