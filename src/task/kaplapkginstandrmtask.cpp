#include "kaplapkginstandrmtask.h"

#include "apt_utils/aptcache.h"
#include "apt_utils/kapla_service_types.h"
#include "common/common.h"
#include "common/daemon_log.h"
#include "common/notify_status.h"
#include "common/package_info.h"
#include "database/appstoredb.h"
#include "service/thread_pool_manager.h"
#include "task/task_record_builder.h"
#include "utils/package_name_validator.h"
#include "utils/process_runner.h"
#include "utils/service_bus.h"
#include "utils/small_utils.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QMutexLocker>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {

const QString kProgram = QStringLiteral("kapla-cli");
const QString kKaplaService = QStringLiteral("org.velkor.kapla.PackageManager");
const QString kJobManagerPath = QStringLiteral("/org/velkor/kapla/JobManager");
const QString kJobManagerInterface = QStringLiteral("org.velkor.kapla.JobManager");

// The install fetches the whole application; a slow mirror may take long,
// but a tool that hangs must not hold a pool thread for ever.
constexpr int kInstallTimeLimitMs = 2 * 60 * 60 * 1000;
constexpr int kUninstallTimeLimitMs = 30 * 60 * 1000;
// An interrupted tool gets this long to leave on its own (it tidies up its
// partial fetch); whatever is left then is killed.
constexpr int kInterruptGraceMs = 5000;

QString boolText(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

QString progressStatusJson()
{
    return notifyStatusToJsonString(AppStore::NotifyStatus());
}

} // namespace

KaplaPkgInstAndRmTask::KaplaPkgInstAndRmTask(const Apt_Task &task, QObject *parent)
    : m_sourceId(task.sourceId)
    , m_packageName(task.packageName)
    , m_version(task.version)
    , m_isInstall(task.taskType == 0)
    , m_task(task)
{
    if (parent)
        setParent(parent);
    // Its owner deletes it on its own thread once run() has returned, so a
    // request being delivered there never meets a freed task.
    setAutoDelete(false);
    registerAptTaskMetaType();
    kapla::service::registerServiceTypes();
}

KaplaPkgInstAndRmTask::~KaplaPkgInstAndRmTask()
{
    qCDebug(daemonLogCategory) << "currentThreadId:" << QThread::currentThreadId() << m_packageName
                               << AppStore::SmallUtils::nowText();
}

Apt_Task KaplaPkgInstAndRmTask::getTask() const
{
    QMutexLocker locker(&m_taskMutex);
    return m_task;
}

bool KaplaPkgInstAndRmTask::isInterruptible() const
{
    return !m_isUninterruptible;
}

qint64 KaplaPkgInstAndRmTask::progressSize(qint64 totalSize, double percentage)
{
    if (totalSize <= 0 || std::isnan(percentage) || percentage <= 0)
        return 0;
    if (percentage >= 100)
        return totalSize;
    const double current = std::ceil(double(totalSize) * percentage / 100.0);
    return current >= double(totalSize) ? totalSize : qint64(current);
}

void KaplaPkgInstAndRmTask::run()
{
    runTask();
    reportRunEnd();
}

void KaplaPkgInstAndRmTask::runTask()
{
    if (m_isSafeDeleted || m_isPaused) {
        qCDebug(daemonLogCategory)
            << m_packageName << "," << m_version << "m_isSafeDeleted =" << boolText(m_isSafeDeleted)
            << "m_isPaused =" << boolText(m_isPaused) << AppStore::SmallUtils::nowText();
        return;
    }
    qCDebug(daemonLogCategory) << "currentThreadId:" << QThread::currentThreadId() << m_packageName
                               << AppStore::SmallUtils::nowText();

    // Everything the run needs lives here on the pool thread and goes when
    // run() returns; the runner kills a tool still running then.
    QObject context;
    QEventLoop loop;
    AppStore::ProcessRunner runner;
    if (!registerRun(&context, &loop, &runner))
        return;
    {
        QMutexLocker locker(&m_taskMutex);
        m_task.isStarted = 1;
    }
    if (!refuseInvalidTask()) {
        if (m_isInstall)
            startInstallTaskWithCli();
        else
            startUninstallTaskWithCli();
    }
    // A teardown from this thread has happened already; one from another
    // thread is posted to context and quits the loop once it runs.
    if (!m_isSafeDeleted)
        loop.exec();
    unregisterRun();
}

// Registered under the lock that the requests and the teardown take, so a
// request that comes before finds no run to start and one that comes after
// finds the loop. An uninstall takes no request from here on.
bool KaplaPkgInstAndRmTask::registerRun(QObject *context, QEventLoop *loop,
                                        AppStore::ProcessRunner *runner)
{
    QMutexLocker locker(&m_stateMutex);
    if (m_isSafeDeleted || m_isPaused)
        return false;
    m_context = context;
    m_runThread = QThread::currentThread();
    m_eventLoop = loop;
    m_process = runner;
    if (!m_isInstall)
        m_isUninterruptible = true;
    return true;
}

void KaplaPkgInstAndRmTask::unregisterRun()
{
    QMutexLocker locker(&m_stateMutex);
    m_context = nullptr;
    m_runThread = nullptr;
    m_eventLoop = nullptr;
    m_process = nullptr;
}

// The id and the version reach kapla-cli as arguments; anything outside
// their syntax could be read as an option of the tool.
bool KaplaPkgInstAndRmTask::refuseInvalidTask()
{
    using AppStore::PackageNameValidator;
    const bool versionOk =
        !m_isInstall || m_version.isEmpty() || PackageNameValidator::isValidVersion(m_version);
    if (PackageNameValidator::isValidKaplaId(m_packageName) && versionOk)
        return false;
    qCWarning(daemonLogCategory) << "refusing kapla task for" << m_packageName << m_version;
    if (m_isInstall)
        finishInstall(false);
    else
        finishUninstall(false);
    return true;
}

void KaplaPkgInstAndRmTask::startInstallTaskWithCli()
{
    if (m_isSafeDeleted) {
        qCDebug(daemonLogCategory)
            << m_packageName << "," << m_version << "m_isSafeDeleted =" << boolText(m_isSafeDeleted)
            << AppStore::SmallUtils::nowText();
        return;
    }
    QString text;
    const bool installed = AptCache::getLocalPackageInfo(m_packageName, text, 0);
    {
        QMutexLocker locker(&m_taskMutex);
        m_task.isFirstInstall = !installed;
    }
    m_wasAtTaskVersion = isAtTaskVersion();
    const QStringList arguments{QStringLiteral("--json"), QStringLiteral("install"),
                                m_packageName + QLatin1Char('/') + m_version};
    if (!startCli(arguments, kInstallTimeLimitMs, true)) {
        qCWarning(daemonLogCategory)
            << "kapla-cli install failed:" << m_process->result().errorString;
        finishInstall(false);
    }
}

void KaplaPkgInstAndRmTask::startUninstallTaskWithCli()
{
    const Apt_Task task = getTask();
    Q_EMIT sigStartUninstall(m_sourceId, m_packageName);
    Q_EMIT sigPkgOperationDataChange(task, QStringLiteral("purging"));
    if (m_sourceId == STORE_PACKAGE_NAME)
        AptCache::removeShortcuts(m_packageName, task.loginName, task.pkgInstallMode);

    const QStringList arguments{QStringLiteral("--json"), QStringLiteral("uninstall"),
                                m_packageName, QStringLiteral("--all"), QStringLiteral("--prune")};
    if (!startCli(arguments, kUninstallTimeLimitMs, false)) {
        qCWarning(daemonLogCategory)
            << "kapla-cli uninstall failed:" << m_process->result().errorString;
        finishUninstall(false);
    }
}

// A tool that cannot be started (missing, not executable) is a failed run:
// the caller reports it, nothing else follows.
bool KaplaPkgInstAndRmTask::startCli(const QStringList &arguments, int timeLimitMs, bool install)
{
    AppStore::ProcessRunner *runner = m_process;
    connect(runner, &AppStore::ProcessRunner::standardOutputLine, this,
            &KaplaPkgInstAndRmTask::slotReadyReadAllStandardOutput, Qt::DirectConnection);
    if (install)
        connect(runner, &AppStore::ProcessRunner::finished, this,
                &KaplaPkgInstAndRmTask::slotInstallProcessFinished, Qt::DirectConnection);
    else
        connect(runner, &AppStore::ProcessRunner::finished, this,
                &KaplaPkgInstAndRmTask::slotUninstallProcessFinished, Qt::DirectConnection);

    AppStore::ProcessSpec spec;
    spec.program = kProgram;
    spec.arguments = arguments;
    spec.timeoutMs = timeLimitMs;
    if (!runner->start(spec)) {
        disconnect(runner, nullptr, this, nullptr);
        return false;
    }
    // Nobody answers a prompt: the tool reads end-of-file instead of waiting.
    runner->closeWriteChannel();
    return true;
}

void KaplaPkgInstAndRmTask::slotReadyReadAllStandardOutput(const QString &line)
{
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty())
        return;
    qCDebug(daemonLogCategory) << "currentThreadId:" << QThread::currentThreadId() << m_packageName
                               << trimmed;
    if (!m_isInstall)
        return;

    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(trimmed.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        qCWarning(daemonLogCategory)
            << "Parse kapla-cli install output error:" << error.errorString() << trimmed;
        return;
    }
    const double percentage = document.object().value(QLatin1String("percentage")).toDouble(0);
    qint64 totalSize = 0;
    qint64 currentSize = 0;
    {
        QMutexLocker locker(&m_taskMutex);
        totalSize = m_task.totalSize;
        currentSize = progressSize(totalSize, percentage);
        m_task.downloadedSize = currentSize;
    }
    Q_EMIT sigDownloadProgress(m_sourceId, m_packageName, totalSize, currentSize,
                               progressStatusJson());
}

// The end of the fetch stage. Decided under the state lock: after this no
// request is taken.
void KaplaPkgInstAndRmTask::slotDownloadFinished()
{
    {
        QMutexLocker locker(&m_stateMutex);
        if (m_isUninterruptible || m_isSafeDeleted)
            return;
        m_isUninterruptible = true;
        m_isDownloadFinished = true;
    }
    const Apt_Task task = getTask();
    if (m_sourceId == STORE_PACKAGE_NAME) {
        if (task.agreeSign)
            ThreadPoolManager::instance()->addUploadDownloadTask(
                AppStore::TaskRecordBuilder::statisticsRecord(task, STATISTICS_DOWNLOAD_END,
                                                              STATISTICS_CODE_SUCCESS));
        AppstoreDb::instance()->updateApplicationHistoryResult(m_packageName, HISTORY_RESULT_YES);
    }
    Q_EMIT sigDownloadProgress(m_sourceId, m_packageName, task.totalSize, task.totalSize,
                               progressStatusJson());
    Q_EMIT sigStartInstall(task);
}

// A request taken during the fetch stage ends the task once the tool it
// interrupted has gone, unless the run put the application at the requested
// version by then: that result is the one reported. A reinstall that was
// interrupted finds the version that was there before, which tells nothing.
void KaplaPkgInstAndRmTask::slotInstallProcessFinished(const AppStore::ProcessResult &result)
{
    qCDebug(daemonLogCategory) << m_packageName << "kapla-cli install exit code" << result.exitCode
                               << (result.crashed ? "CrashExit" : "NormalExit");
    const bool interrupted = m_isPaused;
    bool ok = result.succeeded();
    if (!ok) {
        qCWarning(daemonLogCategory).noquote()
            << "kapla-cli install failed:" << result.errorText() << result.errorString;
        // Installed at the requested version after all: the install is done.
        ok = (!interrupted || !m_wasAtTaskVersion) && isAtTaskVersion();
    }
    if (interrupted && !ok) {
        settleRequest();
        return;
    }
    slotDownloadFinished();
    finishInstall(ok);
}

void KaplaPkgInstAndRmTask::slotUninstallProcessFinished(const AppStore::ProcessResult &result)
{
    qCDebug(daemonLogCategory) << m_packageName << "kapla-cli uninstall exit code"
                               << result.exitCode << (result.crashed ? "CrashExit" : "NormalExit");
    bool ok = true;
    if (result.succeeded()) {
        AppstoreDb::instance()->updateApplicationHistoryOperationByRemove(m_packageName);
    } else {
        qCWarning(daemonLogCategory).noquote()
            << "kapla-cli uninstall failed:" << result.errorText() << result.errorString;
        // Gone after all: the uninstall is done, the history row left alone.
        ok = isKnownToBeGone();
    }
    finishUninstall(ok);
}

bool KaplaPkgInstAndRmTask::isAtTaskVersion() const
{
    Package_Info info;
    return AptCache::getLocalPackageInfo(m_packageName, info, 2) && info.version == m_version;
}

// Only a listing that could be read tells that the application is gone: a
// tool that cannot answer says nothing about it.
bool KaplaPkgInstAndRmTask::isKnownToBeGone() const
{
    LocalPackageList apps;
    if (!AptCache::getLocalKaplaPkgsWithCli(apps))
        return false;
    return std::none_of(apps.cbegin(), apps.cend(), [this](const LocalPackageEntry &app) {
        return app.packageName == m_packageName;
    });
}

// The finished signal comes after every other step of the run's end, once.
void KaplaPkgInstAndRmTask::finishInstall(bool ok)
{
    Q_EMIT sigInstallFinished(getTask(), ok, AppStore::NoStatusCode);
    if (!m_isSafeDeleted)
        safeDeleteAll();
}

void KaplaPkgInstAndRmTask::finishUninstall(bool ok)
{
    Q_EMIT sigUninstallFinished(getTask(), ok);
    if (!m_isSafeDeleted)
        safeDeleteAll();
}

void KaplaPkgInstAndRmTask::slotStopTask(Apt_Task task)
{
    takeRequest(task.sourceId, task.packageName == m_packageName, "slotStopTask", false);
}

void KaplaPkgInstAndRmTask::slotPrepareToDeleteTask(Apt_Task task)
{
    takeRequest(task.sourceId, task.packageName == m_packageName, "slotPrepareToDeleteTask", false);
}

void KaplaPkgInstAndRmTask::slotPauseTask(Apt_Task task)
{
    takeRequest(task.sourceId, task.packageName == m_packageName, "slotPauseTask", true);
}

void KaplaPkgInstAndRmTask::slotPausePartTasks(QString id, QStringList packageNames)
{
    takeRequest(id, packageNames.contains(m_packageName), "slotPausePartTasks", true);
}

// Taken under the lock that the end of the fetch stage takes, so a request
// either comes first or not at all. Its outcome waits for the interrupted
// tool (see slotInstallProcessFinished); with no run started it is settled
// at once.
void KaplaPkgInstAndRmTask::takeRequest(const QString &sourceId, bool namesThisTask,
                                        const char *request, bool pause)
{
    bool running = false;
    {
        QMutexLocker locker(&m_stateMutex);
        if (m_isUninterruptible)
            return;
        if (m_isPaused || m_isSafeDeleted) {
            qCDebug(daemonLogCategory)
                << request << m_packageName << m_version
                << "m_isSafeDeleted =" << boolText(m_isSafeDeleted)
                << "m_isPaused =" << boolText(m_isPaused) << AppStore::SmallUtils::nowText();
            return;
        }
        if (sourceId != m_sourceId || !namesThisTask)
            return;
        m_requestIsPause = pause; // before the flag that publishes it
        m_isPaused = true;
        running = m_context != nullptr;
        if (running)
            QMetaObject::invokeMethod(
                m_context, [this] { interruptProcess(); }, Qt::QueuedConnection);
    }
    qCDebug(daemonLogCategory) << request << m_packageName << m_version
                               << AppStore::SmallUtils::nowText();
    if (!running)
        settleRequest(); // not started: nothing runs and no job exists
    else
        cancelJob();
}

void KaplaPkgInstAndRmTask::settleRequest()
{
    if (m_requestIsPause) {
        const Apt_Task task = getTask();
        // In place before the signal, on which the manager may delete it.
        AppstoreDb::instance()->updateApplicationHistoryInfo(
            AppStore::TaskRecordBuilder::historyRow(task, OPERATION_PAUSE));
        Q_EMIT sigPauseFinished(m_sourceId, m_packageName);
        if (m_sourceId == STORE_PACKAGE_NAME && task.agreeSign)
            ThreadPoolManager::instance()->addUploadDownloadTask(
                AppStore::TaskRecordBuilder::statisticsRecord(task, STATISTICS_PAUSE,
                                                              STATISTICS_CODE_SUCCESS));
    }
    safeDeleteAll();
}

// The kapla service is told to drop the job without waiting for its answer,
// over the thread-safe bus connection rather than a proxy object of the pool
// thread.
void KaplaPkgInstAndRmTask::cancelJob()
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        kKaplaService, kJobManagerPath, kJobManagerInterface, QStringLiteral("Cancel"));
    call << m_packageName;
    call.setAutoStartService(false);
    if (!AppStore::ServiceBus::connection().send(call))
        qCDebug(daemonLogCategory) << "kapla job cancel not sent for" << m_packageName;
}

// Pool thread. A tool that does not leave within its grace time is killed;
// its end settles the request either way.
void KaplaPkgInstAndRmTask::interruptProcess()
{
    if (!m_process || !m_process->isRunning() || m_process->processId() <= 0)
        return;
    m_process->interrupt();
    QTimer::singleShot(kInterruptGraceMs, m_process, &AppStore::ProcessRunner::kill);
}

void KaplaPkgInstAndRmTask::safeDeleteAll()
{
    {
        QMutexLocker locker(&m_stateMutex);
        if (m_isSafeDeleted)
            return;
        m_isSafeDeleted = true;
    }
    qCDebug(daemonLogCategory) << m_packageName << m_version
                               << "m_isSafeDeleted =" << boolText(m_isSafeDeleted)
                               << AppStore::SmallUtils::nowText();
    Q_EMIT sigFinished(m_packageName);
    if (!m_isInstall || !m_isDownloadFinished)
        Q_EMIT sigPkgOperationDataChange(getTask(), QString());
    releaseRunObjects();
}

void KaplaPkgInstAndRmTask::releaseRunObjects()
{
    QMutexLocker locker(&m_stateMutex);
    if (!m_context)
        return; // run() has not registered yet (and will not now) or has ended
    if (QThread::currentThread() == m_runThread) {
        safeDeleteProcess();
        safeDeleteEventLoop();
        return;
    }
    QMetaObject::invokeMethod(
        m_context,
        [this] {
            safeDeleteProcess();
            safeDeleteEventLoop();
        },
        Qt::QueuedConnection);
}

// Pool thread. A tool still running at the teardown is killed.
void KaplaPkgInstAndRmTask::safeDeleteProcess()
{
    if (!m_process)
        return;
    qCDebug(daemonLogCategory) << "safeDeleteProcess" << m_packageName << m_version;
    disconnect(m_process, nullptr, this, nullptr);
    if (m_process->isRunning())
        m_process->kill();
}

// Pool thread. Quitting the loop lets run() return.
void KaplaPkgInstAndRmTask::safeDeleteEventLoop()
{
    if (!m_eventLoop)
        return;
    qCDebug(daemonLogCategory) << "safeDeleteEventLoop" << m_packageName << m_version;
    m_eventLoop->quit();
}
