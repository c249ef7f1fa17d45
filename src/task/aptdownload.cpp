#include "task/aptdownload.h"

#include "apt_utils/aptcache.h"
#include "common/daemon_log.h"
#include "common/operation_codes.h"
#include "database/appstoredb.h"
#include "task/cached_archive.h"
#include "task/pre_download_command.h"
#include "task/task_record_builder.h"
#include "utils/process_runner.h"
#include "utils/utils.h"
#include "utils/worker_thread.h"

#include <QFileInfo>
#include <QMetaObject>
#include <QSemaphore>
#include <QThread>
#include <QTimer>

#include <memory>

using AppStore::PreDownloadCommand;
using AppStore::ProcessResult;
using AppStore::ProcessRunner;
using AppStore::ProcessSpec;

AptDownload::AptDownload(QObject *parent)
    : QObject(parent)
    , m_partialDir(AppStore::Utils::cacheDir() + QStringLiteral("archives/partial"))
{
    // The queue keeps up to ten workers for a whole session, most of them
    // idle: a worker's thread is started with its first download.
    m_thread = new QThread();
    m_thread->setObjectName(QStringLiteral("AptDownload"));
    moveToThread(m_thread);
}

AptDownload::~AptDownload()
{
    {
        QMutexLocker locker(&m_runMutex);
        m_endedRun = m_run;
        m_endRequest = EndRequest::Stop;
    }
    if (thread() == QThread::currentThread() || !m_threadStarted) {
        // A worker that never got a download has nothing on its thread.
        releaseOnOwnThread();
    } else {
        // apt-get is ended and reaped on the thread that owns its runner,
        // before that thread goes: a kill merely posted there could be
        // dropped with the thread's event loop and leave apt-get running.
        auto released = std::make_shared<QSemaphore>();
        QMetaObject::invokeMethod(
            this,
            [this, released] {
                releaseOnOwnThread();
                released->release();
            },
            Qt::QueuedConnection);
        if (!released->tryAcquire(1, AppStore::kWorkerStopWaitMs))
            qCWarning(daemonLogCategory) << "AptDownload: the download of" << getTask().packageName
                                         << "was not released in time";
    }
    if (!m_thread)
        return;
    if (QThread::currentThread() == m_thread) {
        m_thread->quit();
        connect(m_thread, &QThread::finished, m_thread, &QObject::deleteLater);
    } else if (AppStore::stopWorkerThread(m_thread)) {
        delete m_thread;
    }
}

void AptDownload::startDownload(Apt_Task task)
{
    qCDebug(daemonLogCategory) << Q_FUNC_INFO << task.sourceId << task.packageName << task.version;
    m_busy = true;
    {
        QMutexLocker locker(&m_taskMutex);
        m_task = task;
    }
    m_currentSize = 0;
    m_expectedSize = 0;
    quint64 run = 0;
    {
        QMutexLocker locker(&m_runMutex);
        run = ++m_run;
        m_endRequest = EndRequest::None;
    }
    QMetaObject::invokeMethod(
        this, [this, run, task] { OnStartDownloadSlot(run, task); }, Qt::QueuedConnection);
    // Calls queued before the thread runs wait for its event loop.
    if (!m_threadStarted.exchange(true) && m_thread)
        m_thread->start();
}

void AptDownload::stop()
{
    if (!requestEnd(EndRequest::Stop))
        m_busy = false;
}

void AptDownload::pause()
{
    // The run is marked ended before the row is written: a start waiting on
    // the worker's thread must not get through meanwhile.
    const bool running = requestEnd(EndRequest::Pause);
    writePauseRow();
    if (running)
        return;
    const Apt_Task task = getTask();
    qCInfo(daemonLogCategory) << "void AptDownload::pause()"
                              << "download process is null, direct pause";
    Q_EMIT sigPauseFinished(task.sourceId, task.packageName);
    m_busy = false;
}

void AptDownload::prepareToDeleteTask()
{
    if (requestEnd(EndRequest::Delete))
        return;
    qCInfo(daemonLogCategory) << "downloadprocesss is null direcrt pause";
    m_busy = false;
}

bool AptDownload::isBusy() const
{
    return m_busy;
}

Apt_Task AptDownload::getTask() const
{
    QMutexLocker locker(&m_taskMutex);
    return m_task;
}

bool AptDownload::requestEnd(EndRequest request)
{
    QMutexLocker locker(&m_runMutex);
    m_endedRun = m_run;
    m_endRequest = request;
    if (!m_processRunning)
        return false;
    const quint64 run = m_run;
    QMetaObject::invokeMethod(
        this, [this, run] { killOnOwnThread(run); }, Qt::QueuedConnection);
    return true;
}

void AptDownload::killOnOwnThread(quint64 run)
{
    stopProgressTimer();
    {
        QMutexLocker locker(&m_runMutex);
        if (run != m_run || !m_processRunning || !m_process)
            return;
    }
    qCInfo(daemonLogCategory) << "AptDownload: ending the download of" << getTask().packageName
                              << "process" << m_process->processId();
    m_process->kill();
}

void AptDownload::OnStartDownloadSlot(quint64 run, const Apt_Task &task)
{
    {
        QMutexLocker locker(&m_runMutex);
        if (run != m_run || m_endedRun >= run) {
            locker.unlock();
            endUnstartedRun(run, task);
            return;
        }
    }
    if (!PreDownloadCommand::isAcceptable(task)) {
        qCWarning(daemonLogCategory)
            << "AptDownload: refusing to pre-download" << task.packageName << task.version;
        endUnstartedRun(run, task);
        return;
    }
    m_packageInfo = Package_Info();
    AptCache::getPackageDownloadInfo(task.packageName, m_packageInfo, task.version);
    m_expectedSize = m_packageInfo.size;
    m_partialFilePath = m_packageInfo.debPath.isEmpty()
                            ? QString()
                            : m_partialDir + QLatin1Char('/') + m_packageInfo.debPath;
    if (!m_progressTimer) {
        m_progressTimer = new QTimer(this);
        connect(m_progressTimer, &QTimer::timeout, this, &AptDownload::OnCheckProgressSlot);
        m_progressTimer->setInterval(m_checkInterval);
    }
    if (!startProcess(run, task))
        return;
    m_progressTimer->start();
}

// Starts apt-get unless the run was ended meanwhile (the package query above
// takes a while); an end request sees either no process or a running one.
bool AptDownload::startProcess(quint64 run, const Apt_Task &task)
{
    QMutexLocker locker(&m_runMutex);
    if (run != m_run || m_endedRun >= run) {
        locker.unlock();
        endUnstartedRun(run, task);
        return false;
    }
    ProcessSpec spec;
    spec.program = QStringLiteral("apt-get");
    spec.arguments = PreDownloadCommand::arguments(task.packageName, task.version);
    spec.environmentMode = ProcessSpec::Environment::Replace;
    spec.environment = PreDownloadCommand::environment(task);
    spec.nullDescriptors = {3};
    spec.timeoutMs = PreDownloadCommand::kRunLimitMs;
    m_process = new ProcessRunner;
    connect(m_process, &ProcessRunner::finished, this, &AptDownload::OnFinishedSlot);
    if (!m_process->start(spec)) {
        qCWarning(daemonLogCategory) << "AptDownload: cannot run apt-get for" << task.packageName
                                     << m_process->result().errorString;
        delete m_process;
        m_process = nullptr;
        locker.unlock();
        endRun(task, -1);
        return false;
    }
    m_processRunning = true;
    // Nothing is ever asked of apt-get here: a question must fail, not wait.
    m_process->closeWriteChannel();
    qCInfo(daemonLogCategory) << "AptDownload: apt-get" << spec.arguments;
    return true;
}

void AptDownload::OnCheckProgressSlot()
{
    if (m_partialFilePath.isEmpty())
        return;
    const QFileInfo partial(m_partialFilePath);
    if (!partial.isFile())
        return;
    m_currentSize = partial.size();
    if (partial.size() == m_expectedSize)
        stopProgressTimer();
}

void AptDownload::OnFinishedSlot(const ProcessResult &result)
{
    EndRequest request = EndRequest::None;
    {
        QMutexLocker locker(&m_runMutex);
        m_processRunning = false;
        if (m_endedRun >= m_run)
            request = m_endRequest;
    }
    // The runner is still inside its own signal.
    if (m_process) {
        disconnect(m_process, nullptr, this, nullptr);
        m_process->deleteLater();
        m_process = nullptr;
    }
    stopProgressTimer();
    const Apt_Task task = getTask();
    if (request != EndRequest::None) {
        endKilledRun(request, task);
        return;
    }
    qCInfo(daemonLogCategory) << "AptDownload::OnFinishedSlot" << task.sourceId << task.packageName
                              << result.exitCode << (result.crashed ? "CrashExit" : "NormalExit");
    if (!result.succeeded()) {
        endFailedRun(result, task);
        return;
    }
    if (!AppStore::CachedArchive::isPresent(task, m_packageInfo.debPath)) {
        // "^name$=version" of a version apt does not know fetches nothing
        // and still exits 0: the lists want refreshing as for a failure.
        qCWarning(daemonLogCategory)
            << "AptDownload: apt-get ended without downloading" << task.packageName << task.version;
        Q_EMIT sigAptUpdate(false);
        endRun(task, -1);
        return;
    }
    m_currentSize = m_expectedSize.load();
    endRun(task, m_expectedSize);
}

// A stopped run tells the queue nothing: the queue stops a run only as it
// drops the task, and a late report could drop the same package queued anew.
void AptDownload::endKilledRun(EndRequest request, const Apt_Task &task)
{
    if (request == EndRequest::Stop) {
        qCInfo(daemonLogCategory) << task.packageName << "is stop";
        m_busy = false;
        return;
    }
    qCInfo(daemonLogCategory) << task.packageName << "is paused";
    if (request == EndRequest::Pause)
        Q_EMIT sigPauseFinished(task.sourceId, task.packageName);
    endRun(task, -1);
}

void AptDownload::endFailedRun(const ProcessResult &result, const Apt_Task &task)
{
    const QString output = result.outputText();
    const QString error = result.errorText();
    if (result.timedOut)
        qCWarning(daemonLogCategory) << "AptDownload: apt-get for" << task.packageName << "exceeded"
                                     << PreDownloadCommand::kRunLimitMs << "ms";
    qCWarning(daemonLogCategory).noquote() << "AptDownload::OnFinishedSlot failed:" << error;
    qCInfo(daemonLogCategory).noquote() << "AptDownload::OnFinishedSlot output:" << output;
    const PreDownloadCommand::Failure failure = PreDownloadCommand::classify(error);
    if (failure.refreshLists)
        Q_EMIT sigAptUpdate(false);
    // The install that follows meets the same problem and repairs it in the
    // install queue, where nothing else changes the package system meanwhile.
    if (failure.removeArchives)
        qCInfo(daemonLogCategory) << "AptDownload: would repair broken archives for"
                                  << task.packageName << "; left to the install";
    if (failure.purgeReinstreq)
        qCInfo(daemonLogCategory) << "AptDownload: would repair a package needing reinstallation"
                                  << "for" << task.packageName << "; left to the install";
    endRun(task, -1);
}

// Every end of a run tells the queue, which drops the task on a current
// size of -1 or of the whole size.
void AptDownload::endRun(const Apt_Task &task, qlonglong currentSize)
{
    m_busy = false;
    Q_EMIT sigDownloadProgress(task.sourceId, task.packageName, m_expectedSize, currentSize);
}

void AptDownload::endUnstartedRun(quint64 run, const Apt_Task &task)
{
    EndRequest request = EndRequest::None;
    {
        QMutexLocker locker(&m_runMutex);
        if (run != m_run)
            return; // a later run has taken over the worker
        if (m_endedRun >= run)
            request = m_endRequest;
    }
    qCInfo(daemonLogCategory) << "AptDownload: no download of" << task.packageName;
    if (request == EndRequest::Stop)
        m_busy = false;
    else
        endRun(task, -1);
}

void AptDownload::releaseOnOwnThread()
{
    delete m_progressTimer;
    m_progressTimer = nullptr;
    AppStore::ProcessRunner::release(m_process, this);
    QMutexLocker locker(&m_runMutex);
    m_processRunning = false;
    m_busy = false;
}

void AptDownload::stopProgressTimer()
{
    if (m_progressTimer)
        QMetaObject::invokeMethod(m_progressTimer, &QTimer::stop, Qt::QueuedConnection);
}

void AptDownload::writePauseRow()
{
    const Apt_Task task = getTask();
    ApplicationHistoryRow row = AppStore::TaskRecordBuilder::historyRow(task, OPERATION_PAUSE);
    row.content = QString::number(m_currentSize.load());
    row.appSize = QString::number(m_expectedSize.load());
    AppstoreDb::instance()->updateApplicationHistoryInfo(row);
}
