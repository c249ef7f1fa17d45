#include "aptfixtask.h"

#include "common/daemon_log.h"
#include "task/apt_get_arguments.h"
#include "task/guarded_repair.h"
#include "utils/process_runner.h"
#include "utils/proxy_system.h"
#include "utils/utils.h"

namespace {

// A repair that takes longer than this is stuck, and it holds the only
// install thread.
constexpr int kFixTimeLimitMs = 30 * 60 * 1000;
// apt-get hands the repair to dpkg, which refuses to work without a PATH;
// the rest of the daemon's environment stays out.
const QString kSystemPath =
    QStringLiteral("PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin");

} // namespace

AptFixTask::AptFixTask(const QString &packageName)
    : packageName(packageName)
{
    // Its owner deletes it on its own thread once run() has returned.
    setAutoDelete(false);
}

AptFixTask::~AptFixTask() = default;

void AptFixTask::run()
{
    repair();
    reportRunEnd();
}

void AptFixTask::repair()
{
    qCInfo(daemonLogCategory) << "apt-get install --fix-broken started";
    QString logname;
    const quint32 uid = AppStore::Utils::getLogname(logname);

    AppStore::ProcessSpec spec;
    spec.program = QStringLiteral("apt-get");
    spec.arguments = QStringList{QStringLiteral("-y"), QStringLiteral("-c"),
                                 AppStore::Utils::aptConfigFilePath()} +
                     AppStore::aptKeepConfigFilesOptions() +
                     QStringList{QStringLiteral("install"), QStringLiteral("-f")};
    // No locale reaches apt: its English words tell the guard of the repair
    // that removals are needed.
    spec.environmentMode = AppStore::ProcessSpec::Environment::Replace;
    spec.environment = QStringList{QStringLiteral("PACKAGEKIT_CALLER_UID=") + QString::number(uid)};
    QString user;
    spec.environment += ProxySystem::proxyEnvironmentList(user);
    spec.environment += kSystemPath;
    spec.environment += AppStore::keepConfigFilesEnvironment();
    spec.timeoutMs = kFixTimeLimitMs;

    // A conffile or debconf question fails at once rather than hold the
    // install thread waiting for an answer nobody can give.
    const AppStore::ProcessResult result = AppStore::GuardedRepair::run(packageName, spec).result;

    if (result.succeeded()) {
        Q_EMIT sigAptFixTaskSucceeded(packageName, true);
        qCInfo(daemonLogCategory) << "apt-get install --fix-broken finished";
        return;
    }
    Q_EMIT sigAptFixTaskSucceeded(packageName, false);
    qCWarning(daemonLogCategory).noquote()
        << "apt-get install --fix-broken failed:" << result.errorText() << result.errorString;
    qCInfo(daemonLogCategory).noquote()
        << "apt-get install --fix-broken output:" << result.outputText();
}
