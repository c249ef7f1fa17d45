#include "task/immutableinstallandremovetask.h"

#include "apt_utils/aptcache.h"
#include "apt_utils/package_protection.h"
#include "common/app_brief_info.h"
#include "common/daemon_log.h"
#include "common/notify_status.h"
#include "database/appstoredb.h"
#include "task/apt_get_arguments.h"
#include "task/dpkg_lock_wait.h"
#include "utils/package_name_validator.h"
#include "utils/utils.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>

using AppStore::ProcessResult;
using AppStore::ProcessRunner;
using AppStore::ProcessSpec;
using AppStore::Utils;

namespace {

const QString kSilentPurge = QStringLiteral("SilentPurge");

// The newest few hundred KiB are plenty for a failure report and for the
// archive names of a successful run.
constexpr qsizetype kOutputTailLimit = 256 * 1024;

} // namespace

ImmutableInstallAndRemoveTask::ImmutableInstallAndRemoveTask(const Apt_Task &task, QObject *parent)
    : m_task(task)
    , m_isInstall(task.taskType == 0)
    , m_output(kOutputTailLimit, {}, {}, 0)
{
    if (parent)
        setParent(parent);
    // Its owner deletes it on its own thread once run() has returned.
    setAutoDelete(false);
}

ImmutableInstallAndRemoveTask::~ImmutableInstallAndRemoveTask()
{
    qCDebug(daemonLogCategory)
        << "virtual ImmutableInstallAndRemoveTask::~ImmutableInstallAndRemoveTask()"
        << m_task.packageName << QThread::currentThread();
    safeDeleteProcess();
}

void ImmutableInstallAndRemoveTask::run()
{
    runInstallOrPurge();
    reportRunEnd();
}

void ImmutableInstallAndRemoveTask::runInstallOrPurge()
{
    qCDebug(daemonLogCategory) << "virtual void ImmutableInstallAndRemoveTask::run()"
                               << m_task.packageName << QThread::currentThread();
    // Exists before anything can end the run, so that no end is missed.
    QEventLoop loop;
    m_eventLoop = &loop;

    if (!hasValidNames()) {
        // Nothing may reach apt-get, which would read a leading "-" as an option.
        qCWarning(daemonLogCategory) << "ImmutableInstallAndRemoveTask: refusing the invalid name"
                                     << m_task.packageName << "or version" << m_task.version;
        if (m_isInstall)
            failInstall();
        else
            endPurge(false);
    } else if (m_isInstall) {
        if (m_task.packageMode == 1)
            Utils::setWineInstalling(true);
        // As for the apt task: a package dpkg holds in any state, or a query
        // that cannot tell, makes no first install.
        m_task.isFirstInstall =
            AptCache::presence(m_task.packageName, 0) == AppStore::PackageDetails::Presence::Absent;
        qCDebug(daemonLogCategory)
            << "isFirstInstall:" << (m_task.isFirstInstall ? "true" : "false");
        startInstallTask();
    } else {
        if (m_task.sourceId != kSilentPurge)
            Q_EMIT sigStartPurge(m_task.sourceId, m_task.packageName);
        startPurgeTask();
    }

    if (!m_isFinished)
        loop.exec();
    m_eventLoop = nullptr;
    safeDeleteProcess();
    // Nothing runs this thread's event loop after run(): what was handed to
    // deleteLater goes now, while the objects' thread is still this one.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

bool ImmutableInstallAndRemoveTask::hasValidNames() const
{
    return AppStore::PackageNameValidator::isValidPackageName(m_task.packageName) &&
           (m_task.version.isEmpty() ||
            AppStore::PackageNameValidator::isValidVersion(m_task.version));
}

bool ImmutableInstallAndRemoveTask::waitForDpkg()
{
    if (!AppStore::DpkgLockWait::waitForRelease(AppStore::DpkgLockWait::kDefaultLimitMs)) {
        qCWarning(daemonLogCategory)
            << Q_FUNC_INFO << "dpkg stayed busy; giving up" << m_task.packageName;
        return false;
    }
    qCDebug(daemonLogCategory) << Q_FUNC_INFO << "package_name:" << m_task.packageName
                               << "package_version:" << m_task.version;
    return true;
}

void ImmutableInstallAndRemoveTask::startInstallTask()
{
    if (!waitForDpkg()) {
        failInstall();
        return;
    }
    if (!m_task.channelId.isEmpty() || m_task.isSpecificPkg == 1 || m_task.isTarPkg)
        qCWarning(daemonLogCategory)
            << "ImmutableInstallAndRemoveTask: the downloaded archive of" << m_task.packageName
            << "is not used; apt-get installs the package from the system's sources";
    startAptGet(
        aptGetSpec(QStringLiteral("install"), AppStore::kAptInstallRunLimitMs, m_mayRemove));
}

void ImmutableInstallAndRemoveTask::startPurgeTask()
{
    using Presence = AppStore::PackageDetails::Presence;
    const Presence presence = AptCache::presence(m_task.packageName, 0);
    if (presence == Presence::Unknown) {
        qCWarning(daemonLogCategory) << "ImmutableInstallAndRemoveTask: cannot tell whether"
                                     << m_task.packageName << "is installed";
        endPurge(false);
        return;
    }
    if (presence == Presence::Absent) {
        if (m_task.sourceId != kSilentPurge) {
            AppstoreDb::instance()->updateApplicationHistoryOperationByRemove(m_task.packageName);
            Q_EMIT sigPurgeTaskFinished(m_task, true);
        }
        safeQuitAndDeleteEventLoop();
        return;
    }
    if (!waitForDpkg()) {
        endPurge(false);
        return;
    }
    m_shortcuts =
        std::make_unique<AppStore::PendingShortcutRemoval>(m_task.packageName, m_task.loginName, 1);
    ProcessSpec spec = aptGetSpec(QStringLiteral("purge"), AppStore::kAptPurgeRunLimitMs);
    const QString refusal = AppStore::PackageProtection::purgeRefusal(m_task.packageName, spec);
    if (!refusal.isEmpty()) {
        qCWarning(daemonLogCategory).noquote()
            << "refusing to remove" << m_task.packageName << "because" << refusal;
        endPurge(false);
        return;
    }
    Q_EMIT sigAptOperationDataChange(m_task, QStringLiteral("purging"));
    // The purge takes the files that name the shortcuts.
    m_shortcuts->awaitEntries();
    startAptGet(spec);
}

// apt-get with the system's own configuration and the daemon's environment;
// it waits for dpkg's locks as long as a start does. An install removes
// nothing until a simulation showed that what it removes is not protected;
// no run takes what nothing needs any more.
ProcessSpec ImmutableInstallAndRemoveTask::aptGetSpec(const QString &operation, int timeoutMs,
                                                      bool mayRemove) const
{
    QString package = m_task.packageName;
    if (!m_task.version.isEmpty())
        package += QLatin1Char('=') + m_task.version;
    ProcessSpec spec;
    spec.program = QStringLiteral("apt-get");
    spec.arguments = {QStringLiteral("-y"), QStringLiteral("-o"),
                      AppStore::aptLockTimeoutOption(AppStore::DpkgLockWait::aptLockTimeoutSeconds(
                          AppStore::DpkgLockWait::kDefaultLimitMs))};
    spec.arguments << AppStore::aptKeepConfigFilesOptions() << QStringLiteral("-o")
                   << AppStore::PackageProtection::keepUnneededOption();
    if (!mayRemove)
        spec.arguments << QStringLiteral("-o") << AppStore::PackageProtection::noRemovalOption();
    spec.arguments << operation << QStringLiteral("--") << package;
    spec.environmentMode = ProcessSpec::Environment::Extend;
    spec.environment = {AppStore::keepConfigFilesEnvironment()};
    spec.timeoutMs = timeoutMs;
    return spec;
}

void ImmutableInstallAndRemoveTask::startAptGet(const ProcessSpec &spec)
{
    if (!m_process) {
        m_process = new ProcessRunner;
        // The task object lives on another thread: direct connections keep
        // the handlers here, on the process's own thread.
        connect(
            m_process, &ProcessRunner::standardOutputData, m_process,
            [this](const QByteArray &chunk) {
                m_unreadOutput += chunk;
                OnReadyReadAllStandardOutput();
            },
            Qt::DirectConnection);
        connect(
            m_process, &ProcessRunner::finished, m_process,
            [this](const ProcessResult &result) { handleFinished(result); }, Qt::DirectConnection);
    }
    qCDebug(daemonLogCategory) << Q_FUNC_INFO << spec.program << spec.arguments;
    m_lastResult = ProcessResult();
    if (!m_process->start(spec)) {
        // Judged like any failed run.
        handleFinished(m_process->result());
        return;
    }
    // Nobody answers apt-get's prompts here: they read end-of-file at once
    // instead of holding the only install thread.
    m_process->closeWriteChannel();
}

void ImmutableInstallAndRemoveTask::handleFinished(const ProcessResult &result)
{
    m_lastResult = result;
    if (result.timedOut)
        qCWarning(daemonLogCategory) << "ImmutableInstallAndRemoveTask: apt-get for"
                                     << m_task.packageName << "ran past its limit and was killed";
    const bool crashed = !result.started || result.crashed || result.timedOut;
    const QProcess::ExitStatus status = crashed ? QProcess::CrashExit : QProcess::NormalExit;
    if (m_isInstall)
        OnInstallFinishedSlot(result.exitCode, status);
    else
        OnPurgeFinishedSlot(result.exitCode, status);
}

void ImmutableInstallAndRemoveTask::OnReadyReadAllStandardOutput()
{
    if (!m_process)
        return;
    // One decoder for the whole run: a character split between two chunks
    // comes out whole.
    const QString chunk = m_outputDecoder.decode(m_unreadOutput);
    m_unreadOutput.clear();
    if (chunk.isEmpty())
        return;
    m_output.append(chunk);
    qCDebug(daemonLogCategory).noquote() << chunk;
    if (m_isInstall)
        Q_EMIT sigAptOutputRead(m_task.sourceId, m_task.packageName,
                                aptOutputToJsonString(QString(), chunk, QString(),
                                                      AppStore::NotifyStatus(), QString()));
}

void ImmutableInstallAndRemoveTask::OnInstallFinishedSlot(int exitCode,
                                                          QProcess::ExitStatus exitStatus)
{
    qCInfo(daemonLogCategory) << Q_FUNC_INFO << m_task.sourceId << m_task.packageName << exitCode
                              << exitStatus;
    if (exitCode != 0 || exitStatus != QProcess::NormalExit) {
        qCInfo(daemonLogCategory).noquote()
            << "ImmutableInstallAndRemoveTask::OnInstallFinishedSlot output:" << m_output.text();
        qCWarning(daemonLogCategory).noquote()
            << "ImmutableInstallAndRemoveTask::OnInstallFinishedSlot failed:"
            << m_lastResult.errorText();
        if (AppStore::PackageProtection::reviewFailedInstall(
                m_task.packageName, m_lastResult.errorText(),
                aptGetSpec(QStringLiteral("install"), AppStore::kAptInstallRunLimitMs, true)) ==
            AppStore::PackageProtection::RunReview::RunAgain) {
            m_mayRemove = true;
            safeDeleteProcess();
            startInstallTask();
            return;
        }
        failInstall();
        return;
    }
    qCInfo(daemonLogCategory) << "ImmutableInstallAndRemoveTask::OnInstallFinishedSlot succeeded";
    if (!Utils::isKeepArchives())
        AptCache::delTheInstallationPacakge(m_output.text(), 1, Utils::cacheDir());
    Q_EMIT sigInstallTaskFinished(m_task, true, AppStore::NoStatusCode);
    safeQuitAndDeleteEventLoop();
}

void ImmutableInstallAndRemoveTask::OnPurgeFinishedSlot(int exitCode,
                                                        QProcess::ExitStatus exitStatus)
{
    qCInfo(daemonLogCategory) << Q_FUNC_INFO << m_task.sourceId << m_task.packageName << exitCode
                              << exitStatus;
    const bool ok = exitCode == 0 && exitStatus == QProcess::NormalExit;
    if (ok) {
        if (m_task.sourceId != kSilentPurge)
            AppstoreDb::instance()->updateApplicationHistoryOperationByRemove(m_task.packageName);
        // A refused or failed purge leaves the desktop as it was.
        if (m_shortcuts)
            m_shortcuts->take();
    } else {
        qCWarning(daemonLogCategory).noquote()
            << "ImmutableInstallAndRemoveTask::OnPurgeFinishedSlot failed:"
            << m_lastResult.errorText();
    }
    endPurge(ok);
}

// An install fails with one code, whatever went wrong: there is no repair.
void ImmutableInstallAndRemoveTask::failInstall()
{
    Q_EMIT sigInstallTaskFinished(m_task, false, AppStore::InstallFailed);
    safeQuitAndDeleteEventLoop();
}

void ImmutableInstallAndRemoveTask::endPurge(bool ok)
{
    if (m_task.sourceId != kSilentPurge)
        Q_EMIT sigPurgeTaskFinished(m_task, ok);
    safeQuitAndDeleteEventLoop();
}

void ImmutableInstallAndRemoveTask::safeDeleteProcess()
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

void ImmutableInstallAndRemoveTask::safeQuitAndDeleteEventLoop()
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
