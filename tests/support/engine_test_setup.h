#pragma once

#include "local_apt_repository.h"
#include "private_system_bus.h"
#include "server_process.h"
#include "system_file_guard.h"

#include "common/apt_task.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// The surroundings the install manager needs to drive real apt-get runs: a
// loopback repository reached through the daemon's own apt configuration in
// a temporary tree, both databases as temporary files, and the account
// service on a private bus. The machine's apt auto-install marks are put
// back when the object goes; its dpkg database is left to the dpkg fixture.
class EngineTestSetup
{
public:
    EngineTestSetup();
    ~EngineTestSetup();
    EngineTestSetup(const EngineTestSetup &) = delete;
    EngineTestSetup &operator=(const EngineTestSetup &) = delete;

    // Add packages here before start().
    LocalAptRepository &repository() { return m_repository; }

    // accounts: "login=role" entries answered by the account stand-in;
    // bytesPerSecond > 0 throttles every download from the repository.
    bool start(const QString &accountStandin, const QStringList &accounts, int bytesPerSecond);

    // Writes the daemon's apt configuration files into stateDir, their state
    // and cache paths pointed at stateDir and cacheDir (both ending in '/').
    // Returns what went wrong, empty on success.
    static QString writeAptConfigs(const QString &stateDir, const QString &cacheDir);
    // A classic system's apt sources under aptEtcDir: a "sources.list" with no
    // entries and the store's list holding sourcesLine, so that the daemon's
    // private sources see the test repository and nothing else.
    static bool writeSystemSources(const QString &aptEtcDir, const QString &sourcesLine);

    // A store request for version 1.0 of name on behalf of loginName.
    static Apt_Task storeTask(const QString &name, const QString &loginName);
    // The named columns of the first row of table in the store database
    // whose keyColumn holds key; empty without such a row.
    static QStringList firstRow(const QString &table, const QString &keyColumn, const QString &key,
                                const QStringList &columns);
    static QStringList historyRow(const QString &package, const QStringList &columns);

    // The daemon's state folder inside the temporary tree.
    QString stateDir(const QString &name = QString()) const;
    QString errorString() const { return m_error; }

private:
    bool fail(const QString &message);

    QTemporaryDir m_dir;
    PrivateSystemBus m_bus;
    ServerProcess m_accounts;
    LocalAptRepository m_repository;
    std::unique_ptr<SystemFileGuard> m_guard;
    QString m_error;
};
