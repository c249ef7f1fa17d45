#include "task/apt_get_arguments.h"

#include "apt_utils/aptcache.h"
#include "utils/utils.h"

namespace AppStore {

QString aptExactPackagePattern(const QString &packageName, const QString &version)
{
    QString escaped = packageName;
    AptCache::escapeRegexChars(escaped);
    QString pattern = QLatin1Char('^') + escaped + QLatin1Char('$');
    if (!version.isEmpty())
        pattern += QLatin1Char('=') + version;
    return pattern;
}

QStringList aptGetInstallArguments(const QString &package, bool downloadOnly)
{
    QStringList arguments = {QStringLiteral("-c"), Utils::aptConfigFilePath(),
                             QStringLiteral("-y")};
    if (downloadOnly)
        arguments.append(QStringLiteral("-d"));
    arguments << QStringLiteral("-o") << QStringLiteral("Acquire::Retries=1")
              << QStringLiteral("-o") << QStringLiteral("APT::Status-Fd=-1") << QStringLiteral("-o")
              << QStringLiteral("Debug::acquire::progress=true") << QStringLiteral("-o")
              << QStringLiteral("Dpkg::Progress=true") << QStringLiteral("-o")
              << QStringLiteral("Debug::NoLocking=1")
              << QStringLiteral("--allow-change-held-packages") << QStringLiteral("install")
              << QStringLiteral("--") << package;
    return arguments;
}

} // namespace AppStore
