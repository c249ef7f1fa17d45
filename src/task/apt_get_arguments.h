#pragma once

#include <QString>
#include <QStringList>

namespace AppStore {

// How long an apt-get install may run, a prompt waiting for its answer
// included, and how long a purge may run; the child is killed past it.
constexpr int kAptInstallRunLimitMs = 6 * 60 * 60 * 1000;
constexpr int kAptPurgeRunLimitMs = 30 * 60 * 1000;

// The apt-get pattern that matches exactly one package name, pinned to a
// version when one is given.
QString aptExactPackagePattern(const QString &packageName, const QString &version);

// The apt-get install command line: progress on the output the task parses,
// one retry. apt takes dpkg's locks and waits for them at most
// lockWaitSeconds, so that no other package frontend can run dpkg in the
// middle of the transaction.
// The apt option that makes apt-get wait at most lockWaitSeconds (at least
// one) for dpkg's locks instead of failing at once.
QString aptLockTimeoutOption(int lockWaitSeconds);

// Unless mayRemove, apt-get fails instead of removing any package; it never
// removes what nothing needs any more.
QStringList aptGetInstallArguments(const QString &package, int lockWaitSeconds, bool mayRemove);

// Every run that installs, upgrades or repairs packages keeps the
// configuration files the administrator changed and never asks about them:
// dpkg's question offers a root shell to whoever answers it. The apt-get
// options, the dpkg options, and the environment entry for the files that
// ucf manages.
QStringList aptKeepConfigFilesOptions();
QStringList dpkgKeepConfigFilesOptions();
QString keepConfigFilesEnvironment();

// The download-only command line of the same install. It takes no lock: many
// downloads run at once into the daemon's own cache, and none of them touches
// dpkg.
QStringList aptGetDownloadArguments(const QString &package);

} // namespace AppStore
