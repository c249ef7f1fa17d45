#include "task/pre_download_command.h"

#include "task/apt_get_arguments.h"
#include "utils/package_name_validator.h"
#include "utils/proxy_system.h"
#include "utils/utils.h"

namespace AppStore {

bool PreDownloadCommand::isAcceptable(const Apt_Task &task)
{
    return PackageNameValidator::isValidPackageName(task.packageName) &&
           (task.version.isEmpty() || PackageNameValidator::isValidVersion(task.version));
}

QStringList PreDownloadCommand::arguments(const QString &packageName, const QString &version)
{
    // "-m" goes on past a missing archive; the status lines on descriptor 3
    // are read by nobody, the run points that descriptor at /dev/null.
    return {QStringLiteral("-c"),
            Utils::aptConfigFilePath(),
            QStringLiteral("-y"),
            QStringLiteral("-m"),
            QStringLiteral("-o"),
            QStringLiteral("Acquire::Retries=1"),
            QStringLiteral("-o"),
            QStringLiteral("APT::Status-Fd=3"),
            QStringLiteral("-o"),
            QStringLiteral("Debug::NoLocking=1"),
            QStringLiteral("install"),
            QStringLiteral("-d"),
            aptExactPackagePattern(packageName, version)};
}

QStringList PreDownloadCommand::environment(const Apt_Task &task)
{
    QStringList entries{QStringLiteral("LANGUAGE=en_US"),
                        QStringLiteral("PACKAGEKIT_CALLER_UID=") + QString::number(task.uid)};
    QString user = task.loginName;
    entries += ProxySystem::proxyEnvironmentList(user);
    return entries;
}

PreDownloadCommand::Failure PreDownloadCommand::classify(const QString &errorText)
{
    Failure failure;
    failure.refreshLists = (errorText.startsWith(QLatin1String("E: Version")) &&
                            errorText.contains(QLatin1String("was not found"))) ||
                           errorText.startsWith(QLatin1String("E: Unable to locate package"));
    failure.removeArchives =
        errorText.contains(QLatin1String("apt --fix-broken install")) ||
        errorText.contains(QLatin1String("Unable to correct problems, you have held broken "
                                         "packages."));
    failure.purgeReinstreq = errorText.contains(QLatin1String("needs to be reinstalled")) &&
                             errorText.contains(QLatin1String("can't find an archive for it"));
    return failure;
}

} // namespace AppStore
