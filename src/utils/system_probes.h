#pragma once

#include <QString>

class QNetworkRequest;

namespace AppStore {

// Questions about processes and the running system. Nothing is cached: every
// call asks the system again. The process probes start a tool and wait for it
// (within a time limit), so they belong on worker threads.
class SystemProbes
{
public:
    SystemProbes() = delete;

    // Some running process's command line contains name (trimmed); a blank
    // name is false without starting anything.
    static bool isProcessRunning(const QString &name);
    // Some running process runs the very file at path (the same device and
    // inode), whatever it is called; false when path names no file. Both
    // probes give the heap that was freed back to the system on their way out.
    static bool isExecutableRunning(const QString &path);
    // Target of /proc/<pid>/exe, or empty when there is none or it is gone.
    static QString getProcessExePath(uint pid);
    // The immutable-mode tool answers "Immutable mode:true".
    static bool isImmutableSystem();
    static bool isWaylandSession();
    // Debian architecture name: amd64, arm64, or the platform's own name.
    static QString cpuArchitectureName();

    // The "OsBuild" value of /etc/os-version (its en_US form when present).
    static QString systemOsBuildVersion();
    static QString osEditionName();
    static QString osProductTypeName();
    static QString osMajorVersion();
    static QString osMinorVersion();
    // "CN" or "OTHER", by the country of the local time zone.
    static QString regionCode();

    // NetworkManager's global "State" (70: connected with global
    // connectivity); 0 when it cannot be read within 5 s.
    static uint networkManagerState();

    // Always false: store replies name the packages that root installs, so
    // the servers' certificates are always checked.
    static bool isSslVerifyIgnored();
    // Sets the request's TLS floor and trusted CAs (TlsTrust); peer
    // verification is switched off only when isSslVerifyIgnored() allows it,
    // which it never does.
    static void setSslVerifyNone(QNetworkRequest &request);
};

} // namespace AppStore
