#include "aptdownloadtask.h"

#include "apt_utils/aptcache.h"
#include "apt_utils/package_protection.h"
#include "common/common.h"
#include "common/daemon_log.h"
#include "common/download_state_bi_data.h"
#include "common/operation_codes.h"
#include "common/opt_status.h"
#include "common/system_notify_info.h"
#include "database/appstoredb.h"
#include "service/service.h"
#include "service/thread_pool_manager.h"
#include "task/apt_error_classifier.h"
#include "task/apt_get_arguments.h"
#include "task/archive_size_bound.h"
#include "task/cached_archive.h"
#include "task/download_success.h"
#include "task/task_record_builder.h"
#include "utils/package_name_validator.h"
#include "utils/proxy_system.h"
#include "utils/utils.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <cmath>
#include <limits>

namespace {

// apt-get may legitimately run long on a slow line, but not forever.
constexpr int kDownloadTimeLimitMs = 4 * 60 * 60 * 1000;
// Ceilings of the waits for other work; past them the task carries on and a
// run that still cannot succeed ends as a classified failure.
constexpr int kAptUpdateWaitMs = 15 * 60 * 1000;
constexpr int kAptFixWaitMs = 15 * 60 * 1000;
constexpr int kWineWaitMs = 60 * 60 * 1000;
constexpr int kMaxAptUpdateAttempts = 3;
// Non-progress lines kept for classification; the failure texts come last.
constexpr qsizetype kMaxErrorOutput = 1024 * 1024;
constexpr int kStatisticsTextLimit = 5000;

QString boolText(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

// Sleeps in one-second steps while keepWaiting holds, at most limitMs;
// false when the ceiling ended the wait.
template<typename Predicate> bool waitWhile(Predicate keepWaiting, int limitMs, const char *message)
{
    QDeadlineTimer deadline(limitMs);
    while (keepWaiting()) {
        if (deadline.hasExpired()) {
            qCWarning(daemonLogCategory) << message << "gave up after" << limitMs / 1000 << "s";
            return false;
        }
        QThread::sleep(1);
        qCDebug(daemonLogCategory) << message;
    }
    return true;
}

// The text after the first "/" of part, up to a further "/"; fallback when
// part has no "/".
QString afterSlash(const QString &part, const QString &fallback)
{
    const QStringList pieces = part.split(QLatin1Char('/'));
    return pieces.size() > 1 ? pieces.at(1).trimmed() : fallback;
}

// apt prints sizes with decimal units ("3021 k" is 3021000 bytes).
double unitFactor(const QString &unit)
{
    if (unit.compare(QLatin1String("k"), Qt::CaseInsensitive) == 0)
        return 1e3;
    if (unit == QLatin1String("M"))
        return 1e6;
    if (unit == QLatin1String("G"))
        return 1e9;
    if (unit == QLatin1String("T"))
        return 1e12;
    return 1;
}

} // namespace

AptDownloadTask::AptDownloadTask(Apt_Task task, QObject *parent)
    : m_task(std::move(task))
{
    if (parent)
        setParent(parent);
    // Its owner deletes it on its own thread once run() has returned.
    setAutoDelete(false);
}

AptDownloadTask::~AptDownloadTask()
{
    qCInfo(daemonLogCategory) << Q_FUNC_INFO << "currentThreadId:" << QThread::currentThreadId()
                              << m_task.packageName << AppStore::Utils::nowText();
}

Apt_Task AptDownloadTask::getTask() const
{
    QMutexLocker locker(&m_taskMutex);
    return m_task;
}

QString AptDownloadTask::describe() const
{
    const Apt_Task task = getTask();
    return task.packageName + QStringLiteral(" , ") + task.version +
           QStringLiteral(" m_bIsSafeDeleted = ") + boolText(m_bIsSafeDeleted) + u' ' +
           AppStore::Utils::nowText();
}

void AptDownloadTask::run()
{
    runDownload();
    reportRunEnd();
}

void AptDownloadTask::runDownload()
{
    {
        QMutexLocker locker(&m_taskMutex);
        m_task.isStarted = 1;
    }
    if (m_bIsSafeDeleted || m_bStopRequested) {
        qCDebug(daemonLogCategory).noquote() << Q_FUNC_INFO << describe();
        return;
    }
    QObject context;
    {
        QMutexLocker locker(&m_stateMutex);
        if (m_bIsSafeDeleted)
            return;
        m_threadContext = &context;
        m_runThread = QThread::currentThread();
    }

    waitForAptUpdate();
    waitForWine();
    if (!m_bIsStopped)
        startDownloadTask();
    qCInfo(daemonLogCategory) << Q_FUNC_INFO << "currentThreadId:" << QThread::currentThreadId()
                              << m_task.packageName << AppStore::Utils::nowText();

    // The loop is made known under the lock that a teardown takes to see it,
    // so a teardown either finds it or finds no run to keep alive.
    QEventLoop loop;
    bool keepRunning = false;
    {
        QMutexLocker locker(&m_stateMutex);
        keepRunning = !m_bIsSafeDeleted;
        if (keepRunning)
            m_eventLoop = &loop;
    }
    if (keepRunning)
        loop.exec();
    else
        qCDebug(daemonLogCategory) << "no need run";

    {
        QMutexLocker locker(&m_stateMutex);
        m_eventLoop = nullptr;
        m_threadContext = nullptr;
    }
    releaseThreadObjects();
}

// Deletes the pool-thread objects on their own thread once nothing runs
// inside them any more; a child still running is killed by its runner.
void AptDownloadTask::releaseThreadObjects()
{
    delete m_progressTimer;
    m_progressTimer = nullptr;
    AppStore::ProcessRunner::release(m_downloadProcess, this);
}

QStringList AptDownloadTask::downloadArguments(const Apt_Task &task) const
{
    return AppStore::aptGetDownloadArguments(
        AppStore::aptExactPackagePattern(task.packageName, task.version));
}

QStringList AptDownloadTask::downloadEnvironment(const Apt_Task &task) const
{
    QStringList environment{QStringLiteral("LANGUAGE=en_US"),
                            QStringLiteral("PACKAGEKIT_CALLER_UID=") + QString::number(task.uid)};
    QString user = task.loginName;
    environment += ProxySystem::proxyEnvironmentList(user);
    return environment;
}

// A run that cannot start ends like a failed run, through the event loop so
// that the restart of a retry never nests inside this start.
void AptDownloadTask::postFailedStart(const QString &errorLine)
{
    m_errorOutput += errorLine + u'\n';
    m_lastResult = AppStore::ProcessResult();
    QMetaObject::invokeMethod(
        m_threadContext, [this] { onFinishedSlot(-1, QProcess::NormalExit); },
        Qt::QueuedConnection);
}

void AptDownloadTask::startDownloadTask()
{
    QMutexLocker locker(&m_mutex);
    if (m_bIsSafeDeleted) {
        qCDebug(daemonLogCategory).noquote() << Q_FUNC_INFO << describe();
        return;
    }
    Apt_Task task = getTask();
    if (!AppStore::PackageNameValidator::isValidPackageName(task.packageName) ||
        (!task.version.isEmpty() &&
         !AppStore::PackageNameValidator::isValidVersion(task.version))) {
        qCWarning(daemonLogCategory) << "refusing to download" << task.packageName << task.version;
        m_bRefused = true;
        postFailedStart(QStringLiteral("E: Unable to locate package ") + task.packageName);
        return;
    }

    m_packageInfo.debPath.clear();
    AptCache::getPackageDownloadInfo(task.packageName, m_packageInfo, task.version);
    {
        QMutexLocker taskLocker(&m_taskMutex);
        m_task.totalSize = AppStore::boundedArchiveSize(m_packageInfo.size);
        task.totalSize = m_task.totalSize;
    }
    m_bIndexSizeKnown = task.totalSize > 0;
    m_percentText = QStringLiteral("0.000");

    if (m_progressTimer) {
        qCDebug(daemonLogCategory) << "no need run timer";
    } else if (!m_bIsSafeDeleted) {
        m_progressTimer = new QTimer;
        connect(m_progressTimer, &QTimer::timeout, this, &AptDownloadTask::onCheckProgressSlot,
                Qt::DirectConnection);
        m_progressTimer->setInterval(m_progressInterval);
        m_progressTimer->start();
    }
    if (m_downloadProcess) {
        qCDebug(daemonLogCategory) << "no need run new process";
    } else if (!m_bIsSafeDeleted) {
        m_downloadProcess = new AppStore::ProcessRunner;
        // Direct: this object lives on the manager's thread, the runner here.
        connect(m_downloadProcess, &AppStore::ProcessRunner::standardErrorLine, this,
                &AptDownloadTask::onReadyReadAllStandardError, Qt::DirectConnection);
        connect(
            m_downloadProcess, &AppStore::ProcessRunner::finished, this,
            [this](const AppStore::ProcessResult &result) {
                m_lastResult = result;
                onFinishedSlot(result.exitCode,
                               result.crashed ? QProcess::CrashExit : QProcess::NormalExit);
            },
            Qt::DirectConnection);
    }
    if (m_bIsSafeDeleted) {
        qCDebug(daemonLogCategory) << "no need run process";
        return;
    }

    AppStore::ProcessSpec spec;
    spec.program = QStringLiteral("apt-get");
    spec.arguments = downloadArguments(task);
    spec.environmentMode = AppStore::ProcessSpec::Environment::Replace;
    spec.environment = downloadEnvironment(task);
    spec.timeoutMs = kDownloadTimeLimitMs;
    if (!m_downloadProcess->start(spec)) {
        postFailedStart(QStringLiteral("E: Cannot run apt-get: ") +
                        m_downloadProcess->result().errorString);
        return;
    }
    // Nothing is ever asked of apt-get here: a question must fail, not wait.
    m_downloadProcess->closeWriteChannel();
    qCInfo(daemonLogCategory) << Q_FUNC_INFO << "apt proxy start:" << spec.program
                              << spec.arguments;
}

void AptDownloadTask::onReadyReadAllStandardError(const QString &rawLine)
{
    const QString line = rawLine.trimmed();
    if (line.isEmpty())
        return;
    if (!line.startsWith(QLatin1Char('['))) {
        m_errorOutput += line + u'\n';
        if (m_errorOutput.size() > kMaxErrorOutput)
            m_errorOutput.remove(0, m_errorOutput.size() - kMaxErrorOutput / 2);
        return;
    }
    const qsizetype close = line.indexOf(QLatin1Char(']'));
    if (close >= 0)
        m_percentText = line.left(close).remove(QLatin1Char('['));
    if (!m_bTotalSizeParsed && line.contains(QLatin1Char('#')))
        parseTotalAndFiles(line);
}

// "[12.5] Bytes: 380 k / 3021 k # Files: 0 / 1": the file count after the
// "#", the total before it.
void AptDownloadTask::parseTotalAndFiles(const QString &line)
{
    const QStringList parts = line.split(QLatin1Char('#'));
    const QString files = afterSlash(parts.value(1), QStringLiteral("0"));
    if (files == QLatin1String("0"))
        return;
    const int count = files.toInt();
    m_totalFileCount = count > 0 ? count : 0;

    const QString size = afterSlash(parts.value(0), QStringLiteral("0 k"));
    if (size == QLatin1String("0 k"))
        return;
    const QStringList numberAndUnit = size.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QString number = numberAndUnit.value(0, QStringLiteral("0"));
    number.remove(QLatin1Char(','));
    bool ok = false;
    const double bytes = number.toDouble(&ok) * unitFactor(numberAndUnit.value(1));
    if (!ok || !std::isfinite(bytes) || bytes < 0 || bytes > double(AppStore::kMaxArchiveBytes)) {
        qCDebug(daemonLogCategory) << "unusable size in progress line:" << line;
        return;
    }
    m_bTotalSizeParsed = true;
    if (m_bIndexSizeKnown)
        return;
    QMutexLocker locker(&m_taskMutex);
    m_task.totalSize = qint64(bytes);
}

void AptDownloadTask::onCheckProgressSlot()
{
    double percent = m_percentText.toDouble();
    if (!std::isfinite(percent) || percent < 0)
        percent = 0;
    percent = std::min(percent, 100.0);

    Apt_Task task;
    qint64 downloaded = 0;
    bool below = false;
    {
        QMutexLocker locker(&m_taskMutex);
        const qint64 total = AppStore::boundedArchiveSize(m_task.totalSize);
        downloaded = qint64(std::ceil(percent * double(total) / 100));
        // One file: apt reports the end of a single fetch late, so 80 % counts
        // as complete.
        if (m_totalFileCount < 2)
            downloaded = qint64(std::ceil(double(downloaded) / 0.8));
        below = downloaded < total;
        m_task.downloadedSize = below ? downloaded : total;
        task = m_task;
    }
    if (below) {
        Q_EMIT sigDownloadProgress(task.sourceId, task.packageName, task.totalSize, downloaded,
                                   notifyStatusToJsonString(AppStore::NotifyStatus()));
        return;
    }
    if (m_progressTimer)
        m_progressTimer->stop();
}

bool AptDownloadTask::acceptRequest(Request request, const QString &sourceId, bool matches)
{
    if (m_bStopRequested || m_bIsSafeDeleted) {
        qCDebug(daemonLogCategory).noquote() << Q_FUNC_INFO << describe();
        return false;
    }
    const Apt_Task task = getTask();
    qCDebug(daemonLogCategory) << Q_FUNC_INFO << task.packageName << task.version;
    if (sourceId != task.sourceId || !matches)
        return false;
    if (!claimEnd())
        return false;

    static const char *const words[] = {"stop", "pause", "delete", "part.pause"};
    qCInfo(daemonLogCategory) << words[int(request)] << task.packageName << "," << task.version
                              << AppStore::Utils::nowText();
    // The row is in place before the signal leaves: the manager may delete
    // it on the signal, when a stop came meanwhile.
    if (request == Request::Pause || request == Request::PartPause) {
        writePauseRecord(task);
        Q_EMIT sigPauseFinished(task.sourceId, task.packageName);
        if (task.sourceId == STORE_PACKAGE_NAME)
            sendStatistics(STATISTICS_PAUSE, STATISTICS_CODE_SUCCESS, QString());
    }
    m_bIsStopped = true;
    if (!m_bIsSafeDeleted)
        safeDeletaAll();
    return true;
}

void AptDownloadTask::sendStatistics(const QString &type, const QString &code,
                                     const QString &content)
{
    const Apt_Task task = getTask();
    if (!task.agreeSign)
        return;
    ThreadPoolManager::instance()->addUploadDownloadTask(
        AppStore::TaskRecordBuilder::statisticsRecord(task, type, code, content));
}

void AptDownloadTask::writePauseRecord(const Apt_Task &task)
{
    AppstoreDb::instance()->updateApplicationHistoryInfo(
        AppStore::TaskRecordBuilder::historyRow(task, OPERATION_PAUSE));
}

void AptDownloadTask::onStopTaskSlot(Apt_Task task)
{
    acceptRequest(Request::Stop, task.sourceId, task.packageName == getTask().packageName);
}

void AptDownloadTask::onPauseTaskSlot(Apt_Task task)
{
    acceptRequest(Request::Pause, task.sourceId, task.packageName == getTask().packageName);
}

void AptDownloadTask::onPrepareToDeleteTask(Apt_Task task)
{
    acceptRequest(Request::Delete, task.sourceId, task.packageName == getTask().packageName);
}

void AptDownloadTask::onPausePartTasksSlot(QString id, QStringList packageNames)
{
    acceptRequest(Request::PartPause, id, packageNames.contains(getTask().packageName));
}

void AptDownloadTask::onAptFixTaskFinishedSlot(QString packageName, bool isSuccessful)
{
    Q_UNUSED(isSuccessful);
    if (packageName == getTask().packageName)
        m_bAptFixFinished = true;
}

void AptDownloadTask::safeDeletaAll()
{
    QObject *context = nullptr;
    {
        QMutexLocker locker(&m_stateMutex);
        if (m_bIsSafeDeleted)
            return; // a request and the end of the process may meet here
        m_bIsSafeDeleted = true;
        context = m_threadContext;
    }
    qCDebug(daemonLogCategory).noquote() << Q_FUNC_INFO << describe();
    const Apt_Task task = getTask();
    Q_EMIT sigFinished(task.packageName);
    if (!m_bDownloadSucceeded)
        Q_EMIT sigAptOperationDataChange(task, QString());
    qCInfo(daemonLogCategory) << Q_FUNC_INFO << "cancel task" << task.packageName
                              << AppStore::Utils::nowText();

    if (context && QThread::currentThread() == m_runThread)
        teardownOnOwnThread();
    else if (context)
        QMetaObject::invokeMethod(
            context, [this] { teardownOnOwnThread(); }, Qt::QueuedConnection);
}

void AptDownloadTask::teardownOnOwnThread()
{
    safeDeleteTimer();
    safeDeleteDownloadProcess();
    safeDeleteEventLoop();
}

void AptDownloadTask::safeDeleteTimer()
{
    if (!m_progressTimer)
        return;
    qCDebug(daemonLogCategory) << Q_FUNC_INFO << m_task.packageName;
    disconnect(m_progressTimer, nullptr, this, nullptr);
    m_progressTimer->stop();
}

// The killed run must not reach the end-of-process handling; the runner
// itself is deleted by run() once its loop has ended.
void AptDownloadTask::safeDeleteDownloadProcess()
{
    if (!m_downloadProcess)
        return;
    qCDebug(daemonLogCategory) << Q_FUNC_INFO << m_task.packageName;
    disconnect(m_downloadProcess, nullptr, this, nullptr);
    if (m_downloadProcess->isRunning()) {
        m_downloadProcess->kill();
        qCInfo(daemonLogCategory) << m_task.packageName << "is stopped";
    }
}

void AptDownloadTask::safeDeleteEventLoop()
{
    QMutexLocker locker(&m_stateMutex);
    if (!m_eventLoop)
        return;
    qCDebug(daemonLogCategory) << Q_FUNC_INFO << "currentThreadId:" << QThread::currentThreadId();
    m_eventLoop->quit();
}

void AptDownloadTask::onFinishedSlot(int exitCode, QProcess::ExitStatus exitStatus)
{
    if (m_bIsSafeDeleted)
        return;
    {
        const Apt_Task task = getTask();
        qCInfo(daemonLogCategory) << Q_FUNC_INFO << task.sourceId << task.packageName << exitCode
                                  << exitStatus;
    }
    const QString outputText = m_lastResult.outputText();
    const QString errorText = m_errorOutput;
    if (m_bRefused) {
        finalFailure(errorText, outputText);
        return;
    }
    if (exitCode == 0 && exitStatus == QProcess::NormalExit) {
        if (archiveIsInCache(getTask())) {
            handleSuccess();
            return;
        }
        const Apt_Task task = getTask();
        qCWarning(daemonLogCategory)
            << "apt-get ended without downloading" << task.packageName << task.version;
        // The same text apt gives for an unknown version, so that the retry
        // and the classification treat it alike.
        m_errorOutput += QStringLiteral("E: Version '%1' for '%2' was not found\n")
                             .arg(task.version, task.packageName);
        retryOrFail(m_errorOutput, outputText);
        return;
    }
    if (exitCode != 0) {
        qCWarning(daemonLogCategory).noquote()
            << "AptDownloadTask::OnFinishedSlot failed:" << errorText;
        qCInfo(daemonLogCategory).noquote()
            << "AptDownloadTask::OnFinishedSlot output:" << outputText;
        if (errorText.contains(QLatin1String("needs to be reinstalled")) &&
            errorText.contains(QLatin1String("can't find an archive for it")))
            AptCache::rmreinstreqPackage(errorText, 2, AppStore::Utils::cacheDir(), getTask().uid);
        // A hold stays until the administrator lifts it: no retry changes that.
        if (AppStore::PackageProtection::refusedForHold(getTask().packageName, errorText)) {
            finalFailure(errorText, outputText);
            return;
        }
    }
    retryOrFail(errorText, outputText);
}

bool AptDownloadTask::archiveIsInCache(const Apt_Task &task) const
{
    // A version missing from the index was read from nowhere.
    return AppStore::CachedArchive::isPresent(task, m_packageInfo.debPath) ||
           (!m_packageInfo.debPath.isEmpty() && AppStore::CachedArchive::isReadInPlace(task));
}

// The run's own end and a control request: the first to come owns the
// task's end, and the other reports nothing.
bool AptDownloadTask::claimEnd()
{
    bool expected = false;
    return m_bStopRequested.compare_exchange_strong(expected, true);
}

void AptDownloadTask::handleSuccess()
{
    // A request that took the task meanwhile wins: nothing goes to the install side.
    if (!claimEnd())
        return;
    AppStore::DownloadSuccess::announce(this, getTask());
    m_bDownloadSucceeded = true;
    safeDeletaAll();
}

void AptDownloadTask::retryOrFail(const QString &errorText, const QString &outputText)
{
    const int count = ++m_retryCount;
    qCInfo(daemonLogCategory) << "Download Retry:" << count;
    if (count >= m_maxRetryCount) {
        finalFailure(errorText, outputText);
        return;
    }
    if ((errorText.contains(QLatin1String("E: Version")) &&
         errorText.contains(QLatin1String("was not found"))) ||
        errorText.contains(QLatin1String("E: Can't find a source to download")))
        refreshTaskInfo();
    waitForAptUpdateAttempts();
    waitForWine();
    if (errorText.contains(QLatin1String("apt --fix-broken install")) ||
        errorText.contains(
            QLatin1String("Unable to correct problems, you have held broken packages.")))
        requestAptFix(outputText);
    if (!m_bIsStopped)
        startDownloadTask();
}

void AptDownloadTask::waitForAptUpdate()
{
    waitWhile(
        [this] {
            return AppStore::Utils::aptUpdateStatus().state == AppStore::Running && !m_bIsStopped;
        },
        kAptUpdateWaitMs, "Waiting for Apt Update Task finished...");
}

void AptDownloadTask::waitForAptUpdateAttempts()
{
    for (int attempt = 0; attempt < kMaxAptUpdateAttempts && !m_bIsStopped; ++attempt) {
        AppStore::AptUpdateStatus status = AppStore::Utils::aptUpdateStatus();
        // An update may start and end between two looks: a new end time
        // counts as well as a running state.
        const QDateTime askedAfter = status.lastTime;
        const bool started = waitWhile(
            [&] {
                status = AppStore::Utils::aptUpdateStatus();
                if (status.state == AppStore::Running || status.lastTime != askedAfter ||
                    m_bIsStopped || !AppStore::Utils::isAptUpdateNeeded())
                    return false;
                Q_EMIT sigAptUpdate(false);
                return true;
            },
            kAptUpdateWaitMs, "Waiting for Apt Update Task started...");
        qCDebug(daemonLogCategory) << "isAptUpdateNeeded =" << AppStore::Utils::isAptUpdateNeeded()
                                   << "Enum_AptUpdate_State::" << status.state;
        if (!started)
            continue;
        waitWhile(
            [&] {
                status = AppStore::Utils::aptUpdateStatus();
                return status.state != AppStore::Finished && !m_bIsStopped;
            },
            kAptUpdateWaitMs, "Waiting for Apt Update Task finished...");
        if (status.success)
            break;
    }
}

void AptDownloadTask::waitForWine()
{
    waitWhile([this] { return AppStore::Utils::isWineInstalling() && !m_bIsStopped; }, kWineWaitMs,
              "Waiting for Wine installation finished...");
}

void AptDownloadTask::requestAptFix(const QString &outputText)
{
    AptCache::delTheInstallationPacakge(outputText, 2, AppStore::Utils::cacheDir());
    m_bAptFixFinished = false;
    Q_EMIT sigNeedAptFix(getTask().packageName);
    waitWhile([this] { return !m_bAptFixFinished && !m_bIsStopped; }, kAptFixWaitMs,
              "Waiting for Apt Fix Task finished...");
}

void AptDownloadTask::finalFailure(const QString &errorText, const QString &outputText)
{
    if (!claimEnd())
        return;
    AppStore::NotifyStatus status;
    status.code = AppStore::classifyAptError(errorText);
    status.output = outputText;
    status.error = errorText;
    const Apt_Task task = getTask();
    if (task.sourceId == STORE_PACKAGE_NAME)
        sendStatistics(STATISTICS_DOWNLOAD_END, QString::number(status.code),
                       QStringLiteral("err: ") + errorText.left(kStatisticsTextLimit) +
                           QStringLiteral(", outStr: ") + outputText.left(kStatisticsTextLimit));
    installFailUpdataDb(status);
    Q_EMIT sigDownloadProgress(task.sourceId, task.packageName, task.totalSize, -1,
                               notifyStatusToJsonString(status));
    SystemNotifyInfo notice;
    notice.opt = OptInstallFailed;
    notice.appName = task.appName;
    notice.packageName = task.packageName;
    notice.logname = task.loginName;
    Q_EMIT sigSendSystemNotification(systemNotifyInfoToJsonString(notice));
    safeDeletaAll();
}

// apt knows no such version any more: the store says which one it offers now.
void AptDownloadTask::refreshTaskInfo()
{
    const QString packageName = getTask().packageName;
    QVector<StoreService::AppBriefInfo> infos;
    Service::instance()->getLocalPackagesInfo({packageName}, infos);
    // Only the package's own record, and only a version apt-get may be given.
    const auto record = std::find_if(infos.cbegin(), infos.cend(), [&](const auto &info) {
        return info.package_name == packageName &&
               AppStore::PackageNameValidator::isValidVersion(info.package_version);
    });
    if (record == infos.cend()) {
        qCWarning(daemonLogCategory) << "Get AppBriefInfo failed, assuming latest version...";
        return;
    }
    qCDebug(daemonLogCategory) << "Get AppBriefInfo succeeded:"
                               << appBriefInfoToJsonString(*record);
    QMutexLocker locker(&m_taskMutex);
    m_task.version = record->package_version;
}

void AptDownloadTask::installFailUpdataDb(AppStore::NotifyStatus status)
{
    const Apt_Task task = getTask();
    qCDebug(daemonLogCategory) << Q_FUNC_INFO << task.packageName;
    AppstoreDb::instance()->updateApplicationHistoryInfo(
        AppStore::TaskRecordBuilder::downloadFailureRow(task, status.code, status.output,
                                                        status.error));
}
