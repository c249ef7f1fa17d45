#pragma once

#include "daemon_under_test.h"
#include "local_apt_repository.h"
#include "local_https_server.h"
#include "private_system_bus.h"
#include "system_file_guard.h"

#include <QString>

#include <memory>

// The real daemon on a private bus, ready to install store packages from a
// loopback repository as the store client asks for them: the machine's apt
// sources hold that repository and nothing else, the daemon's own apt
// configuration sits in its state folder, and the store it reports to answers
// on 127.0.0.1. Every system file it changes is put back when it goes; the
// dpkg database is the caller's to tidy.
class BusInstallSetup
{
public:
    BusInstallSetup();
    ~BusInstallSetup();
    BusInstallSetup(const BusInstallSetup &) = delete;
    BusInstallSetup &operator=(const BusInstallSetup &) = delete;

    // Add packages here before start().
    LocalAptRepository &repository() { return m_repository; }
    // Add policy here before start().
    PrivateSystemBus &bus() { return m_bus; }

    // Everything above, then the daemon with its package lists up to date.
    bool start(bool debugLog = false);
    // A fresh daemon process on the same surroundings.
    bool restartDaemon(bool debugLog = false);
    DaemonUnderTest &daemon() { return *m_daemon; }

    // The apt configuration the daemon passes to its apt-get runs.
    static QString daemonAptConfig();
    QString errorString() const { return m_error; }

private:
    bool prepareSystemFiles();
    bool fail(const QString &message);

    PrivateSystemBus m_bus;
    LocalAptRepository m_repository;
    LocalHttpsServer m_store;
    std::unique_ptr<SystemFileGuard> m_guard;
    std::unique_ptr<DaemonUnderTest> m_daemon;
    QString m_error;
};
