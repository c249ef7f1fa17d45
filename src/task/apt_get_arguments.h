#pragma once

#include <QString>
#include <QStringList>

namespace AppStore {

// The apt-get pattern that matches exactly one package name, pinned to a
// version when one is given.
QString aptExactPackagePattern(const QString &packageName, const QString &version);

// The apt-get command line the install and download tasks share: progress on
// the output the tasks parse, no locking of their own, one retry. downloadOnly
// fetches the archives without installing them.
QStringList aptGetInstallArguments(const QString &package, bool downloadOnly);

} // namespace AppStore
