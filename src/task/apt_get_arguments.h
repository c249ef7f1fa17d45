#pragma once

#include <QString>
#include <QStringList>

namespace AppStore {

// The apt-get pattern that matches exactly one package name, pinned to a
// version when one is given.
QString aptExactPackagePattern(const QString &packageName, const QString &version);

// The apt-get install command line: progress on the output the task parses,
// one retry. apt takes dpkg's locks and waits for them at most
// lockWaitSeconds, so that no other package frontend can run dpkg in the
// middle of the transaction.
QStringList aptGetInstallArguments(const QString &package, int lockWaitSeconds);

// The download-only command line of the same install. It takes no lock: many
// downloads run at once into the daemon's own cache, and none of them touches
// dpkg.
QStringList aptGetDownloadArguments(const QString &package);

} // namespace AppStore
