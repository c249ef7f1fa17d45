#include "task/apt_get_arguments.h"

#include "apt_utils/aptcache.h"
#include "apt_utils/package_protection.h"
#include "utils/utils.h"

#include <algorithm>

namespace AppStore {

namespace {

QStringList commonArguments(bool downloadOnly)
{
    QStringList arguments = {QStringLiteral("-c"), Utils::aptConfigFilePath(),
                             QStringLiteral("-y")};
    if (downloadOnly)
        arguments.append(QStringLiteral("-d"));
    arguments << QStringLiteral("-o") << QStringLiteral("Acquire::Retries=1")
              << QStringLiteral("-o") << QStringLiteral("APT::Status-Fd=-1") << QStringLiteral("-o")
              << QStringLiteral("Debug::acquire::progress=true") << QStringLiteral("-o")
              << QStringLiteral("Dpkg::Progress=true");
    return arguments;
}

QStringList withPackage(QStringList arguments, const QString &package)
{
    arguments << QStringLiteral("install") << QStringLiteral("--") << package;
    return arguments;
}

} // namespace

QString aptExactPackagePattern(const QString &packageName, const QString &version)
{
    QString escaped = packageName;
    AptCache::escapeRegexChars(escaped);
    QString pattern = QLatin1Char('^') + escaped + QLatin1Char('$');
    if (!version.isEmpty())
        pattern += QLatin1Char('=') + version;
    return pattern;
}

QString aptLockTimeoutOption(int lockWaitSeconds)
{
    // apt reads 0 as "do not wait": a bound of less than a second still waits.
    return QStringLiteral("DPkg::Lock::Timeout=%1").arg(std::max(lockWaitSeconds, 1));
}

QStringList aptGetInstallArguments(const QString &package, int lockWaitSeconds, bool mayRemove)
{
    QStringList arguments = commonArguments(false)
                            << QStringLiteral("-o") << aptLockTimeoutOption(lockWaitSeconds)
                            << aptKeepConfigFilesOptions() << QStringLiteral("-o")
                            << PackageProtection::keepUnneededOption();
    if (!mayRemove)
        arguments << QStringLiteral("-o") << PackageProtection::noRemovalOption();
    return withPackage(arguments, package);
}

QStringList aptKeepConfigFilesOptions()
{
    QStringList options;
    for (const QString &option : dpkgKeepConfigFilesOptions())
        options << QStringLiteral("-o") << QStringLiteral("Dpkg::Options::=") + option;
    return options;
}

// confdef takes the package's new file where the administrator changed
// nothing; confold keeps the changed one where dpkg would otherwise ask.
QStringList dpkgKeepConfigFilesOptions()
{
    return {QStringLiteral("--force-confdef"), QStringLiteral("--force-confold")};
}

QString keepConfigFilesEnvironment()
{
    return QStringLiteral("UCF_FORCE_CONFFOLD=1");
}

QStringList aptGetDownloadArguments(const QString &package)
{
    return withPackage(commonArguments(true)
                           << QStringLiteral("-o") << QStringLiteral("Debug::NoLocking=1"),
                       package);
}

} // namespace AppStore
