#include "apt_index_update.h"

#include "common/daemon_log.h"
#include "utils/package_name_validator.h"
#include "utils/process_runner.h"
#include "utils/proxy_system.h"
#include "utils/utils.h"

#include <QDateTime>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

#include <atomic>

namespace AppStore {

namespace {

// An index update over a slow mirror can take long; one that runs past this
// is hung, and a hung update would keep the apt-update record at Running
// for good, which stops every later update and every download waiting on it.
constexpr int kDefaultUpdateTimeLimitMs = 30 * 60 * 1000;
constexpr int kListingTimeLimitMs = 120000;
constexpr int kProbeTimeLimitMs = 30000;
constexpr int kDbusTimeoutMs = 5000;
// NetworkManager's NM_STATE_CONNECTED_GLOBAL.
constexpr uint kGlobalConnectivity = 70;

std::atomic<int> updateTimeLimitMs{kDefaultUpdateTimeLimitMs};

// Held while an update marks itself Running and while the clean-up tests the
// record and removes the lists, so that the clean-up never removes lists that
// an update has started to write.
QMutex listsMutex;

QStringList updateEnvironment()
{
    QString userName;
    return QStringList{QStringLiteral("LANGUAGE=en_US")} +
           ProxySystem::proxyEnvironmentList(userName);
}

ProcessResult runAptGetUpdate(const QStringList &arguments)
{
    ProcessSpec spec;
    spec.program = QStringLiteral("apt-get");
    spec.arguments = arguments;
    spec.environmentMode = ProcessSpec::Environment::Replace;
    spec.environment = updateEnvironment();
    spec.timeoutMs = updateTimeLimitMs.load();
    const ProcessResult result = ProcessRunner::run(spec);
    if (result.timedOut)
        qCWarning(daemonLogCategory)
            << "apt-get" << arguments << "hung and was killed after" << spec.timeoutMs << "ms";
    return result;
}

void logFailure(const char *message, const ProcessResult &result)
{
    // Why the tool did not run at all, when it did not.
    const QString reason = result.started ? QString() : u' ' + result.errorString;
    qCWarning(daemonLogCategory).noquote()
        << QLatin1String(message) + reason << "\noutput:" << result.outputText()
        << "\nerror:" << result.errorText();
}

// The lists directory the private configuration names: "lists/" beside the
// configuration files in the daemon's state directory.
QString privateListsDir()
{
    return Utils::stateDir() + QStringLiteral("lists/");
}

// The package name at the start of an "apt list" line ("name/suite ...").
QString upgradableName(const QString &line)
{
    const QStringList fields = line.trimmed().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (fields.isEmpty())
        return {};
    return fields.constFirst().split(QLatin1Char('/'), Qt::SkipEmptyParts).value(0);
}

} // namespace

bool AptIndexUpdate::AptUpdate()
{
    {
        QMutexLocker locker(&listsMutex);
        Utils::startAptUpdateTask();
    }
    const ProcessResult result = runAptGetUpdate(
        {QStringLiteral("-c"), Utils::aptConfigFilePath(), QStringLiteral("update")});

    bool success = false;
    if (result.succeeded()) {
        const uint state = Utils::networkManagerState();
        if (state == kGlobalConnectivity) {
            qCInfo(daemonLogCategory) << "apt-get -c update succeeded";
            success = Utils::isImmutableSystem() ? AptUpdateForImmutable() : true;
        } else {
            qCWarning(daemonLogCategory).noquote()
                << "apt-get -c may failed! Network State:" << state
                << "\noutput:" << result.outputText() << "\nerror:" << result.errorText();
        }
    } else {
        logFailure("apt-get -c update failed:", result);
    }
    Utils::AptUpdateFinish(QDateTime::currentDateTime(), success);
    return success;
}

bool AptIndexUpdate::AptUpdateForImmutable()
{
    const ProcessResult result = runAptGetUpdate({QStringLiteral("update")});
    if (result.succeeded()) {
        qCInfo(daemonLogCategory) << "run apt-get update for immutable succeeded";
        return true;
    }
    logFailure("apt-get update failed:", result);
    return false;
}

QPair<bool, QList<QString>> AptIndexUpdate::getAptUpgradableList()
{
    ProcessSpec spec;
    spec.program = QStringLiteral("apt");
    spec.arguments = {QStringLiteral("list"), QStringLiteral("--upgradable")};
    spec.environmentMode = ProcessSpec::Environment::Replace;
    spec.environment = {QStringLiteral("LANGUAGE=en_US"),
                        QStringLiteral("DEBIAN_FRONTEND=teletype")};
    spec.timeoutMs = kListingTimeLimitMs;
    const ProcessResult result = ProcessRunner::run(spec);
    if (!result.succeeded()) {
        logFailure("Parse apt list --upgradable failed:", result);
        return {false, {}};
    }

    QStringList lines = result.outputText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (lines.isEmpty())
        return {false, {}};
    lines.removeFirst(); // apt's "Listing..." header
    QList<QString> names;
    for (const QString &line : std::as_const(lines)) {
        const QString name = upgradableName(line);
        if (!name.isEmpty())
            names.append(name);
    }
    return {true, names};
}

void AptIndexUpdate::clearCustomSourceListsCache()
{
    QMutexLocker locker(&listsMutex);
    if (Utils::aptUpdateStatus().state != 2)
        return;
    QDir(privateListsDir()).removeRecursively();
}

bool AptIndexUpdate::isCandidateVersionAtLeast(const QString &packageName, const QString &version)
{
    if (!PackageNameValidator::isValidArchQualifiedName(packageName))
        return false;
    ProcessSpec spec;
    spec.program = QStringLiteral("apt-cache");
    spec.arguments = {QStringLiteral("-c"), Utils::aptConfigFilePath(), QStringLiteral("show"),
                      packageName};
    spec.timeoutMs = kProbeTimeLimitMs;
    const ProcessResult result = ProcessRunner::run(spec);
    if (!result.succeeded())
        return false;

    // The first line that names a version, as a text search would find it.
    QString line;
    const QStringList lines = result.outputText().split(QLatin1Char('\n'));
    for (const QString &candidate : lines) {
        if (candidate.contains(QLatin1String("Version"))) {
            line = candidate;
            break;
        }
    }
    if (line.isEmpty() || !line.startsWith(QLatin1String("Version:")))
        return false;
    const QString candidateVersion = line.remove(QStringLiteral("Version: "));
    if (version.isEmpty())
        return true;
    return Utils::compareVersion(candidateVersion, version) >= 0;
}

void AptIndexUpdate::setUpdateTimeLimit(int milliseconds)
{
    updateTimeLimitMs.store(milliseconds > 0 ? milliseconds : kDefaultUpdateTimeLimitMs);
}

} // namespace AppStore
