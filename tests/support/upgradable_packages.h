#pragma once

#include "local_apt_repository.h"
#include "system_file_guard.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

// Many desktop applications installed at an old version while the repository
// publishes a newer one, and the machine's own apt ("apt list --upgradable"
// without a configuration of its own, as the daemon runs it) seeing only that
// repository. The packages are purged and the machine's apt sources and index
// files put back when the object goes, whatever happened before.
class UpgradablePackages
{
public:
    explicit UpgradablePackages(LocalAptRepository &repository,
                                const QString &prefix = QStringLiteral("twk-test-up-"));
    ~UpgradablePackages();
    UpgradablePackages(const UpgradablePackages &) = delete;
    UpgradablePackages &operator=(const UpgradablePackages &) = delete;

    // Builds "<prefix>1" .. "<prefix><count>" at both versions, the
    // published one with its own options.
    bool build(int count, const QString &installedVersion = QStringLiteral("1.0"),
               const QString &publishedVersion = QStringLiteral("1.1"),
               const LocalAptRepository::PackageOptions &publishedOptions = {});
    // Once the repository is published: the machine's apt sources point at it
    // alone and its index is updated, then one dpkg run installs the old
    // versions.
    bool install();
    // Purges them all in one dpkg run; true when nothing of them is left.
    bool purge();

    QStringList names() const { return m_names; }
    QString installedVersion() const { return m_installedVersion; }
    QString publishedVersion() const { return m_publishedVersion; }
    // The store's "getAppBriefInfo" answer naming every package at the
    // published version, as an ordinary (not forced) deb upgrade.
    QByteArray briefInfoReply() const;
    QString errorString() const { return m_error; }

private:
    bool pointSystemAptAtRepository();
    bool fail(const QString &message);

    LocalAptRepository &m_repository;
    QString m_prefix;
    QStringList m_names;
    QString m_installedVersion;
    QString m_publishedVersion;
    std::unique_ptr<SystemFileGuard> m_aptGuard;
    bool m_installStarted = false;
    QString m_error;
};
