#include "process_priority.h"

#include "apt_utils/aptcache.h"
#include "common/daemon_log.h"
#include "process_runner.h"

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>

#include <optional>

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace AppStore {

namespace {

const QString kDefaultSystemctl = QStringLiteral("/bin/systemctl");
const QString kUnitName = QStringLiteral("tarnwick-daemon.service");
// systemctl waits on systemd; a stuck manager must not hold start-up.
constexpr int kSystemctlTimeoutMs = 30000;
constexpr int kFallbackNice = 10;

QMutex systemctlMutex;
QString systemctlProgram = kDefaultSystemctl;

QString systemctl()
{
    QMutexLocker locker(&systemctlMutex);
    return systemctlProgram;
}

// The command's simplified output when it exited normally with 0.
std::optional<QString> runSystemctl(const QStringList &arguments)
{
    ProcessSpec spec;
    spec.program = systemctl();
    spec.arguments = arguments;
    spec.timeoutMs = kSystemctlTimeoutMs;
    const ProcessResult result = ProcessRunner::run(spec);
    if (result.timedOut)
        qCWarning(daemonLogCategory) << spec.program << arguments << "timed out";
    if (!result.succeeded())
        return std::nullopt;
    return result.outputText().simplified();
}

} // namespace

void ProcessPriority::setNiceAndPriority(int priority, int scheduler)
{
    Q_UNUSED(scheduler);
    if (priority < -20 || priority > 19) {
        qCWarning(daemonLogCategory).noquote()
            << QStringLiteral("Invalid nice: %1, fallback to nice = 10").arg(priority);
        priority = kFallbackNice;
    }
    if (::setpriority(PRIO_PROCESS, id_t(::getpid()), priority) == -1)
        qCWarning(daemonLogCategory) << "setpriority error!";

    qCDebug(daemonLogCategory)
        << "Using scheduling policy: SCHED_OTHER, must be assigned the static priority = 0";
    sched_param param{};
    param.sched_priority = 0;
    if (::sched_setscheduler(::getpid(), SCHED_OTHER, &param) == -1)
        qCWarning(daemonLogCategory) << "setscheduler error!";
    qCDebug(daemonLogCategory).noquote() << getNiceAndPriority();
}

QString ProcessPriority::getNiceAndPriority()
{
    // getpriority may return -1 as a real value; errno tells it apart, and
    // the text shows the value either way.
    const int nice = ::getpriority(PRIO_PROCESS, id_t(::getpid()));
    const int policy = ::sched_getscheduler(::getpid());
    return QStringLiteral("Current Nice and Priority: priority = %1, scheduler = %2")
        .arg(nice)
        .arg(policy);
}

void ProcessPriority::enableSystemdService()
{
    const QString enabled =
        runSystemctl({QStringLiteral("is-enabled"), kUnitName}).value_or(QString());
    if (enabled == QLatin1String("enabled") || enabled == QLatin1String("enabled-runtime"))
        return;

    if (!runSystemctl({QStringLiteral("--runtime"), QStringLiteral("enable"), kUnitName}))
        qCWarning(daemonLogCategory).noquote() << kUnitName + QStringLiteral(" enable failed");

    if (runSystemctl({QStringLiteral("is-active"), kUnitName}).value_or(QString()) ==
        QLatin1String("active"))
        return;
    qCDebug(daemonLogCategory) << "Clearing custom source lists cache...";
    AptCache::clearCustomSourceListsCache();
}

void ProcessPriority::setSystemctlProgram(const QString &path)
{
    QMutexLocker locker(&systemctlMutex);
    systemctlProgram = path.isEmpty() ? kDefaultSystemctl : path;
}

} // namespace AppStore
