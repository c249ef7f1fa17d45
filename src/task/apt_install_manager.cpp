#include "task/apt_install_manager.h"

#include "apt_utils/aptcache.h"
#include "apt_utils/dpkg_query.h"
#include "common/app_brief_info.h"
#include "common/common.h"
#include "common/daemon_log.h"
#include "common/download_state_bi_data.h"
#include "common/notify_status.h"
#include "common/operation_codes.h"
#include "common/opt_status.h"
#include "common/package_info.h"
#include "common/system_notify_info.h"
#include "database/appstoredb.h"
#include "database/cachedatabase.h"
#include "database/OnTheShelvesAppTableManager.h"
#include "dbus/children_guard_account_interface.h"
#include "service/service.h"
#include "service/thread_pool_manager.h"
#include "task/aptdownloadtask.h"
#include "task/aptfixtask.h"
#include "task/aptinstallandremovetask.h"
#include "task/early_brief_lookup.h"
#include "task/httpdownloadtask.h"
#include "task/immutableinstallandremovetask.h"
#include "task/kaplapkginstandrmtask.h"
#include "task/local_package_file.h"
#include "task/tarpkginstalltask.h"
#include "task/task_end_relay.h"
#include "task/task_record_builder.h"
#include "utils/package_name_validator.h"
#include "utils/side_query.h"
#include "utils/system_info_storer.h"
#include "utils/utils.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QUuid>

#include <cstdlib>
#include <memory>
#include <optional>

namespace {

const QString SILENT_UPGRADE_ID = QStringLiteral("SilentUpgrade");
const QString SESSION_COMPLETE = QStringLiteral("\n[Session Complete...]\n");
const QString INSTALLED_STATUS = QStringLiteral("install ok installed");

const QString LOCAL_FILE_PREFIX = QStringLiteral("file://");

// How long a stopping manager waits for the tasks its pools still run.
constexpr int kPoolTeardownWaitMs = 10000;
constexpr int kMaxDownloadThreads = 10;

bool isStoreTask(const Apt_Task &task)
{
    return task.sourceId == STORE_PACKAGE_NAME;
}

QString readSetting(const QString &name, const QString &fallback)
{
    QString value = fallback;
    if (!AppstoreDb::instance()->selectSettingByColumnName(name, value))
        value = fallback;
    return value;
}

bool settingIsOn(const QString &value)
{
    return !value.isEmpty() && value != QLatin1String("0") &&
           value.compare(QLatin1String("false"), Qt::CaseInsensitive) != 0;
}

QString newSessionId()
{
    std::srand(unsigned(QTime::currentTime().msec()));
    return QString::number(std::rand() % 10000000) + QUuid::createUuid().toString(QUuid::Id128);
}

bool isDebianPackageTask(const Apt_Task &task)
{
    return !task.isTarPkg && task.pkgInstallMode != 2;
}

// The facts of the package as installed after a task. A Debian package counts
// only when dpkg has it fully installed: an unpacked or half-configured
// package is what a failed run leaves behind. The two questions to dpkg do
// not depend on each other and are asked together.
bool readInstalledFacts(const Apt_Task &task, Package_Info &info)
{
    using StatusQuery = AppStore::SideQuery<AppStore::ProcessResult>;
    std::unique_ptr<StatusQuery> statusQuery;
    if (isDebianPackageTask(task)) {
        statusQuery = std::make_unique<StatusQuery>([name = task.packageName] {
            return AppStore::DpkgQuery::runForPackage(
                {QStringLiteral("-W"), QStringLiteral("-f=${Status}")}, name);
        });
    }
    if (!AptCache::getLocalPackageInfo(task.packageName, info, 0))
        return false;
    if (!statusQuery)
        return true;
    const AppStore::ProcessResult status = statusQuery->take();
    if (status.succeeded() && status.outputText().trimmed() == INSTALLED_STATUS)
        return true;
    qCWarning(daemonLogCategory) << "package" << task.packageName
                                 << "is not fully installed:" << status.outputText().trimmed();
    info = Package_Info();
    return false;
}

int computeDownloadThreadCount()
{
    const int ideal = QThread::idealThreadCount();
    const int count = ideal > 1 ? ideal / 2 : 1;
    return qBound(1, count, kMaxDownloadThreads);
}

} // namespace

AptInstallManager::AptInstallManager(QObject *parent)
    : QObject(parent)
    , m_downloadPool(new QThreadPool)
    , m_installPool(new QThreadPool)
    , m_endRelay(std::make_shared<TaskEndRelay>(
          this, [this](AbstractTask *task) { releaseEndedTask(task); }))
    , m_briefLookup(std::make_unique<EarlyBriefLookup>())
    , m_preseed(std::make_shared<AppStore::DebconfPreseed>())
{
    registerAptTaskMetaType();
    qRegisterMetaType<AppStore::DownloadStatusCode>("AppStore::DownloadStatusCode");

    m_createDesktop =
        readSetting(QStringLiteral("createDesktop"), QStringLiteral("0")) != QLatin1String("0");

    // Started early so that the hardware facts are at hand when a statistics
    // record needs them.
    SystemInfoStorer::instance()->getIsQSMotherBoard();
    SystemInfoStorer::instance()->getCpuAndBoardInfo();

    m_downloadThreadCount = computeDownloadThreadCount();
    m_downloadPool->setMaxThreadCount(m_downloadThreadCount);
    m_installPool->setMaxThreadCount(m_installThreadCount);

    startThread();

    connect(this, &AptInstallManager::sigAddPurgeTask, this,
            &AptInstallManager::OnInstallOrRemoveOperationWork, Qt::QueuedConnection);
    connect(this, &AptInstallManager::sigAptOperationDataChange, this,
            &AptInstallManager::OnAptOperationDataChangeSlot, Qt::QueuedConnection);
    // Direct: a control handler has finished before its operation goes on.
    connect(
        this, &AptInstallManager::sigStopTask, this,
        [this](const Apt_Task &task) { onControlRequest(ControlRequest::Stop, task); },
        Qt::DirectConnection);
    connect(
        this, &AptInstallManager::sigPauseTask, this,
        [this](const Apt_Task &task) { onControlRequest(ControlRequest::Pause, task); },
        Qt::DirectConnection);
    connect(
        this, &AptInstallManager::sigPrepareToDeleteTask, this,
        [this](const Apt_Task &task) { onControlRequest(ControlRequest::PrepareDelete, task); },
        Qt::DirectConnection);
    // Queued tasks and running ones alike report a pause they took here.
    connect(
        this, &AptInstallManager::sigPauseFinished, this,
        [this](const QString &, const QString &packageName) {
            letGoOf(takeAwaitedStop(packageName), packageName);
        },
        Qt::DirectConnection);
    connect(
        this, &AptInstallManager::sigPausePartAptTasks, this,
        [this](const QString &id, const QStringList &names) { onPausePartAptTasks(id, names); },
        Qt::DirectConnection);
}

AptInstallManager::~AptInstallManager()
{
    m_endRelay->detach();
    if (m_workerThread) {
        m_workerThread->deleteLater();
        m_workerThread = nullptr;
    }
    {
        QMutexLocker locker(&m_taskMapMutex);
        m_aptTaskMap.clear();
        m_httpTaskMap.clear();
        m_kaplaTaskMap.clear();
    }
    if (m_poolsBusyAtTeardown) {
        // Their threads still run tasks; destroying the pools would wait for
        // them without limit, and the process is ending anyway.
        qCWarning(daemonLogCategory) << "leaving busy task pools to the ending process";
        return;
    }
    delete m_downloadPool;
    delete m_installPool;
    // Runs that ended after the teardown, or a manager never torn down.
    QList<AbstractTask *> ended;
    {
        QMutexLocker locker(&m_taskMapMutex);
        ended = m_poolTasks.keys();
        m_poolTasks.clear();
    }
    qDeleteAll(ended);
}

void AptInstallManager::startThread()
{
    if (m_workerThread)
        return;
    m_workerThread = new QThread;
    m_workerThread->setObjectName(QStringLiteral("AptInstallManager"));
    moveToThread(m_workerThread);
    m_workerThread->start(QThread::InheritPriority);
}

void AptInstallManager::stopThread()
{
    if (!m_workerThread)
        return;
    QThread *caller = QThread::currentThread();
    if (m_workerThread->isRunning() && caller != m_workerThread) {
        QMetaObject::invokeMethod(
            this, [this, caller] { teardownOnOwnThread(caller); }, Qt::BlockingQueuedConnection);
    } else {
        teardownOnOwnThread(caller);
    }
    m_workerThread->requestInterruption();
    m_workerThread->quit();
    m_workerThread->wait();
}

// Runs on the manager's thread, which owns every task object it created.
void AptInstallManager::teardownOnOwnThread(QThread *nextOwner)
{
    m_takingTasks = false;
    m_draining = false;
    if (m_drainTimer)
        m_drainTimer->stop();
    takeQueuedTasks();
    const bool downloadsDone = m_downloadPool->waitForDone(kPoolTeardownWaitMs);
    const bool installsDone = m_installPool->waitForDone(kPoolTeardownWaitMs);
    m_poolsBusyAtTeardown = !downloadsDone || !installsDone;
    // What the ended runs reported is handled while their thread is still
    // this one: their rows are written and their objects deleted here.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    // A task still running now ends with the process.
    m_endRelay->detach();
    {
        QMutexLocker locker(&m_taskMapMutex);
        m_aptTaskMap.clear();
        m_httpTaskMap.clear();
        m_kaplaTaskMap.clear();
    }
    if (thread() != nextOwner)
        moveToThread(nextOwner);
}

void AptInstallManager::beginShutdown(int limitMs)
{
    m_takingTasks = false;
    QMetaObject::invokeMethod(
        this, [this, limitMs] { drainOnOwnThread(limitMs); }, Qt::QueuedConnection);
}

// A download is only a copy into the cache and can be cut off at any point;
// dpkg in the middle of an unpack cannot, so an install or removal is waited
// for.
void AptInstallManager::drainOnOwnThread(int limitMs)
{
    qCInfo(daemonLogCategory) << "stopping: waiting at most" << limitMs / 1000
                              << "s for the running install or removal";
    takeQueuedTasks();
    stopRunningDownloads();
    m_draining = true;
    if (!m_drainTimer) {
        m_drainTimer = new QTimer(this);
        m_drainTimer->setSingleShot(true);
        connect(m_drainTimer, &QTimer::timeout, this, [this] {
            qCWarning(daemonLogCategory)
                << "stopping with a task still running; the next start settles it";
            finishDrain();
        });
    }
    m_drainTimer->start(limitMs);
    checkDrained();
}

void AptInstallManager::stopRunningDownloads()
{
    QList<AptDownloadTask *> aptDownloads;
    QList<HttpDownloadTask *> httpDownloads;
    QList<KaplaPkgInstAndRmTask *> kaplaRuns;
    {
        QMutexLocker locker(&m_taskMapMutex);
        aptDownloads = m_aptTaskMap.values();
        httpDownloads = m_httpTaskMap.values();
        kaplaRuns = m_kaplaTaskMap.values();
    }
    // Only this thread deletes tasks, so none of them can go meanwhile.
    for (AptDownloadTask *download : std::as_const(aptDownloads))
        download->onStopTaskSlot(download->getTask());
    for (HttpDownloadTask *download : std::as_const(httpDownloads))
        download->onStopTaskSlot(download->getTask());
    // A kapla install past its fetch, like an uninstall, is waited for.
    for (KaplaPkgInstAndRmTask *kapla : std::as_const(kaplaRuns)) {
        if (kapla->isInterruptible())
            kapla->slotStopTask(kapla->getTask());
    }
}

void AptInstallManager::checkDrained()
{
    {
        QMutexLocker locker(&m_taskMapMutex);
        if (!m_poolTasks.isEmpty())
            return;
    }
    finishDrain();
}

void AptInstallManager::finishDrain()
{
    if (!m_draining)
        return;
    m_draining = false;
    m_drainTimer->stop();
    emit sigShutdownReady();
}

// Tasks that have not started leave their pool unrun; their history rows
// stay as they are for the start-up settling.
void AptInstallManager::takeQueuedTasks()
{
    QList<AbstractTask *> taken;
    {
        QMutexLocker locker(&m_taskMapMutex);
        for (auto it = m_poolTasks.begin(); it != m_poolTasks.end();) {
            if (it->pool->tryTake(it->runnable)) {
                eraseFromTaskMapsLocked(it.key());
                taken.append(it.key());
                it = m_poolTasks.erase(it);
            } else {
                ++it;
            }
        }
    }
    qDeleteAll(taken);
}

template<typename Task>
void AptInstallManager::startInPoolLocked(Task *task, QThreadPool *pool, int priority,
                                          const QString &installPackage, const QString &installing)
{
    const std::shared_ptr<TaskEndRelay> relay = m_endRelay;
    task->setRunEndHandler([relay, task] { relay->relay(task); });
    m_poolTasks.insert(task, {task, pool, installPackage, QString(), installing});
    pool->start(task, priority);
}

// Direct, on whichever thread the task ends: a request queued right behind
// the one that ended it must find it ended.
template<typename Task> void AptInstallManager::watchEnd(Task *task)
{
    connect(
        task, &Task::sigFinished, this,
        [this, task](const QString &packageName) {
            QMutexLocker locker(&m_taskMapMutex);
            const auto slot = m_poolTasks.find(task);
            if (slot != m_poolTasks.end())
                slot->endedPackage = packageName;
        },
        Qt::DirectConnection);
}

// Direct, before the download reports its end: a request that reaches the
// intake before the install has been started finds the package handed on.
template<typename Task> void AptInstallManager::watchHandOver(Task *download)
{
    connect(
        download, &Task::sigStartInstallOperation, this,
        [this, download](const Apt_Task &task) {
            QMutexLocker locker(&m_taskMapMutex);
            const auto slot = m_poolTasks.find(download);
            if (slot != m_poolTasks.end())
                slot->installing = task.packageName;
        },
        Qt::DirectConnection);
}

bool AptInstallManager::hasEndedTaskLocked(const QString &packageName) const
{
    for (const PoolSlot &slot : m_poolTasks) {
        if (slot.endedPackage == packageName)
            return true;
    }
    return false;
}

bool AptInstallManager::isInstallingLocked(const QString &packageName) const
{
    for (const PoolSlot &slot : m_poolTasks) {
        if (slot.installing == packageName)
            return true;
    }
    return false;
}

// The install has reported its end: a new request of the package is taken
// again, though the task object still winds down.
void AptInstallManager::endInstallStage(const QString &packageName)
{
    QMutexLocker locker(&m_taskMapMutex);
    for (PoolSlot &slot : m_poolTasks) {
        if (slot.installing == packageName)
            slot.installing.clear();
    }
}

// Runs on the manager's thread, after the task's run() has returned. What the
// run reported was queued before this and has been handled: a request that
// waited for it starts with nothing of the old task still to come.
void AptInstallManager::releaseEndedTask(AbstractTask *task)
{
    std::optional<Apt_Task> waiting;
    {
        QMutexLocker locker(&m_taskMapMutex);
        const auto slot = m_poolTasks.constFind(task);
        if (slot == m_poolTasks.cend())
            return;
        const QString ended = slot->endedPackage;
        m_poolTasks.erase(slot);
        eraseFromTaskMapsLocked(task);
        const auto request = m_waitingRequests.constFind(ended);
        if (request != m_waitingRequests.cend() && !hasEndedTaskLocked(ended)) {
            waiting = *request;
            m_waitingRequests.erase(request);
        }
    }
    delete task;
    if (waiting)
        addDownloadPoolTask(*waiting);
    if (m_draining)
        checkDrained();
}

namespace {

template<typename Task> bool eraseTask(QMap<QString, Task *> &map, const AbstractTask *task)
{
    for (auto it = map.begin(); it != map.end(); ++it) {
        if (it.value() == task) {
            map.erase(it);
            return true;
        }
    }
    return false;
}

} // namespace

void AptInstallManager::eraseFromTaskMapsLocked(const AbstractTask *task)
{
    if (!eraseTask(m_aptTaskMap, task) && !eraseTask(m_httpTaskMap, task))
        eraseTask(m_kaplaTaskMap, task);
}

bool AptInstallManager::refusedWhileStopping(const QString &packageName) const
{
    if (m_takingTasks)
        return false;
    qCWarning(daemonLogCategory) << "stopping: no new work for" << packageName;
    return true;
}

void AptInstallManager::setCreateDesktop(bool createDesktop)
{
    m_createDesktop = createDesktop;
}

void AptInstallManager::setPromptSilenceInterval(int milliseconds)
{
    m_promptSilenceMs = milliseconds;
}

void AptInstallManager::addDownloadPoolTask(Apt_Task &task)
{
    qCInfo(daemonLogCategory) << "addDownloadPoolTask" << task.packageName << task.version;
    if (task.packageName.isEmpty() || refusedWhileStopping(task.packageName))
        return;

    const QString invalid = validationError(task);
    if (!invalid.isEmpty()) {
        refuseTask(task, invalid);
        return;
    }
    const Route route = routeOf(task);
    // A repeated request for a package in work ends here, before any
    // bookkeeping: the running task keeps its session, row and operation.
    // One that waits for an ended task to go comes back here when it has.
    if (task.taskType == 0 || route == Route::Kapla) {
        const Intake intake = intakeOf(route, task);
        if (intake == Intake::InWork)
            return;
        // The bus entered the package in the hook cache before it queued the
        // request here, and the end of a task before it may have let go of
        // it since.
        holdHookCache(task);
        if (intake == Intake::Waits)
            return;
    }

    if (isStoreTask(task)) {
        task.ownerRole = ChildrenGuardAccountInterface::instance()->getOwnerRole(task.loginName);
        qCInfo(daemonLogCategory) << "ownerRole:" << task.ownerRole << "appType:" << task.appType;
    }
    // Removals of Debian packages go to the install pool directly; only a
    // kapla removal runs from here.
    if (task.taskType != 0 && route != Route::Kapla)
        return;
    if (route == Route::Unhandled) {
        qCWarning(daemonLogCategory) << "Unhandled pkgInstallMode:" << task.pkgInstallMode;
        refuseTask(task, QStringLiteral("no runner for this package source"));
        return;
    }

    if (task.taskType == 0 && isStoreTask(task))
        recordStoreInstall(task);
    switch (route) {
    case Route::Apt:
        addToRunAptTask(task);
        break;
    case Route::Http:
        addToRunHttpTask(task);
        break;
    case Route::Kapla:
        addToRunKaplaTask(task);
        break;
    case Route::Unhandled:
        break;
    }
}

AptInstallManager::Route AptInstallManager::routeOf(const Apt_Task &task)
{
    switch (task.pkgInstallMode) {
    case 1:
        return task.channelId.isEmpty() && task.isSpecificPkg != 1 ? Route::Apt : Route::Http;
    case 2:
        return Route::Kapla;
    default:
        return Route::Unhandled;
    }
}

// Names and versions end up as arguments of package tools run as root and in
// paths under the package cache; only the package systems' own syntax passes.
QString AptInstallManager::validationError(const Apt_Task &task)
{
    using AppStore::PackageNameValidator;
    const bool nameOk = task.pkgInstallMode == 2
                            ? PackageNameValidator::isValidKaplaId(task.packageName)
                            : PackageNameValidator::isValidArchQualifiedName(task.packageName);
    if (!nameOk)
        return QStringLiteral("invalid package name: ") + task.packageName;
    if (!task.version.isEmpty() && !PackageNameValidator::isValidVersion(task.version))
        return QStringLiteral("invalid package version: ") + task.version;
    return QString();
}

// A refused task ends as a failed download (or a failed removal), so that the
// client and the hook cache learn that nothing runs for it.
void AptInstallManager::refuseTask(const Apt_Task &task, const QString &reason)
{
    qCWarning(daemonLogCategory) << "refusing task" << task.sourceId << task.packageName
                                 << task.version << reason;
    if (task.taskType != 0) {
        OnPurgeTaskFinishedSlot(task, false);
        return;
    }
    AppStore::NotifyStatus status;
    status.code = AppStore::InstallFailed;
    status.error = reason;
    emit sigIntallProgress(task.sourceId, task.packageName, 0, task.totalSize, -1,
                           notifyStatusToJsonString(status));
    releaseHookCache(task.packageName);
}

// A task in work keeps its package to itself. One that is done with it but
// still winds down would run beside a new task of the package (a resume
// right behind a pause): the request waits for it to go instead.
AptInstallManager::Intake AptInstallManager::intakeOf(Route route, const Apt_Task &task)
{
    const QString &name = task.packageName;
    QMutexLocker locker(&m_taskMapMutex);
    AbstractTask *mapped = nullptr;
    const char *kind = "";
    switch (route) {
    case Route::Apt:
        mapped = m_aptTaskMap.value(name);
        kind = "Apt Task";
        break;
    case Route::Http:
        mapped = m_httpTaskMap.value(name);
        kind = "Http Task";
        break;
    case Route::Kapla:
        mapped = m_kaplaTaskMap.value(name);
        kind = "Kapla Task";
        break;
    case Route::Unhandled:
        break;
    }
    const auto slot = m_poolTasks.constFind(mapped);
    // Once its download has handed it on, the package is installing: a
    // second download and install of it would run behind this one.
    if ((slot != m_poolTasks.cend() && slot->endedPackage.isEmpty()) || isInstallingLocked(name)) {
        qCWarning(daemonLogCategory) << kind << name << "existed!";
        return Intake::InWork;
    }
    if (!hasEndedTaskLocked(name))
        return Intake::Take;
    if (m_waitingRequests.contains(name)) {
        qCWarning(daemonLogCategory) << "a request for" << name << "already waits";
        return Intake::InWork;
    }
    qCInfo(daemonLogCategory) << "the request for" << name << "waits for its ended task to go";
    m_waitingRequests.insert(name, task);
    return Intake::Waits;
}

void AptInstallManager::recordStoreInstall(Apt_Task &task)
{
    const QString sessionId = newSessionId();
    task.sessionId = sessionId;
    task.agreeSign = settingIsOn(readSetting(QStringLiteral("agreeSign"), QString()));
    if (task.agreeSign)
        ThreadPoolManager::instance()->addUploadDownloadTask(
            AppStore::TaskRecordBuilder::statisticsRecord(
                task, STATISTICS_INSTALL_REQUEST, QString::number(AppStore::InstallRequested)));
    // At once, not queued: a control request already queued behind this
    // intake would otherwise run first and have its own row and operation
    // overwritten by these.
    OnAptOperationDataChangeSlot(task, QStringLiteral("download"));
    addTaskToDb(OPERATION_INSTALLING, task);
}

void AptInstallManager::addToRunAptTask(const Apt_Task &task)
{
    QMutexLocker locker(&m_taskMapMutex);
    if (m_aptTaskMap.contains(task.packageName)) {
        qCWarning(daemonLogCategory) << Q_FUNC_INFO << "Apt Task" << task.packageName << "existed!";
        return;
    }
    auto *download = new AptDownloadTask(task);
    connect(download, &AptDownloadTask::sigStartInstallOperation, this,
            &AptInstallManager::OnInstallOrRemoveOperationWork, Qt::QueuedConnection);
    connect(download, &AptDownloadTask::sigDownloadProgress, this,
            &AptInstallManager::OnDownloadProgressSlot, Qt::QueuedConnection);
    connect(download, &AptDownloadTask::sigPauseFinished, this,
            &AptInstallManager::sigPauseFinished, Qt::QueuedConnection);
    connect(download, &AptDownloadTask::sigAptUpdate, this, &AptInstallManager::sigAptUpdate,
            Qt::QueuedConnection);
    connect(
        download, &AptDownloadTask::sigAptOperationDataChange, this,
        [this](const Apt_Task &task, const QString &operation) {
            onDownloadOperationDataChange(task, operation);
        },
        Qt::QueuedConnection);
    connect(download, &AptDownloadTask::sigSendSystemNotification, this,
            &AptInstallManager::sigSendSystemNotification, Qt::QueuedConnection);
    watchHandOver(download);
    // The task is done with its package before its run has wound down:
    // control requests find it gone from here on.
    watchEnd(download);
    connect(
        download, &AptDownloadTask::sigFinished, this,
        [this, download] {
            QMutexLocker locker(&m_taskMapMutex);
            eraseFromTaskMapsLocked(download);
        },
        Qt::QueuedConnection);
    connect(this, &AptInstallManager::sigStopRunningTask, download,
            &AptDownloadTask::onStopTaskSlot);
    connect(this, &AptInstallManager::sigPauseRunningTask, download,
            &AptDownloadTask::onPauseTaskSlot);
    connect(this, &AptInstallManager::sigPrepareDeleteRunningTask, download,
            &AptDownloadTask::onPrepareToDeleteTask);
    // Taken at once, as the other requests are: a history clear sent after
    // it must find its row written.
    connect(this, &AptInstallManager::sigPauseRunningTasks, download,
            &AptDownloadTask::onPausePartTasksSlot);
    connect(this, &AptInstallManager::sigAptFixFinished, download,
            &AptDownloadTask::onAptFixTaskFinishedSlot);
    connect(
        download, &AptDownloadTask::sigNeedAptFix, this,
        [this](const QString &packageName) { onNeedAptFix(packageName); }, Qt::QueuedConnection);

    // Entered before it starts, so that a request arriving meanwhile finds it.
    // Whatever an earlier task of the package refused is no longer awaited.
    m_awaitedRequests.remove(task.packageName);
    m_aptTaskMap.insert(task.packageName, download);
    startInPoolLocked(download, m_downloadPool, 0);
    preseedAhead();
    qCDebug(daemonLogCategory) << "addToRunAptTask activeThreadCount:" << task.packageName
                               << m_downloadPool->activeThreadCount();
}

void AptInstallManager::addToRunHttpTask(const Apt_Task &task)
{
    QMutexLocker locker(&m_taskMapMutex);
    if (m_httpTaskMap.contains(task.packageName)) {
        qCWarning(daemonLogCategory)
            << Q_FUNC_INFO << "Http Task " << task.packageName << "existed!";
        return;
    }
    auto *download = new HttpDownloadTask(task);
    connect(download, &HttpDownloadTask::sigStartInstallOperation, this,
            &AptInstallManager::OnInstallOrRemoveOperationWork, Qt::QueuedConnection);
    connect(download, &HttpDownloadTask::sigDownloadProgress, this,
            &AptInstallManager::OnDownloadProgressSlot, Qt::QueuedConnection);
    connect(download, &HttpDownloadTask::sigPauseFinished, this,
            &AptInstallManager::sigPauseFinished, Qt::QueuedConnection);
    connect(
        download, &HttpDownloadTask::sigAptOperationDataChange, this,
        [this](const Apt_Task &task, const QString &operation) {
            onDownloadOperationDataChange(task, operation);
        },
        Qt::QueuedConnection);
    connect(download, &HttpDownloadTask::sigSendSystemNotification, this,
            &AptInstallManager::sigSendSystemNotification, Qt::QueuedConnection);
    watchHandOver(download);
    watchEnd(download);
    connect(
        download, &HttpDownloadTask::sigFinished, this,
        [this, download] {
            QMutexLocker locker(&m_taskMapMutex);
            eraseFromTaskMapsLocked(download);
        },
        Qt::QueuedConnection);
    connect(this, &AptInstallManager::sigStopRunningTask, download,
            &HttpDownloadTask::onStopTaskSlot);
    connect(this, &AptInstallManager::sigPauseRunningTask, download,
            &HttpDownloadTask::onPauseTaskSlot);
    connect(this, &AptInstallManager::sigPrepareDeleteRunningTask, download,
            &HttpDownloadTask::onPrepareToDeleteTask);
    // Taken at once, as the other requests are: a history clear sent after
    // it must find its row written.
    connect(this, &AptInstallManager::sigPauseRunningTasks, download,
            &HttpDownloadTask::onPausePartTasksSlot);

    m_awaitedRequests.remove(task.packageName);
    m_httpTaskMap.insert(task.packageName, download);
    startInPoolLocked(download, m_downloadPool, 0);
    qCDebug(daemonLogCategory) << "addToRunAptTask activeThreadCount:" << task.packageName
                               << m_downloadPool->activeThreadCount();
}

void AptInstallManager::addToRunKaplaTask(const Apt_Task &task)
{
    QMutexLocker locker(&m_taskMapMutex);
    if (m_kaplaTaskMap.contains(task.packageName)) {
        qCWarning(daemonLogCategory)
            << Q_FUNC_INFO << "Kapla Task" << task.packageName << "existed!";
        return;
    }
    auto *kapla = new KaplaPkgInstAndRmTask(task);
    connect(kapla, &KaplaPkgInstAndRmTask::sigDownloadProgress, this,
            &AptInstallManager::OnDownloadProgressSlot, Qt::QueuedConnection);
    connect(kapla, &KaplaPkgInstAndRmTask::sigInstallProgress, this,
            &AptInstallManager::OnInstallProgressSlot, Qt::QueuedConnection);
    connect(kapla, &KaplaPkgInstAndRmTask::sigPauseFinished, this,
            &AptInstallManager::sigPauseFinished, Qt::QueuedConnection);
    connect(kapla, &KaplaPkgInstAndRmTask::sigStartInstall, this,
            &AptInstallManager::OnInstallOrRemoveOperationWork, Qt::QueuedConnection);
    connect(kapla, &KaplaPkgInstAndRmTask::sigStartUninstall, this,
            &AptInstallManager::sigStartPurge, Qt::QueuedConnection);
    connect(kapla, &KaplaPkgInstAndRmTask::sigInstallFinished, this,
            &AptInstallManager::OnInstallTaskFinishedSlot, Qt::QueuedConnection);
    connect(kapla, &KaplaPkgInstAndRmTask::sigUninstallFinished, this,
            &AptInstallManager::OnPurgeTaskFinishedSlot, Qt::QueuedConnection);
    connect(
        kapla, &KaplaPkgInstAndRmTask::sigPkgOperationDataChange, this,
        [this](const Apt_Task &task, const QString &operation) {
            onDownloadOperationDataChange(task, operation);
        },
        Qt::QueuedConnection);
    connect(kapla, &KaplaPkgInstAndRmTask::sigSendSystemNotification, this,
            &AptInstallManager::sigSendSystemNotification, Qt::QueuedConnection);
    watchEnd(kapla);
    connect(
        kapla, &KaplaPkgInstAndRmTask::sigFinished, this,
        [this, kapla] {
            QMutexLocker locker(&m_taskMapMutex);
            eraseFromTaskMapsLocked(kapla);
        },
        Qt::QueuedConnection);
    connect(
        kapla, &KaplaPkgInstAndRmTask::sigPurgeDPkg, this,
        [this](const Apt_Task &debian) { startInstallOrRemoveTask(debian); }, Qt::QueuedConnection);
    // Delivered on the task's own thread, the manager's, like the download
    // tasks' requests; the task settles a request against its own end.
    connect(this, &AptInstallManager::sigStopRunningTask, kapla,
            &KaplaPkgInstAndRmTask::slotStopTask);
    connect(this, &AptInstallManager::sigPauseRunningTask, kapla,
            &KaplaPkgInstAndRmTask::slotPauseTask);
    connect(this, &AptInstallManager::sigPrepareDeleteRunningTask, kapla,
            &KaplaPkgInstAndRmTask::slotPrepareToDeleteTask);
    connect(this, &AptInstallManager::sigPauseRunningTasks, kapla,
            &KaplaPkgInstAndRmTask::slotPausePartTasks);

    m_awaitedRequests.remove(task.packageName);
    m_kaplaTaskMap.insert(task.packageName, kapla);
    startInPoolLocked(kapla, m_downloadPool, 0);
    qCDebug(daemonLogCategory) << "addToRunAptTask activeThreadCount:" << task.packageName
                               << m_downloadPool->activeThreadCount();
}

void AptInstallManager::onNeedAptFix(const QString &packageName)
{
    if (refusedWhileStopping(packageName))
        return;
    auto *fix = new AptFixTask(packageName);
    connect(fix, &AptFixTask::sigAptFixTaskSucceeded, this,
            [this](const QString &name, bool isSuccessful) { onAptFixResult(name, isSuccessful); });
    QMutexLocker locker(&m_taskMapMutex);
    startInPoolLocked(fix, m_installPool, -1);
}

void AptInstallManager::onAptFixResult(const QString &packageName, bool isSuccessful)
{
    QMutexLocker locker(&m_taskMapMutex);
    if (m_aptTaskMap.contains(packageName))
        emit sigAptFixFinished(packageName, isSuccessful);
}

void AptInstallManager::sendAptInput(const Apt_Task &task, const QString &input)
{
    emit sigAptInputReceived(task, input);
}

void AptInstallManager::addPurgeTask(Apt_Task &task)
{
    qCInfo(daemonLogCategory) << "addPurgeTask" << task.packageName << task.version;
    emit sigAddPurgeTask(task);
}

void AptInstallManager::OnInstallOrRemoveOperationWork(Apt_Task task)
{
    qCDebug(daemonLogCategory) << "OnInstallOrRemoveOperationWork" << task.packageName << ","
                               << task.version << "," << task.taskType;
    if (refusedWhileStopping(task.packageName))
        return;
    // At once, not queued: the download task's end, queued behind this, must
    // find its package in the install stage.
    if (isStoreTask(task))
        OnAptOperationDataChangeSlot(task, task.taskType != 0 ? QStringLiteral("purge")
                                                              : QStringLiteral("install"));
    if (task.taskType == 1) {
        LocalPackageList kaplaApps;
        if (AptCache::getLocalKaplaPkgsWithCli(kaplaApps)) {
            for (const LocalPackageEntry &app : std::as_const(kaplaApps)) {
                if (app.packageName == task.packageName) {
                    task.pkgInstallMode = 2;
                    addDownloadPoolTask(task);
                    return;
                }
            }
        }
    }
    if (task.pkgInstallMode == 2)
        return;
    startInstallOrRemoveTask(task);
}

void AptInstallManager::startInstallOrRemoveTask(const Apt_Task &task)
{
    if (refusedWhileStopping(task.packageName))
        return;
    // Only the completion of a store or silent install asks the store.
    if (task.taskType == 0 && (isStoreTask(task) || task.sourceId == SILENT_UPGRADE_ID))
        m_briefLookup->start(task.packageName);
    // On an immutable system only its own installer may change packages,
    // tar bundles included.
    if (AppStore::Utils::isImmutableSystem())
        startImmutableTask(task);
    else if (!task.isTarPkg)
        startAptInstallTask(task);
    else
        startTarTask(task);
}

// The debconf answers go in while the archive downloads. Queued in the
// install pool, they never run beside another install or removal, and the
// install's own turn finds them given unless debconf's database changed.
void AptInstallManager::preseedAhead()
{
    m_installPool->start([preseed = m_preseed] {
        if (!AppStore::Utils::isImmutableSystem())
            preseed->apply();
    });
}

template<typename Task>
void AptInstallManager::startInInstallPool(Task *install, const Apt_Task &task)
{
    // A local install starts here from the caller's thread; the task lives
    // on the manager's, where it will be deleted.
    if (install->thread() != thread())
        install->moveToThread(thread());
    QMutexLocker locker(&m_taskMapMutex);
    startInPoolLocked(install, m_installPool, 0, task.packageName,
                      task.taskType == 0 ? task.packageName : QString());
}

void AptInstallManager::startAptInstallTask(const Apt_Task &task)
{
    auto *install = new AptInstallAndRemoveTask(task);
    install->setPromptSilenceInterval(m_promptSilenceMs);
    install->setDebconfPreseed(m_preseed);
    connect(install, &AptInstallAndRemoveTask::sigStartPurge, this,
            &AptInstallManager::sigStartPurge);
    connect(install, &AptInstallAndRemoveTask::sigInstallTaskFinished, this,
            &AptInstallManager::OnInstallTaskFinishedSlot);
    connect(install, &AptInstallAndRemoveTask::sigPurgeTaskFinished, this,
            &AptInstallManager::OnPurgeTaskFinishedSlot);
    connect(install, &AptInstallAndRemoveTask::sigAptOperationDataChange, this,
            &AptInstallManager::OnAptOperationDataChangeSlot, Qt::QueuedConnection);
    connect(install, &AptInstallAndRemoveTask::sigAptOutputRead, this,
            &AptInstallManager::OnAptOutputRead);
    connect(install, &AptInstallAndRemoveTask::sigInstallProgress, this,
            &AptInstallManager::OnInstallProgressSlot);
    connect(
        install, &AptInstallAndRemoveTask::sigUninstallKaplaPkg, this,
        [this](Apt_Task kaplaTask) { addDownloadPoolTask(kaplaTask); }, Qt::QueuedConnection);
    connect(this, &AptInstallManager::sigAptInputReceived, install,
            &AptInstallAndRemoveTask::sigAptInputReceived);
    startInInstallPool(install, task);
}

void AptInstallManager::startImmutableTask(const Apt_Task &task)
{
    auto *install = new ImmutableInstallAndRemoveTask(task);
    connect(install, &ImmutableInstallAndRemoveTask::sigInstallTaskFinished, this,
            &AptInstallManager::OnInstallTaskFinishedSlot);
    connect(install, &ImmutableInstallAndRemoveTask::sigAptOutputRead, this,
            &AptInstallManager::OnAptOutputRead);
    connect(install, &ImmutableInstallAndRemoveTask::sigStartPurge, this,
            &AptInstallManager::sigStartPurge);
    connect(install, &ImmutableInstallAndRemoveTask::sigPurgeTaskFinished, this,
            &AptInstallManager::OnPurgeTaskFinishedSlot);
    connect(install, &ImmutableInstallAndRemoveTask::sigAptOperationDataChange, this,
            &AptInstallManager::OnAptOperationDataChangeSlot, Qt::QueuedConnection);
    startInInstallPool(install, task);
}

void AptInstallManager::startTarTask(const Apt_Task &task)
{
    auto *install = new TarPkgInstallTask(task);
    connect(install, &TarPkgInstallTask::sigInstallTaskFinished, this,
            &AptInstallManager::OnInstallTaskFinishedSlot);
    connect(install, &TarPkgInstallTask::sigAptOperationDataChange, this,
            &AptInstallManager::OnAptOperationDataChangeSlot, Qt::QueuedConnection);
    startInInstallPool(install, task);
}

void AptInstallManager::OnInstallTaskFinishedSlot(Apt_Task data, bool ok,
                                                  AppStore::DownloadStatusCode code)
{
    endInstallStage(data.packageName);
    if (!isStoreTask(data) && data.sourceId != SILENT_UPGRADE_ID) {
        // Nothing is reported to other requesters, but the hook cache must
        // let go of the package, or later outside changes of it are missed.
        releaseHookCache(data.packageName);
        return;
    }
    qCDebug(daemonLogCategory) << "OnInstallTaskFinishedSlot";

    Package_Info info;
    const bool installed = readInstalledFacts(data, info);
    // dpkg can vouch only for its own packages: a tar bundle's script and
    // kapla's tool report their own success.
    if (ok && !installed && isDebianPackageTask(data)) {
        qCWarning(daemonLogCategory) << "install of" << data.packageName
                                     << "reported success, but the package is not installed";
        ok = false;
        if (code == AppStore::NoStatusCode)
            code = AppStore::InstallFailed;
    }
    const qint64 size = info.installedSize;

    StoreService::AppBriefInfo brief;
    brief.package_name = data.packageName;
    brief.package_mode = data.packageMode;
    AppStore::NotifyStatus status;
    status.code = code;
    const QString message = aptOutputToJsonString(QString(), SESSION_COMPLETE, QString(), status,
                                                  appBriefInfoToJsonString(brief));

    if (isStoreTask(data) && data.agreeSign) {
        const QString biCode =
            ok ? STATISTICS_CODE_SUCCESS
               : QString::number(code == AppStore::NoStatusCode ? AppStore::InstallFailed : code);
        ThreadPoolManager::instance()->addUploadDownloadTask(
            AppStore::TaskRecordBuilder::statisticsRecord(data, STATISTICS_INSTALL_END, biCode));
    }

    E_OptStatus kind;
    if (!ok) {
        m_briefLookup->drop(data.packageName);
        emit sigIntallProgress(data.sourceId, data.packageName, 1, size, -1, message);
        updateInstallResultToDb(false, data, code, info);
        kind = data.isFirstInstall ? OptInstallFailed : OptUpgradeFailed;
    } else {
        publishInstalledPackage(data);
        emit sigIntallProgress(data.sourceId, data.packageName, 1, size, size, message);
        emit sigRemoveUpdateCacheItem(data.packageName, QString());
        updateInstallResultToDb(true, data, code, info);
        if (isStoreTask(data) && m_createDesktop)
            AptCache::createShortcuts(data.packageName, data.loginName, data.isFirstInstall,
                                      data.pkgInstallMode);
        CacheDatabase::instance()->start();
        CacheDatabase::instance()->insertData(data.packageName);
        kind = data.isFirstInstall ? OptInstallSucceeded : OptUpgradeSucceeded;
    }

    SystemNotifyInfo notice;
    notice.opt = kind;
    notice.appName = data.appName;
    notice.packageName = data.packageName;
    notice.logname = data.loginName;
    emit sigSendSystemNotification(systemNotifyInfoToJsonString(notice));
    // The store is told the client version that is installed now: after a
    // failed upgrade that is still the old one; with none nothing changes.
    if (data.packageName == STORE_PACKAGE_NAME && installed && !info.version.isEmpty())
        Service::instance()->setClientVersion(info.version);
    removeOperation(data.packageName);
}

void AptInstallManager::publishInstalledPackage(const Apt_Task &data)
{
    const QVector<StoreService::AppBriefInfo> infos = m_briefLookup->take(data.packageName);
    // Only the package's own record may enter the published list.
    QList<StoreService::AppBriefInfo> own;
    for (const StoreService::AppBriefInfo &info : std::as_const(infos)) {
        if (info.package_name == data.packageName)
            own.append(info);
    }
    if (own.isEmpty())
        return;
    emit sigAptInstRm(own.first().package_name, true);
    OnTheShelvesAPPTableManager::instance()->insertTheShelvesAPPTableItemDatas(
        own, ChildrenGuardAccountInterface::instance()->getOwnerRole(data.loginName));
}

void AptInstallManager::updateInstallResultToDb(bool ok, const Apt_Task &task, int code,
                                                const Package_Info &info)
{
    if (!isStoreTask(task))
        return;
    QString path = AppStore::Utils::cacheDir() + QStringLiteral("archives/");
    if (!info.debPath.isEmpty())
        path += info.debPath;
    ApplicationHistoryRow row = AppStore::TaskRecordBuilder::historyRow(
        task, ok ? OPERATION_INSTALL : OPERATION_INSTALL_ERROR);
    row.version = info.version;
    row.path = path;
    row.content = QStringLiteral("0");
    row.result = ok ? HISTORY_RESULT_YES : QString::number(code);
    row.appSize = QString::number(info.installedSize);
    AppstoreDb::instance()->updateApplicationHistoryInfo(row);
    const QString &time = row.time;
    if (!ok)
        return;
    QStringList desktopFiles;
    AptCache::getDebDesktopFiles(task.packageName, desktopFiles, 0);
    AppstoreDb::instance()->insertInstallStatus(task.packageName, task.appName,
                                                desktopFiles.join(QLatin1Char(',')), task.appType,
                                                QStringLiteral("0"), task.ownerRole, time, time);
}

void AptInstallManager::OnPurgeTaskFinishedSlot(Apt_Task data, bool ok)
{
    if (!isStoreTask(data)) {
        releaseHookCache(data.packageName);
        return;
    }
    qCDebug(daemonLogCategory) << "OnPurgeTaskFinishedSlot";
    emit sigPurgeFinished(data.sourceId, data.packageName, ok);
    E_OptStatus kind = OptRemoveFailed;
    if (ok) {
        emit sigAptInstRm(data.packageName, false);
        AppstoreDb::instance()->updateInstallStatus(data.packageName, QStringLiteral("1"));
        emit sigRemoveUpdateCacheItem(data.packageName, QString());
        kind = OptRemoveSucceeded;
    }
    qCInfo(daemonLogCategory) << "E_OptStatus::" << kind << data.packageName << data.appName
                              << data.iconUrl;
    SystemNotifyInfo notice;
    notice.opt = kind;
    notice.appName = data.appName;
    notice.packageName = data.packageName;
    notice.logname = data.loginName;
    emit sigSendSystemNotification(systemNotifyInfoToJsonString(notice));
    removeOperation(data.packageName);
}

void AptInstallManager::addTaskToDb(QString opetation, Apt_Task task)
{
    AppstoreDb::instance()->updateApplicationHistoryInfo(
        AppStore::TaskRecordBuilder::historyRow(task, opetation));
}

void AptInstallManager::OnDownloadProgressSlot(QString id, QString packageName, qlonglong total,
                                               qlonglong cursize, QString statusMsg)
{
    emit sigIntallProgress(id, packageName, 0, total, cursize, statusMsg);
}

void AptInstallManager::OnInstallProgressSlot(QString id, QString packageName, qlonglong total,
                                              qlonglong cursize, QString statusMsg)
{
    emit sigIntallProgress(id, packageName, 1, total, cursize, statusMsg);
}

void AptInstallManager::OnAptOutputRead(QString id, QString packageName, QString output)
{
    emit sigIntallProgress(id, packageName, 1, -1, 0, output);
}

void AptInstallManager::OnAptOperationDataChangeSlot(Apt_Task task, QString strAptOperation)
{
    QMutexLocker locker(&m_operationMutex);
    qCInfo(daemonLogCategory) << task.sourceId << task.packageName << strAptOperation;
    if (!isStoreTask(task))
        return;
    if (strAptOperation.isEmpty()) {
        m_operationMap.remove(task.packageName);
        return;
    }
    AppStore::PackageOperation operation;
    operation.packagename = task.packageName;
    operation.name = task.appName;
    operation.operation = strAptOperation;
    operation.icon_url = task.iconUrl;
    operation.channelData = task.channelData;
    operation.channelId = task.channelId;
    operation.downloadLink = task.downloadLink;
    operation.pkgVer = task.version;
    operation.sh256 = task.sha256;
    operation.packageSize = task.totalSize;
    operation.isSpecificPkg = task.isSpecificPkg;
    operation.sessionId = task.sessionId;
    operation.appType = task.appType;
    operation.ownerRole = task.ownerRole;
    m_operationMap.insert(task.packageName, operation);
}

void AptInstallManager::removeOperation(const QString &packageName)
{
    QMutexLocker locker(&m_operationMutex);
    m_operationMap.remove(packageName);
}

// A request waiting for an ended task of the package to go holds it already:
// its dpkg run is the store's own, not an outside change.
void AptInstallManager::releaseHookCache(const QString &packageName)
{
    {
        QMutexLocker locker(&m_taskMapMutex);
        if (m_waitingRequests.contains(packageName))
            return;
    }
    emit sigRemoveHookCacheData({packageName});
}

void AptInstallManager::holdHookCache(const Apt_Task &task)
{
    HookData data;
    data.packageName = task.packageName;
    data.operation = task.taskType == 0 ? 0 : 1;
    emit sigHoldHookCacheData(data);
}

// The package is let go of once its task has taken the request: a running
// task may refuse it and install the package after all.
void AptInstallManager::stopTask(Apt_Task &task)
{
    emit sigStopTask(task);
}

void AptInstallManager::pauseTask(Apt_Task &task)
{
    emit sigPauseTask(task);
}

void AptInstallManager::prepareToDeleteTask(Apt_Task &task)
{
    emit sigPrepareToDeleteTask(task);
}

void AptInstallManager::pausePartAptTasks(const QString &id, const QStringList &packageNames)
{
    if (id != STORE_PACKAGE_NAME)
        return;
    emit sigPausePartAptTasks(id, packageNames);
}

void AptInstallManager::letGoOf(bool deleteRow, const QString &packageName)
{
    if (deleteRow)
        AppstoreDb::instance()->deleteApplicationHistoryInfo(packageName);
    releaseHookCache(packageName);
}

// Whether a stop was among the requests the package's task was handed: the
// task takes only the first, but the row goes whichever end it reports.
bool AptInstallManager::takeAwaitedStop(const QString &packageName)
{
    QMutexLocker locker(&m_taskMapMutex);
    return m_awaitedRequests.take(packageName);
}

// A download task drops its operation only when it ends short of the install
// stage: a stop or delete it was asked for has then come true.
void AptInstallManager::onDownloadOperationDataChange(const Apt_Task &task,
                                                      const QString &operation)
{
    OnAptOperationDataChangeSlot(task, operation);
    if (!operation.isEmpty())
        return;
    bool awaited = false;
    bool stop = false;
    {
        QMutexLocker locker(&m_taskMapMutex);
        awaited = m_awaitedRequests.contains(task.packageName);
        stop = m_awaitedRequests.take(task.packageName);
    }
    if (awaited)
        letGoOf(stop, task.packageName);
}

// Once its download task has handed it on, the package belongs to the install
// stage until its end: that stage takes no requests and lets go of it itself.
bool AptInstallManager::isInInstallStage(const QString &packageName)
{
    {
        // The operation map knows only the store's own tasks.
        QMutexLocker locker(&m_taskMapMutex);
        for (const PoolSlot &slot : std::as_const(m_poolTasks)) {
            if (slot.installPackage == packageName)
                return true;
        }
    }
    QMutexLocker locker(&m_operationMutex);
    const auto operation = m_operationMap.constFind(packageName);
    return operation != m_operationMap.cend() && operation->operation != QLatin1String("download");
}

bool AptInstallManager::hasTaskLocked(const QString &packageName) const
{
    return m_aptTaskMap.contains(packageName) || m_httpTaskMap.contains(packageName) ||
           m_kaplaTaskMap.contains(packageName);
}

namespace {

bool takesRunningRequests(const AbstractTask *, bool)
{
    return true;
}

// Past its download stage a kapla task installs, and an uninstall never
// stops: requests would only be ignored there.
bool takesRunningRequests(const KaplaPkgInstAndRmTask *task, bool anyKapla)
{
    return anyKapla || task->isInterruptible();
}

} // namespace

template<typename Task>
void AptInstallManager::takeBackLocked(QMap<QString, Task *> &map, const QString &packageName,
                                       QList<TakenTask> &taken, bool anyKapla, bool &running)
{
    Task *task = map.value(packageName);
    if (!task)
        return;
    if (!m_downloadPool->tryTake(task)) {
        running = running || takesRunningRequests(task, anyKapla);
        return;
    }
    map.remove(packageName);
    m_poolTasks.remove(task);
    // Read only now that the task is out of the pool: nothing else writes
    // its record any more.
    taken.append({task, task->getTask()});
}

// One task-map step over every map. A task still queued leaves the pool and
// its map together, so it can never start afterwards; a running one stays in
// its map until it reports its end. A waiting request is withdrawn like a
// queued task.
QList<AptInstallManager::TakenTask> AptInstallManager::takeBackTasks(const QString &packageName,
                                                                     bool anyKapla, bool &running)
{
    QMutexLocker locker(&m_taskMapMutex);
    running = false;
    QList<TakenTask> taken;
    takeBackLocked(m_aptTaskMap, packageName, taken, anyKapla, running);
    takeBackLocked(m_httpTaskMap, packageName, taken, anyKapla, running);
    takeBackLocked(m_kaplaTaskMap, packageName, taken, anyKapla, running);
    const auto waiting = m_waitingRequests.constFind(packageName);
    if (waiting != m_waitingRequests.cend()) {
        taken.append({nullptr, *waiting});
        m_waitingRequests.erase(waiting);
    }
    return taken;
}

void AptInstallManager::onControlRequest(ControlRequest request, const Apt_Task &task)
{
    bool running = false;
    const QList<TakenTask> taken = takeBackTasks(task.packageName, false, running);
    for (const TakenTask &queued : taken) {
        if (request == ControlRequest::Pause) {
            pauseTakenTask(queued.record);
        } else {
            // As a running task does on its way out: a task that will never
            // run is no longer in work.
            OnAptOperationDataChangeSlot(queued.record, QString());
            letGoOf(request == ControlRequest::Stop, task.packageName);
        }
        // It belongs to the manager's thread, which may be delivering an
        // event to it right now.
        if (queued.task)
            queued.task->deleteLater();
    }
    {
        QMutexLocker locker(&m_taskMapMutex);
        if (running) {
            bool &stop = m_awaitedRequests[task.packageName];
            stop = stop || request == ControlRequest::Stop;
        }
        // A task that takes no requests lets go of its package at its own end.
        else if (!taken.isEmpty() || hasTaskLocked(task.packageName))
            return;
    }
    if (!running) {
        if (isInInstallStage(task.packageName)) {
            qCInfo(daemonLogCategory)
                << "request refused, the install has begun:" << task.packageName;
            return;
        }
        letGoOf(request == ControlRequest::Stop, task.packageName); // nothing will report on it
        return;
    }
    switch (request) {
    case ControlRequest::Stop:
        emit sigStopRunningTask(task);
        break;
    case ControlRequest::Pause:
        emit sigPauseRunningTask(task);
        break;
    case ControlRequest::PrepareDelete:
        emit sigPrepareDeleteRunningTask(task);
        break;
    }
}

void AptInstallManager::onPausePartAptTasks(const QString &id, const QStringList &packageNames)
{
    QStringList runningPackages;
    QStringList idlePackages;
    for (const QString &name : packageNames) {
        bool running = false;
        // Every running task of the list is named; each one decides.
        const QList<TakenTask> taken = takeBackTasks(name, true, running);
        for (const TakenTask &queued : taken) {
            pauseTakenTask(queued.record);
            if (queued.task)
                queued.task->deleteLater();
        }
        if (running)
            runningPackages.append(name);
        else if (taken.isEmpty() && !isInInstallStage(name))
            idlePackages.append(name);
    }
    emit sigPauseRunningTasks(id, runningPackages);
    if (!idlePackages.isEmpty())
        emit sigRemoveHookCacheData(idlePackages);
}

void AptInstallManager::pauseTakenTask(Apt_Task record)
{
    emit sigPauseFinished(record.sourceId, record.packageName);
    {
        QMutexLocker locker(&m_operationMutex);
        const auto operation = m_operationMap.constFind(record.packageName);
        if (operation != m_operationMap.cend()) {
            record.sessionId = operation->sessionId;
            record.version = operation->pkgVer;
        }
    }
    if (isStoreTask(record) && record.agreeSign)
        ThreadPoolManager::instance()->addUploadDownloadTask(
            AppStore::TaskRecordBuilder::statisticsRecord(record, STATISTICS_PAUSE,
                                                          STATISTICS_CODE_SUCCESS));
    AppstoreDb::instance()->updateApplicationHistoryInfo(
        AppStore::TaskRecordBuilder::historyRow(record, OPERATION_PAUSE));
    OnAptOperationDataChangeSlot(record, QString());
}

QString AptInstallManager::getPackageAptOperationInfo(const QString &packageName)
{
    QMutexLocker locker(&m_operationMutex);
    const auto operation = m_operationMap.constFind(packageName);
    return operation == m_operationMap.cend() ? QString()
                                              : packageOperationToJsonString(*operation);
}

QStringList AptInstallManager::getAptOperationList()
{
    QMutexLocker locker(&m_operationMutex);
    QStringList list;
    for (const AppStore::PackageOperation &operation : std::as_const(m_operationMap))
        list.append(packageOperationToJsonString(operation));
    return list;
}

void AptInstallManager::syncLastInstallingTaskToPauseImply()
{
    QList<DownloadStateBiData> records;
    AppstoreDb::instance()->getBiDataFromApplicationHistoryByOperations(records,
                                                                        OPERATION_INSTALLING);
    if (!records.isEmpty()) {
        const bool agreeSign = settingIsOn(readSetting(QStringLiteral("agreeSign"), QString()));
        for (const DownloadStateBiData &record : std::as_const(records))
            settleInterruptedInstall(record, agreeSign);
    }
    // What is still "installing" now was cut off for good.
    AppstoreDb::instance()->updatePackagesOperations({OPERATION_INSTALLING}, OPERATION_INTERRUPTED);
}

void AptInstallManager::settleInterruptedInstall(const DownloadStateBiData &record, bool agreeSign)
{
    DownloadStateBiData data = record;
    data.code = QString::number(AppStore::InstallFailed);
    data.type = STATISTICS_PAUSE;

    QList<QStringList> columns;
    AppstoreDb::instance()->seleteRecords(
        {QStringLiteral("result"), QStringLiteral("pkgInstallMode")},
        {{QStringLiteral("packageName"), record.package_name}}, columns,
        QStringLiteral("application_history"));
    const QString result = columns.value(0).value(0);
    bool modeOk = false;
    const int installMode = columns.value(1).value(0).toInt(&modeOk);

    // A package that a crash left unpacked or half-configured is not
    // installed, whatever version dpkg records for it.
    Apt_Task task;
    task.packageName = record.package_name;
    task.pkgInstallMode = modeOk ? installMode : 1;
    Package_Info info;
    if (readInstalledFacts(task, info) &&
        AppStore::Utils::compareVersion(info.version, record.package_version) >= 0) {
        AppstoreDb::instance()->updateRecords(
            {{QStringLiteral("packageName"), record.package_name}},
            {{QStringLiteral("operation"), OPERATION_INSTALL},
             {QStringLiteral("appSize"), QString::number(info.installedSize)}},
            QStringLiteral("application_history"));
        return;
    }
    if (result == HISTORY_RESULT_YES)
        data.type = STATISTICS_INTERRUPTED_AFTER_SUCCESS;
    AppstoreDb::instance()->updateApplicationHistoryResult(record.package_name, HISTORY_RESULT_NO);
    if (agreeSign)
        ThreadPoolManager::instance()->addUploadDownloadTask(data);
}

// One announcement, in the form of a failed final message, and nothing more:
// no install is started for this task.
void AptInstallManager::failLocalInstall(const Apt_Task &task, const QString &reason)
{
    qCWarning(daemonLogCategory) << "addLocalInstallTask" << reason << task.packageName;
    emit sigIntallProgress(task.sourceId, task.downloadLink, 1, task.totalSize, -1, QString());
}

void AptInstallManager::addLocalInstallTask(Apt_Task &task)
{
    if (refusedWhileStopping(task.packageName))
        return;
    QString path = task.downloadLink;
    path.remove(LOCAL_FILE_PREFIX);
    task.totalSize = 0;

    const QString invalid = validationError(task);
    if (!invalid.isEmpty()) {
        failLocalInstall(task, invalid);
        return;
    }
    if (!AppStore::Utils::checkCustomCacheDir()) {
        failLocalInstall(task, QStringLiteral("Custom Cache Dir Create Failed!"));
        return;
    }
    // A relative path would name a file under whatever the daemon's working
    // folder happens to be.
    if (!QDir::isAbsolutePath(path)) {
        failLocalInstall(task, QStringLiteral("not an absolute path: ") + path);
        return;
    }

    const LocalPackageFile::Result taken = LocalPackageFile::takeIntoCache(
        path, AppStore::Utils::cacheDir(), task.packageName, task.version);
    task.totalSize = taken.size;
    if (!taken.error.isEmpty()) {
        failLocalInstall(task, taken.error);
        return;
    }
    task.isTarPkg = !taken.debianArchive;
    // The install task then takes the archive in the cache, not the
    // repository's package of the same name.
    if (taken.debianArchive)
        task.isSpecificPkg = 1;
    startInstallOrRemoveTask(task);
}
