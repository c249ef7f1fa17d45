#include "task/aptinstallandremovetask.h"

#include "apt_utils/aptcache.h"
#include "apt_utils/dpkg_query.h"
#include "apt_utils/package_protection.h"
#include "common/app_brief_info.h"
#include "common/daemon_log.h"
#include "common/notify_status.h"
#include "database/appstoredb.h"
#include "task/apt_get_arguments.h"
#include "task/archive_size_bound.h"
#include "task/dpkg_lock_wait.h"
#include "task/guarded_repair.h"
#include "utils/package_name_validator.h"
#include "utils/proxy_system.h"
#include "utils/utils.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <utility>

using AppStore::ProcessResult;
using AppStore::ProcessRunner;
using AppStore::ProcessSpec;
using AppStore::Utils;
using Presence = AppStore::PackageDetails::Presence;

namespace {

const QString kSilentPurge = QStringLiteral("SilentPurge");
const QString kSystemPath = QStringLiteral("PATH=/usr/sbin:/usr/bin:/sbin:/bin");

constexpr int kSideCommandTimeoutMs = 30000;
// A repair of dpkg's state may run maintainer scripts: cut short, it would
// leave the package half-done.
constexpr int kDpkgRepairTimeoutMs = 10 * 60 * 1000;
constexpr int kLockReleaseWaitMs = 60000;

// A few hundred KiB of the newest output are plenty for any failure report.
constexpr qsizetype kOutputTailLimit = 256 * 1024;
constexpr qsizetype kKeptLinesLimit = 64 * 1024;

// What the failure classification and the repairs look for in the output,
// and the line that names why an unpack failed, which comes right after.
QStringList repairMarkers()
{
    return {QStringLiteral("dpkg: error processing archive"),
            QStringLiteral("(--unpack)"),
            QStringLiteral("trying to overwrite"),
            QStringLiteral("error executing hook"),
            QStringLiteral("/usr/sbin/velkor-pkg-install-hook -e hc-verifysign"),
            QStringLiteral("/var/lib/dpkg/updates"),
            QStringLiteral("Preparing to unpack"),
            QStringLiteral("准备解压")};
}

QStringList fixBrokenArguments()
{
    return QStringList{QStringLiteral("-c"), Utils::aptConfigFilePath(),
                       QStringLiteral("--fix-broken"), QStringLiteral("install"),
                       QStringLiteral("-y")} +
           AppStore::aptKeepConfigFilesOptions();
}

bool hasAll(const QString &text, std::initializer_list<const char *> parts)
{
    return std::all_of(parts.begin(), parts.end(),
                       [&text](const char *part) { return text.contains(QLatin1String(part)); });
}

// A process that this daemon started, directly or through its children.
bool isOwnDescendant(pid_t pid)
{
    const pid_t self = ::getpid();
    for (int depth = 0; depth < 64 && pid > 1; ++depth) {
        pid = pid_t(AppStore::Utils::parentProcessId(pid));
        if (pid == self)
            return true;
    }
    return false;
}

// Ended by itself, whatever its exit code: not crashed, killed or cut off.
bool ranNormally(const ProcessResult &result)
{
    return result.started && !result.crashed && !result.timedOut;
}

QString installStatusJson()
{
    return notifyStatusToJsonString(AppStore::NotifyStatus());
}

} // namespace

AptInstallAndRemoveTask::AptInstallAndRemoveTask(const Apt_Task &task, QObject *parent)
    : m_task(task)
    , m_bIsInstall(task.taskType == 0)
    , m_output(kOutputTailLimit, repairMarkers(), QStringLiteral("dpkg: error processing archive"),
               kKeptLinesLimit)
    , m_promptText(kOutputTailLimit, {}, {}, 0)
    , m_sourceId(task.sourceId)
    , m_packageName(task.packageName)
{
    if (parent)
        setParent(parent);
    // Its owner deletes it on its own thread once run() has returned, so an
    // answer being relayed there never meets a freed task.
    setAutoDelete(false);
}

AptInstallAndRemoveTask::~AptInstallAndRemoveTask()
{
    qCDebug(daemonLogCategory) << Q_FUNC_INFO << m_packageName << QThread::currentThread();
    safeDeleteTimer();
    safeDeleteProcess();
}

void AptInstallAndRemoveTask::setPromptSilenceInterval(int milliseconds)
{
    m_promptSilenceMs = milliseconds;
}

void AptInstallAndRemoveTask::setDpkgWaitLimit(int milliseconds)
{
    m_dpkgWaitLimitMs = milliseconds;
}

void AptInstallAndRemoveTask::setDebconfPreseed(std::shared_ptr<AppStore::DebconfPreseed> preseed)
{
    m_preseed = std::move(preseed);
}

void AptInstallAndRemoveTask::run()
{
    runInstallOrPurge();
    reportRunEnd();
}

void AptInstallAndRemoveTask::runInstallOrPurge()
{
    qCDebug(daemonLogCategory) << Q_FUNC_INFO << m_task.packageName << QThread::currentThread();
    QObject context;
    {
        QMutexLocker locker(&m_contextMutex);
        m_runContext = &context;
    }
    QEventLoop loop;
    m_eventLoop = &loop;

    m_timer = new QTimer;
    m_timer->setInterval(m_promptSilenceMs);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, &context, [this] { OnTimeOut(); });
    // The task object itself lives on the thread that created it; the slot
    // runs where the answer is relayed and hands the answer on to this thread.
    connect(this, &AptInstallAndRemoveTask::sigAptInputReceived, this,
            &AptInstallAndRemoveTask::OnAptInputReceivedSlot, Qt::DirectConnection);

    if (m_bIsInstall) {
        if (m_task.packageMode == 1)
            Utils::setWineInstalling(true);
        startFirstInstallQuery();
        startInstallTask();
    } else {
        if (m_task.sourceId != kSilentPurge)
            Q_EMIT sigStartPurge(m_task.sourceId, m_task.packageName);
        startPurgeTask();
    }

    if (!m_isFinished)
        loop.exec();

    {
        QMutexLocker locker(&m_contextMutex);
        m_runContext = nullptr;
    }
    m_eventLoop = nullptr;
    safeDeleteTimer();
    safeDeleteProcess();
    // Nothing runs this thread's event loop after run(): what was handed to
    // deleteLater goes now, while the objects' thread is still this one.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    disconnect(this, &AptInstallAndRemoveTask::sigAptInputReceived, this,
               &AptInstallAndRemoveTask::OnAptInputReceivedSlot);
}

bool AptInstallAndRemoveTask::isOtherDpkgRunning()
{
    return AppStore::DpkgLockWait::isHeldByOther();
}

// apt waits for dpkg's locks as long as the start waits for another run.
int AptInstallAndRemoveTask::lockWaitSeconds() const
{
    return AppStore::DpkgLockWait::aptLockTimeoutSeconds(m_dpkgWaitLimitMs);
}

bool AptInstallAndRemoveTask::waitForDpkg()
{
    if (!AppStore::DpkgLockWait::waitForRelease(m_dpkgWaitLimitMs)) {
        qCWarning(daemonLogCategory) << Q_FUNC_INFO << "dpkg stayed busy for" << m_dpkgWaitLimitMs
                                     << "ms; giving up" << m_task.packageName;
        return false;
    }
    qCDebug(daemonLogCategory) << Q_FUNC_INFO << "package_name:" << m_task.packageName
                               << "package_version:" << m_task.version;
    return true;
}

ProcessRunner *AptInstallAndRemoveTask::createProcess(bool readOutput)
{
    auto *process = new ProcessRunner;
    // The task object lives on another thread: every connection is direct so
    // that the handlers run here, on the process's own thread.
    if (readOutput) {
        connect(
            process, &ProcessRunner::standardOutputData, process,
            [this](const QByteArray &chunk) {
                m_unreadOutput += chunk;
                OnReadyReadAllStandardOutput();
            },
            Qt::DirectConnection);
    }
    connect(
        process, &ProcessRunner::finished, process,
        [this](const ProcessResult &result) { handleFinished(result); }, Qt::DirectConnection);
    return process;
}

bool AptInstallAndRemoveTask::startProcess(const ProcessSpec &spec)
{
    m_lastResult = ProcessResult();
    m_questionPending = false;
    // A prompt shown again is this run's: an earlier run's question is gone.
    m_promptText.clear();
    if (m_process->start(spec))
        return true;
    qCWarning(daemonLogCategory) << Q_FUNC_INFO << "cannot start" << spec.program
                                 << m_process->result().errorString;
    // Judged like any failed run.
    handleFinished(m_process->result());
    return false;
}

void AptInstallAndRemoveTask::handleFinished(const ProcessResult &result)
{
    // The silence of a run that ended asks nothing, and a repair may outlast
    // the bound; the next run's output starts the timer again.
    if (m_timer)
        m_timer->stop();
    m_lastResult = result;
    const bool crashed = !result.started || result.crashed || result.timedOut;
    const QProcess::ExitStatus status = crashed ? QProcess::CrashExit : QProcess::NormalExit;
    if (m_bIsInstall)
        OnInstallFinishedSlot(result.exitCode, status);
    else
        OnPurgeFinishedSlot(result.exitCode, status);
}

// A failed first install is purged: a package dpkg holds in any state, or a
// query that cannot tell, makes no first install.
void AptInstallAndRemoveTask::startFirstInstallQuery()
{
    m_wasInstalled = std::make_unique<AppStore::SideQuery<bool>>(
        [name = m_task.packageName] { return AptCache::presence(name, 0) != Presence::Absent; });
}

void AptInstallAndRemoveTask::settleFirstInstall()
{
    if (!m_wasInstalled)
        return;
    m_task.isFirstInstall = !m_wasInstalled->take();
    m_wasInstalled.reset();
}

void AptInstallAndRemoveTask::startInstallTask()
{
    if (!AppStore::PackageNameValidator::isValidPackageName(m_task.packageName) ||
        (!m_task.version.isEmpty() &&
         !AppStore::PackageNameValidator::isValidVersion(m_task.version))) {
        qCWarning(daemonLogCategory)
            << Q_FUNC_INFO << "refusing to install" << m_task.packageName << m_task.version;
        settleFirstInstall();
        finishInstall(false, AppStore::NoStatusCode);
        return;
    }
    if (!waitForDpkg()) {
        settleFirstInstall();
        finishInstall(false, AppStore::NoStatusCode);
        return;
    }
    m_progressText = QStringLiteral("0");
    if (!m_process)
        m_process = createProcess(true);

    m_preseed->apply();
    // Known before apt-get can change the answer.
    settleFirstInstall();

    // An approval holds for the one run after its simulation: a retry after
    // a repair meets another state of dpkg and is looked at again.
    startProcess(installSpec(std::exchange(m_mayRemove, false)));
}

// Until a simulation showed that the removals an install needs take nothing
// the system is built on, the install may remove nothing.
ProcessSpec AptInstallAndRemoveTask::installSpec(bool mayRemove) const
{
    const bool fromArchive = !m_task.channelId.isEmpty() || m_task.isSpecificPkg == 1;
    QString package;
    if (fromArchive) {
        package = Utils::cacheDir() + QStringLiteral("archives/") + m_task.packageName +
                  QStringLiteral(".deb");
    } else {
        package = AppStore::aptExactPackagePattern(m_task.packageName, m_task.version);
    }

    ProcessSpec spec;
    spec.program = QStringLiteral("apt-get");
    spec.arguments = AppStore::aptGetInstallArguments(package, lockWaitSeconds(), mayRemove);
    spec.environmentMode = ProcessSpec::Environment::Replace;
    QString loginName = m_task.loginName;
    spec.environment =
        QStringList{QStringLiteral("LANGUAGE=en_US"),
                    QStringLiteral("PACKAGEKIT_CALLER_UID=") + QString::number(m_task.uid),
                    QStringLiteral("DEBIAN_FRONTEND=teletype"),
                    AppStore::keepConfigFilesEnvironment()} +
        ProxySystem::proxyEnvironmentList(loginName);
    spec.timeoutMs = AppStore::kAptInstallRunLimitMs;
    return spec;
}

void AptInstallAndRemoveTask::startPurgeTask()
{
    // A half-done package is still on disk: only one dpkg does not hold is
    // already removed, and a removal is not reported on a guess.
    const Presence presence = AptCache::presence(m_task.packageName, 0);
    if (presence == Presence::Unknown) {
        qCWarning(daemonLogCategory)
            << Q_FUNC_INFO << "cannot tell whether" << m_task.packageName << "is installed";
        endPurge(false);
        return;
    }
    if (presence == Presence::Absent) {
        // A retry may find that the failed run took the package after all.
        recordRemoval();
        if (m_task.sourceId != kSilentPurge)
            Q_EMIT sigPurgeTaskFinished(m_task, true);
        safeQuitAndDeleteEventLoop();
        m_isFinished = true;
        return;
    }
    if (!AppStore::PackageNameValidator::isValidPackageName(m_task.packageName) ||
        (!m_task.version.isEmpty() &&
         !AppStore::PackageNameValidator::isValidVersion(m_task.version))) {
        qCWarning(daemonLogCategory)
            << Q_FUNC_INFO << "refusing to purge" << m_task.packageName << m_task.version;
        endPurge(false);
        return;
    }
    if (!waitForDpkg()) {
        endPurge(false);
        return;
    }
    // Asked once dpkg is free: the simulation sees what the purge will meet.
    ProcessSpec spec = purgeSpec();
    // A retry meets a package a failed run may have half removed: the
    // entries read before the first run stand.
    if (!m_shortcuts)
        m_shortcuts = std::make_unique<AppStore::PendingShortcutRemoval>(m_task.packageName,
                                                                         m_task.loginName, 1);
    const QString refusal = AppStore::PackageProtection::purgeRefusal(m_task.packageName, spec);
    if (!refusal.isEmpty()) {
        qCWarning(daemonLogCategory).noquote()
            << "refusing to remove" << m_task.packageName << "because" << refusal;
        endPurge(false);
        return;
    }
    Q_EMIT sigAptOperationDataChange(m_task, QStringLiteral("purging"));
    if (!m_process)
        m_process = createProcess(false);
    m_purgeSolverOption = AppStore::PackageProtection::solverOption(spec);
    // The purge takes the files that name the shortcuts.
    m_shortcuts->awaitEntries();
    if (startProcess(spec) && m_process) {
        // Nobody answers a purge's prompts: they read end-of-file instead of
        // holding the only install thread.
        m_process->closeWriteChannel();
    }
}

ProcessSpec AptInstallAndRemoveTask::purgeSpec() const
{
    QString package = m_task.packageName;
    if (!m_task.version.isEmpty())
        package += QLatin1Char('=') + m_task.version;
    ProcessSpec spec;
    spec.program = QStringLiteral("apt-get");
    spec.arguments = {QStringLiteral("-y"),
                      QStringLiteral("-o"),
                      QStringLiteral("APT::Status-Fd=3"),
                      QStringLiteral("-o"),
                      AppStore::aptLockTimeoutOption(lockWaitSeconds()),
                      QStringLiteral("-o"),
                      AppStore::PackageProtection::keepUnneededOption(),
                      QStringLiteral("purge"),
                      QStringLiteral("--"),
                      package};
    // Nobody reads apt's status lines; they must not land in whatever the
    // daemon holds as its descriptor 3.
    spec.nullDescriptors = {3};
    spec.environmentMode = ProcessSpec::Environment::Replace;
    spec.environment = {QStringLiteral("LANGUAGE=en_US"),
                        QStringLiteral("PACKAGEKIT_CALLER_UID=") + QString::number(m_task.uid),
                        QStringLiteral("DEBIAN_FRONTEND=teletype")};
    spec.timeoutMs = AppStore::kAptPurgeRunLimitMs;
    return spec;
}

void AptInstallAndRemoveTask::safeDeleteTimer()
{
    if (!m_timer)
        return;
    qCDebug(daemonLogCategory) << Q_FUNC_INFO << m_task.packageName;
    m_timer->disconnect();
    m_timer->stop();
    m_timer->deleteLater();
    m_timer = nullptr;
}

void AptInstallAndRemoveTask::safeDeleteProcess()
{
    if (!m_process)
        return;
    qCDebug(daemonLogCategory) << Q_FUNC_INFO << m_task.packageName;
    m_process->disconnect();
    m_process->kill();
    // May be inside the process's own finished signal: deleted once that returned.
    m_process->deleteLater();
    m_process = nullptr;
}

void AptInstallAndRemoveTask::safeQuitAndDeleteEventLoop()
{
    if (m_task.packageMode == 1)
        Utils::setWineInstalling(false);
    m_isFinished = true;
    if (!m_eventLoop)
        return;
    qCDebug(daemonLogCategory) << Q_FUNC_INFO << m_task.packageName;
    // The loop belongs to run(), which releases it when exec() returns.
    m_eventLoop->quit();
    m_eventLoop = nullptr;
}

void AptInstallAndRemoveTask::OnAptInputReceivedSlot(Apt_Task task, QString input)
{
    qCDebug(daemonLogCategory) << Q_FUNC_INFO << task.packageName << "," << task.version;
    if (task.sourceId != m_sourceId || task.packageName != m_packageName)
        return;
    // This runs on the relaying thread; the process may be replaced or gone
    // there at any moment, so the answer is handed to the run's own thread.
    // Queued calls to one receiver keep their order.
    QMutexLocker locker(&m_contextMutex);
    if (!m_runContext)
        return;
    QMetaObject::invokeMethod(
        m_runContext, [this, input] { handleAptInput(input); }, Qt::QueuedConnection);
}

void AptInstallAndRemoveTask::handleAptInput(const QString &input)
{
    if (!m_process || !m_process->isRunning())
        return;
    if (input.contains(QLatin1String("[Recovering...]"))) {
        emitPromptState(m_promptText.text());
        return;
    }
    // One line answers the question the client was shown. Anything else would
    // be read by whatever asks next, and dpkg's questions offer a shell.
    if (!m_questionPending || input.contains(QLatin1Char('\n')) ||
        input.contains(QLatin1Char('\r'))) {
        qCWarning(daemonLogCategory)
            << Q_FUNC_INFO << "dropping an answer for" << m_task.packageName
            << ": no question is pending, or it is not one line";
        return;
    }
    m_questionPending = false;
    // Buffered and written as the event loop runs: never a blocking wait.
    if (!m_process->write(input.toUtf8() + '\n'))
        qCWarning(daemonLogCategory)
            << Q_FUNC_INFO << "answer not written for" << m_task.packageName;
}

void AptInstallAndRemoveTask::emitOutputMessage(const QString &content)
{
    Q_EMIT sigAptOutputRead(
        m_task.sourceId, m_task.packageName,
        aptOutputToJsonString(QString(), content, QString(), AppStore::NotifyStatus(), QString()));
}

void AptInstallAndRemoveTask::emitPromptState(const QString &firstContent)
{
    emitOutputMessage(firstContent);
    emitOutputMessage(QStringLiteral("\n[Showing...]\n"));
    emitOutputMessage(QStringLiteral("\n[SettingUp]=%1\n").arg(m_settingUpName));
}

void AptInstallAndRemoveTask::OnReadyReadAllStandardOutput()
{
    if (!m_process)
        return;
    // Whatever asked has moved on.
    m_questionPending = false;
    if (m_timer)
        m_timer->start();
    // One decoder for the whole run: a character split between two chunks
    // comes out whole.
    const QString chunk = m_outputDecoder.decode(m_unreadOutput);
    m_unreadOutput.clear();
    if (chunk.isEmpty())
        return;
    m_output.append(chunk);
    m_promptText.append(chunk + QStringLiteral("\n[NewLine...]\n"));
    m_settingUpName = m_task.packageName;

    const QStringList lines = chunk.split(QLatin1Char('\n'));
    for (const QString &rawLine : lines) {
        const QString line = rawLine.trimmed();
        if (line.isEmpty())
            continue;
        if (line.startsWith(QLatin1String("Setting up "))) {
            const QStringList words = line.split(QLatin1Char(' '));
            if (words.size() > 2)
                m_settingUpName = words.at(2);
        }
        if (line.startsWith(QLatin1String("Progress: ["))) {
            const QStringList parts = line.split(QLatin1Char('['));
            if (parts.size() > 1)
                m_progressText = QString(parts.at(1)).remove(QLatin1String("%]")).trimmed();
        }
    }
    emitOutputMessage(chunk);

    bool ok = false;
    const int percent = std::clamp(m_progressText.toInt(&ok), 0, 100);
    const qint64 total = AppStore::boundedArchiveSize(m_task.totalSize);
    m_task.downloadedSize =
        ok ? qint64(std::floor(double(percent) * double(total) / 100.0)) : qint64(0);
    if (m_task.downloadedSize < total)
        Q_EMIT sigInstallProgress(m_task.sourceId, m_task.packageName, total, m_task.downloadedSize,
                                  installStatusJson());
}

void AptInstallAndRemoveTask::OnTimeOut()
{
    Q_EMIT sigAptOperationDataChange(m_task, QStringLiteral("pending"));
    m_questionPending = true;
    emitOutputMessage(QStringLiteral("\n[Showing...]\n"));
    emitOutputMessage(QStringLiteral("\n[SettingUp]=%1\n").arg(m_settingUpName));
}

// ---- install completion ----

void AptInstallAndRemoveTask::finishInstall(bool ok, AppStore::DownloadStatusCode code)
{
    Q_EMIT sigInstallTaskFinished(m_task, ok, code);
    safeQuitAndDeleteEventLoop();
}

// Only a package that dpkg reports fully installed counts: a failed
// maintainer script leaves it unpacked or half-configured. Null otherwise.
QString AptInstallAndRemoveTask::fullyInstalledVersion() const
{
    const ProcessResult result = AppStore::DpkgQuery::runForPackage(
        {QStringLiteral("-W"), QStringLiteral("-f=${Status}\\n${Version}")}, m_task.packageName);
    if (!result.succeeded())
        return QString();
    const QStringList lines = result.outputText().split(QLatin1Char('\n'));
    if (!lines.value(0).endsWith(QLatin1String(" ok installed")))
        return QString();
    return lines.value(1).trimmed();
}

// A task without a version asks for whatever version apt chose.
bool AptInstallAndRemoveTask::isInstalledAsRequested() const
{
    const QString installed = fullyInstalledVersion();
    return !installed.isNull() &&
           (m_task.version.isEmpty() || Utils::compareVersion(installed, m_task.version) == 0);
}

void AptInstallAndRemoveTask::OnInstallFinishedSlot(int exitCode, QProcess::ExitStatus exitStatus)
{
    qCDebug(daemonLogCategory) << Q_FUNC_INFO << exitCode << exitStatus << m_task.sourceId
                               << m_task.packageName;
    if (exitCode == 0 && exitStatus == QProcess::NormalExit) {
        if (isInstalledAsRequested()) {
            qCInfo(daemonLogCategory) << "AptInstall::OnInstallFinishedSlot succeeded";
            if (!Utils::isKeepArchives())
                AptCache::delTheInstallationPacakge(m_output.text(), 1, Utils::cacheDir());
            finishInstall(true, AppStore::NoStatusCode);
            return;
        }
        // apt-get also ends well when the requested version is not there.
        qCWarning(daemonLogCategory) << Q_FUNC_INFO << "apt-get ended well but"
                                     << m_task.packageName << m_task.version << "is not installed";
    }
    const QString output = m_output.text();
    const QString error = m_lastResult.errorText();
    qCWarning(daemonLogCategory).noquote() << "AptInstall::OnInstallFinishedSlot failed:" << error;
    qCInfo(daemonLogCategory).noquote() << "AptInstall::OnInstallFinishedSlot output:" << output;
    // apt-get stopped before dpkg ran: nothing to repair.
    switch (AppStore::PackageProtection::reviewFailedInstall(m_task.packageName, error,
                                                             installSpec(true))) {
    case AppStore::PackageProtection::RunReview::Refused:
        finishInstall(false, AppStore::NoStatusCode);
        return;
    case AppStore::PackageProtection::RunReview::RunAgain:
        m_mayRemove = true;
        safeDeleteProcess();
        startInstallTask();
        return;
    case AppStore::PackageProtection::RunReview::Other:
        break;
    }
    runInstallRepairs(output, error);
}

AptInstallAndRemoveTask::Outcome AptInstallAndRemoveTask::runInstallRepairs(const QString &output,
                                                                            const QString &error)
{
    const QString cacheDir = Utils::cacheDir();
    const bool unpackError = hasAll(output, {"dpkg: error processing archive", "(--unpack)"});
    if (unpackError && hasAll(output, {"error executing hook",
                                       "/usr/sbin/velkor-pkg-install-hook -e hc-verifysign"})) {
        finishInstall(false, AppStore::SignatureRefused);
        return Outcome::Done;
    }
    if (unpackError) {
        AptCache::rmreinstreqPackage(output, 1, cacheDir, m_task.uid);
        AptCache::delTheInstallationPacakge(output, 2, cacheDir);
    }
    if (error.contains(QLatin1String("/usr/bin/velkor-apt-install-control-check.sh"))) {
        finishInstall(false, AppStore::InstallControlRefused);
        return Outcome::Done;
    }
    if (hasAll(error, {"needs to be reinstalled", "can't find an archive for it"}))
        AptCache::rmreinstreqPackage(error, 2, cacheDir, m_task.uid);
    if (error.contains(QLatin1String("apt --fix-broken install")) &&
        m_fixBrokenCount < m_maxRetryCount) {
        ++m_fixBrokenCount;
        if (fixBrokenDependencies().result.succeeded()) {
            safeDeleteProcess();
            startInstallTask();
            return Outcome::Done;
        }
        qCWarning(daemonLogCategory)
            << "AptInstall::OnInstallFinishedSlot Apt Fix-Broken Install Failed";
    }
    if (error.contains(QLatin1String(
            "debconf: delaying package configuration, since apt-utils is not installed"))) {
        installVerdict(QStringLiteral("debconf error but application is installed"),
                       QStringLiteral("debconf error and application is not installed"));
        return Outcome::Done;
    }
    if (error.contains(QLatin1String("/var/cache/debconfig/config.dat")))
        AptCache::killAptInstallProcess();
    if (error.contains(QLatin1String("/var/cache/debconf/config.dat is locked")) &&
        killStaleDebconfHolders(true) == Outcome::Done)
        return Outcome::Done;

    safeDeleteProcess();

    if ((output.contains(QLatin1String("/var/lib/dpkg/updates")) ||
         error.contains(QLatin1String("/var/lib/dpkg/updates"))) &&
        m_updatesDirCount < m_maxRetryCount) {
        ++m_updatesDirCount;
        qCDebug(daemonLogCategory) << "apt-get install: /var/lib/dpkg/updates/ parsing error!";
        // dpkg applies its journal itself; deleting it would lose package state.
        if (configurePending().succeeded()) {
            startInstallTask();
            return Outcome::Done;
        }
    }
    if (error.contains(QLatin1String("lock")) && m_lockCount < m_maxRetryCount) {
        ++m_lockCount;
        // The lock is another run's, never ours to delete: wait for it.
        if (waitForDpkgLockRelease(kLockReleaseWaitMs) && ranNormally(configurePending())) {
            startInstallTask();
            return Outcome::Done;
        }
    }
    if ((error.contains(QLatin1String("--configure")) ||
         error.contains(QLatin1String("/usr/lib/dpkg-db/updates"))) &&
        m_configureCount < m_maxRetryCount) {
        ++m_configureCount;
        configurePending();
        qCDebug(daemonLogCategory) << "install second configure of pending packages";
        startInstallTask();
        return Outcome::Done;
    }
    if (error.contains(QLatin1String("E: Sub-process /usr/bin/dpkg returned an error code")) &&
        reinstallDownloadedArchive() == Outcome::Done)
        return Outcome::Done;

    installVerdict(
        QStringLiteral("Dpkg Error Occurred, Assume %1 Installed...").arg(m_task.packageName),
        QStringLiteral("Dpkg Error Occurred! %1 Installation Failed!").arg(m_task.packageName));
    return Outcome::Done;
}

void AptInstallAndRemoveTask::installVerdict(const QString &installedMessage,
                                             const QString &failedMessage)
{
    if (isInstalledAsRequested()) {
        qCDebug(daemonLogCategory).noquote() << installedMessage;
        Q_EMIT sigInstallTaskFinished(m_task, true, AppStore::NoStatusCode);
        if (!Utils::isKeepArchives())
            AptCache::delTheInstallationPacakge(m_output.text(), 1, Utils::cacheDir());
        safeQuitAndDeleteEventLoop();
        return;
    }
    qCWarning(daemonLogCategory).noquote() << failedMessage;
    Q_EMIT sigInstallTaskFinished(m_task, false, AppStore::NoStatusCode);
    purgeFailedFirstInstall();
    safeQuitAndDeleteEventLoop();
}

// A failed first install is taken out again. A failed upgrade leaves the
// version the user had, and a package dpkg reports installed at any version
// works: purging either would delete a working application and its
// configuration.
void AptInstallAndRemoveTask::purgeFailedFirstInstall()
{
    if (!m_task.isFirstInstall) {
        qCWarning(daemonLogCategory)
            << Q_FUNC_INFO << "keeping the installed" << m_task.packageName;
        return;
    }
    const QString installed = fullyInstalledVersion();
    if (!installed.isNull()) {
        qCWarning(daemonLogCategory)
            << Q_FUNC_INFO << "keeping" << m_task.packageName << installed << "that dpkg installed";
        return;
    }
    if (!AppStore::PackageNameValidator::isValidPackageName(m_task.packageName))
        return;
    runSideCommand(QStringLiteral("dpkg"),
                   {QStringLiteral("-P"), QStringLiteral("--force-remove-reinstreq"),
                    QStringLiteral("--"), m_task.packageName},
                   true, kDpkgRepairTimeoutMs);
}

// The archive path comes from the task, never from tool output, and must be
// the regular file this daemon downloaded.
AptInstallAndRemoveTask::Outcome AptInstallAndRemoveTask::reinstallDownloadedArchive()
{
    QString text = m_output.text();
    if (text.endsWith(QLatin1String("\r\n")))
        text.chop(2);
    const QString lastLine = text.split(QStringLiteral("\r\n")).constLast();
    const QString archiveDir = Utils::cacheDir() + QStringLiteral("archives/");
    if (!lastLine.contains(archiveDir))
        return Outcome::Continue;
    const QString archive = archiveDir + m_task.packageName + QStringLiteral(".deb");
    const QFileInfo info(archive);
    if (!AppStore::PackageNameValidator::isValidPackageName(m_task.packageName) || !info.isFile() ||
        info.isSymLink())
        return Outcome::Continue;
    const ProcessResult result = runSideCommand(
        QStringLiteral("dpkg"),
        QStringList{QStringLiteral("-i"), QStringLiteral("--force-overwrite")} +
            AppStore::dpkgKeepConfigFilesOptions() + QStringList{QStringLiteral("--"), archive},
        true, kDpkgRepairTimeoutMs);
    if (!result.succeeded() || !isInstalledAsRequested())
        return Outcome::Continue;
    finishInstall(true, AppStore::NoStatusCode);
    return Outcome::Done;
}

// Only stale processes of this daemon's own package runs are ended; a
// holder started by anyone else is left alone. Bounded like the counted
// repairs.
AptInstallAndRemoveTask::Outcome AptInstallAndRemoveTask::killStaleDebconfHolders(bool retry)
{
    if (m_debconfLockCount >= m_maxRetryCount)
        return Outcome::Continue;
    ++m_debconfLockCount;
    const ProcessResult fuser =
        runSideCommand(QStringLiteral("fuser"),
                       {QStringLiteral("-v"), QStringLiteral("/var/cache/debconf/config.dat")},
                       false, kSideCommandTimeoutMs);
    if (!fuser.started || fuser.crashed || fuser.timedOut) {
        qCWarning(daemonLogCategory).noquote() << "fuser error" << fuser.errorText();
        return Outcome::Continue;
    }
    const QString list = fuser.outputText().trimmed();
    if (list.isEmpty()) {
        qCWarning(daemonLogCategory) << "fuser error";
        return Outcome::Continue;
    }
    qCDebug(daemonLogCategory).noquote() << "need fuser pid " << list;
    bool killed = false;
    const QStringList pids =
        list.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    for (const QString &text : pids) {
        bool ok = false;
        const int pid = text.toInt(&ok);
        if (!ok || pid <= 1 || pid == ::getpid() || !isOwnDescendant(pid)) {
            qCDebug(daemonLogCategory) << "leaving debconf holder" << text << "alone";
            continue;
        }
        killed = ::kill(pid, SIGKILL) == 0 || killed;
    }
    if (!killed) {
        qCWarning(daemonLogCategory) << "fuser error:"
                                     << "no holder of our own to end";
        return Outcome::Continue;
    }
    qCDebug(daemonLogCategory) << "fuser success";
    if (!retry)
        return Outcome::Continue;
    safeDeleteProcess();
    startInstallTask();
    return Outcome::Done;
}

// ---- purge completion ----

void AptInstallAndRemoveTask::endPurge(bool ok)
{
    if (m_task.sourceId != kSilentPurge)
        Q_EMIT sigPurgeTaskFinished(m_task, ok);
    safeQuitAndDeleteEventLoop();
}

// The package is gone: so are the user's shortcuts to it. A refused or
// failed removal leaves the desktop as it was.
void AptInstallAndRemoveTask::recordRemoval()
{
    if (m_task.sourceId != kSilentPurge)
        AppstoreDb::instance()->updateApplicationHistoryOperationByRemove(m_task.packageName);
    if (m_shortcuts) {
        m_shortcuts->take();
        m_shortcuts.reset();
    }
}

void AptInstallAndRemoveTask::OnPurgeFinishedSlot(int exitCode, QProcess::ExitStatus exitStatus)
{
    qCDebug(daemonLogCategory) << Q_FUNC_INFO << exitCode << exitStatus << m_task.sourceId
                               << m_task.packageName;
    if (exitCode == 0 && exitStatus == QProcess::NormalExit) {
        recordRemoval();
        endPurge(true);
        return;
    }
    const QString output = m_output.text();
    const QString error = m_lastResult.errorText();
    qCWarning(daemonLogCategory).noquote() << "AptInstall::OnPurgeFinishedSlot failed:" << error;
    qCInfo(daemonLogCategory).noquote() << "AptInstall::OnPurgeFinishedSlot output:" << output;
    runPurgeRepairs(output, error);
}

AptInstallAndRemoveTask::Outcome AptInstallAndRemoveTask::runPurgeRepairs(const QString &output,
                                                                          const QString &error)
{
    const QString cacheDir = Utils::cacheDir();
    const bool fixBroken = error.contains(QLatin1String("apt --fix-broken install"));
    if (fixBroken)
        AptCache::delTheInstallationPacakge(output, 2, cacheDir);
    else if (hasAll(output, {"dpkg: error processing archive", "(--unpack)"}))
        AptCache::rmreinstreqPackage(output, 1, cacheDir, m_task.uid);
    if (hasAll(error, {"needs to be reinstalled", "can't find an archive for it"}))
        AptCache::rmreinstreqPackage(error, 2, cacheDir, m_task.uid);
    if (error.contains(QLatin1String("/var/cache/debconfig/config.dat")))
        AptCache::killAptPurgeProcess();
    if (error.contains(QLatin1String("/var/cache/debconf/config.dat is locked")))
        killStaleDebconfHolders(false);

    safeDeleteProcess();

    if ((output.contains(QLatin1String("/var/lib/dpkg/updates")) ||
         error.contains(QLatin1String("/var/lib/dpkg/updates"))) &&
        m_updatesDirCount < m_maxRetryCount) {
        ++m_updatesDirCount;
        qCDebug(daemonLogCategory) << "apt-get purge: /var/lib/dpkg/updates/ parsing error!";
        if (configurePending().succeeded()) {
            startPurgeTask();
            return Outcome::Done;
        }
    }
    if (error.contains(QLatin1String("/usr/lib/dpkg-db/updates")) &&
        m_configureCount < m_maxRetryCount) {
        ++m_configureCount;
        qCDebug(daemonLogCategory).noquote() << "apt-get purge error:" << error;
        configurePending();
        startPurgeTask();
        return Outcome::Done;
    }
    if (error.contains(QLatin1String("lock")) && m_lockCount < m_maxRetryCount) {
        ++m_lockCount;
        if (waitForDpkgLockRelease(kLockReleaseWaitMs)) {
            startPurgeTask();
            return Outcome::Done;
        }
    }
    if (fixBroken && m_fixBrokenCount < m_maxRetryCount) {
        ++m_fixBrokenCount;
        const AppStore::GuardedRepair::Outcome fix = fixBrokenDependencies();
        // Refused, it changed nothing: the purge would meet the same state.
        if (!fix.refused && ranNormally(fix.result)) {
            startPurgeTask();
            return Outcome::Done;
        }
    }
    if (error.contains(QLatin1String("E: Sub-process /usr/bin/dpkg returned an error code"))) {
        removeWithApt();
        return Outcome::Done;
    }
    endPurge(false);
    return Outcome::Done;
}

// Takes what the purge's judgement let go: the package and what depends on
// it.
void AptInstallAndRemoveTask::removeWithApt()
{
    const ProcessResult result = runSideCommand(
        QStringLiteral("apt"),
        QStringList{QStringLiteral("remove"), QStringLiteral("-y"), QStringLiteral("-o"),
                    AppStore::PackageProtection::keepUnneededOption()} +
            m_purgeSolverOption + QStringList{QStringLiteral("--"), m_task.packageName},
        true, kDpkgRepairTimeoutMs);
    qCDebug(daemonLogCategory) << "exitStatus =" << (result.crashed ? 1 : 0)
                               << ",exitCode =" << result.exitCode;
    const bool removed =
        result.succeeded() || AptCache::presence(m_task.packageName, 0) == Presence::Absent;
    if (m_task.sourceId != kSilentPurge)
        Q_EMIT sigPurgeTaskFinished(m_task, removed);
    if (removed)
        recordRemoval();
    safeQuitAndDeleteEventLoop();
}

// ---- side commands ----

ProcessResult AptInstallAndRemoveTask::runSideCommand(const QString &program,
                                                      const QStringList &arguments,
                                                      bool uidEnvironment, int timeoutMs) const
{
    const ProcessResult result =
        ProcessRunner::run(sideCommandSpec(program, arguments, uidEnvironment, timeoutMs));
    if (result.timedOut)
        qCWarning(daemonLogCategory) << Q_FUNC_INFO << program << arguments << "timed out";
    return result;
}

// Commands that change packages get a PATH: dpkg refuses to run without one.
ProcessSpec AptInstallAndRemoveTask::sideCommandSpec(const QString &program,
                                                     const QStringList &arguments,
                                                     bool uidEnvironment, int timeoutMs) const
{
    ProcessSpec spec;
    spec.program = program;
    spec.arguments = arguments;
    if (uidEnvironment) {
        spec.environmentMode = ProcessSpec::Environment::Replace;
        spec.environment = {QStringLiteral("LANGUAGE=en_US"),
                            QStringLiteral("PACKAGEKIT_CALLER_UID=") + QString::number(m_task.uid),
                            kSystemPath, AppStore::keepConfigFilesEnvironment()};
    }
    spec.timeoutMs = timeoutMs;
    return spec;
}

AppStore::GuardedRepair::Outcome AptInstallAndRemoveTask::fixBrokenDependencies() const
{
    return AppStore::GuardedRepair::run(
        m_task.packageName,
        sideCommandSpec(QStringLiteral("apt"), fixBrokenArguments(), true, kDpkgRepairTimeoutMs));
}

ProcessResult AptInstallAndRemoveTask::configurePending()
{
    const ProcessResult result =
        runSideCommand(QStringLiteral("dpkg"),
                       AppStore::dpkgKeepConfigFilesOptions()
                           << QStringLiteral("--configure") << QStringLiteral("-a"),
                       true, kDpkgRepairTimeoutMs);
    if (!result.succeeded())
        qCWarning(daemonLogCategory).noquote()
            << Q_FUNC_INFO << "dpkg --configure -a failed:" << result.errorText();
    return result;
}

bool AptInstallAndRemoveTask::waitForDpkgLockRelease(int milliseconds)
{
    return AppStore::DpkgLockWait::waitForRelease(milliseconds);
}
