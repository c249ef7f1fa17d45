#include "httpdownloadtask.h"

#include "common/common.h"
#include "common/daemon_log.h"
#include "common/operation_codes.h"
#include "common/opt_status.h"
#include "common/system_notify_info.h"
#include "database/appstoredb.h"
#include "service/service.h"
#include "service/store_request_texts.h"
#include "service/thread_pool_manager.h"
#include "task/download_success.h"
#include "task/local_package_file.h"
#include "task/task_record_builder.h"
#include "utils/package_name_validator.h"
#include "utils/utils.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QMetaObject>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QStorageInfo>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <limits>
#include <sys/statvfs.h>

namespace {

constexpr qint64 kMinimumSizeMargin = 1024 * 1024;
constexpr qint64 kReadBufferBytes = 1024 * 1024;
constexpr int kHttpStatusOk = 200;
constexpr int kHttpStatusPartial = 206;
constexpr int kHttpStatusRangeNotSatisfiable = 416;

const QString kTimeoutError = QStringLiteral("E: Network Timeout");

QString boolText(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

bool removeIfPresent(const QString &path)
{
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return true;
    return QFile::remove(path);
}

} // namespace

HttpDownloadTask::HttpDownloadTask(const Apt_Task &task, QObject *parent)
    : m_downloadDir(AppStore::Utils::cacheDir() + QStringLiteral("archives/"))
    , m_task(task)
    , m_announcedSize(task.totalSize)
{
    if (parent)
        setParent(parent);
    // Its owner deletes it on its own thread once run() has returned.
    setAutoDelete(false);
}

HttpDownloadTask::~HttpDownloadTask()
{
    m_file.close();
    qCInfo(daemonLogCategory) << "~HttpDownloadTask(), threadId:" << QThread::currentThreadId()
                              << m_task.packageName;
}

Apt_Task HttpDownloadTask::getTask() const
{
    QMutexLocker locker(&m_taskMutex);
    return m_task;
}

void HttpDownloadTask::setInactivityInterval(int milliseconds)
{
    m_timeout = milliseconds;
}

void HttpDownloadTask::setSizeMargin(qint64 bytes)
{
    m_sizeMargin = bytes;
}

void HttpDownloadTask::setUnsizedFreeFloor(qint64 bytes)
{
    m_unsizedFreeFloor = bytes;
}

QString HttpDownloadTask::tmpPath() const
{
    return m_downloadDir + m_task.packageName + QStringLiteral(".tmp");
}

QString HttpDownloadTask::debPath() const
{
    return m_downloadDir + m_task.packageName + QStringLiteral(".deb");
}

QString HttpDownloadTask::archiveTarPath() const
{
    return m_downloadDir + m_task.packageName + QStringLiteral(".tar");
}

QString HttpDownloadTask::cacheTarPath() const
{
    return AppStore::Utils::cacheDir() + m_task.packageName + QStringLiteral(".tar");
}

void HttpDownloadTask::run()
{
    runDownload();
    reportRunEnd();
}

void HttpDownloadTask::runDownload()
{
    if (m_bIsSafeDeleted || m_bIsPaused) {
        qCDebug(daemonLogCategory)
            << Q_FUNC_INFO << m_task.packageName
            << "m_bIsSafeDeleted =" << boolText(m_bIsSafeDeleted)
            << "m_bIsPaused =" << boolText(m_bIsPaused) << AppStore::Utils::nowText();
        return;
    }
    // Everything the download needs lives here on the pool thread and goes
    // when run() returns.
    QObject context;
    QEventLoop loop;
    QTimer timer;
    QNetworkAccessManager manager;
    {
        QMutexLocker locker(&m_stateMutex);
        if (m_bIsSafeDeleted)
            return;
        m_threadContext = &context;
        m_runThread = QThread::currentThread();
        m_eventLoop = &loop;
    }
    m_timer = &timer;
    m_manager = &manager;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, &HttpDownloadTask::onDownloadErrror,
            Qt::DirectConnection);

    startDownload();
    qCInfo(daemonLogCategory) << "HttpDownloadTask::run(), threadId:" << QThread::currentThreadId()
                              << m_task.packageName;
    if (m_bIsSafeDeleted)
        qCInfo(daemonLogCategory) << "HttpDownloadTask deleted:" << m_task.packageName;
    else
        loop.exec();

    {
        QMutexLocker locker(&m_stateMutex);
        m_eventLoop = nullptr;
        m_threadContext = nullptr;
    }
    timer.stop();
    safeDeleteReply();
    m_timer = nullptr;
    m_manager = nullptr;
    m_file.close();
}

void HttpDownloadTask::startDownload()
{
    const Apt_Task task = getTask();
    const QUrl url(task.downloadLink);
    const QString scheme = url.scheme().toLower();
    if (!AppStore::PackageNameValidator::isValidPackageName(task.packageName) || !url.isValid() ||
        url.host().isEmpty() ||
        (scheme != QLatin1String("https") && scheme != QLatin1String("http"))) {
        qCWarning(daemonLogCategory)
            << "refusing to download" << task.packageName << "from" << task.downloadLink;
        reportFailure(AppStore::InstallFailed, QStringLiteral("E: Invalid Download Request"),
                      false);
        return;
    }
    if (!QDir().mkpath(m_downloadDir) || !checkTmpFileExisted()) {
        qCWarning(daemonLogCategory) << "Tmp file create failed, abort..." << task.packageName;
        reportFailure(AppStore::InstallFailed, QStringLiteral("E: Temp File Create Failed"), false);
        return;
    }
    // An unknown size is bounded only by the room the cache has now.
    const qint64 margin =
        m_sizeMargin >= 0 ? qint64(m_sizeMargin) : kMinimumSizeMargin + m_announcedSize / 10;
    const qint64 available = QStorageInfo(m_downloadDir).bytesAvailable();
    const qint64 room =
        available >= 0 ? available + m_file.size() : std::numeric_limits<qint64>::max();
    m_sizeLimitIsRoom = m_announcedSize <= 0 || room < m_announcedSize + margin;
    m_sizeLimit = m_sizeLimitIsRoom ? room : m_announcedSize + margin;
    sendRequest(m_file.size());
}

// Resumes a partial file of an earlier run unless the task asks for a fresh
// download; anything at the name that is not a plain file is removed first.
// The task's downloaded size is what the file holds from here on, so a row
// written before the first progress tells the truth.
bool HttpDownloadTask::checkTmpFileExisted()
{
    const QFileInfo info(tmpPath());
    const bool needRedownload = getTask().needRedownload;
    if ((info.exists() || info.isSymLink()) &&
        (needRedownload || !info.isFile() || info.isSymLink())) {
        if (needRedownload)
            qCInfo(daemonLogCategory)
                << "Tmp file outdated, delete and redownload..." << m_task.packageName;
        removeIfPresent(tmpPath());
    }
    m_file.setFileName(tmpPath());
    if (QFileInfo::exists(tmpPath())) {
        qCInfo(daemonLogCategory) << "Tmp file existed, continue download..." << m_task.packageName;
        if (m_file.open(QIODevice::ReadWrite | QIODevice::Append)) {
            setDownloadedSize(m_file.size());
            return true;
        }
        qCWarning(daemonLogCategory)
            << "Tmp file open failed, delete and redownload..." << m_task.packageName;
        removeIfPresent(tmpPath());
    } else {
        qCInfo(daemonLogCategory) << "Tmp file is not existed, download..." << m_task.packageName;
    }
    setDownloadedSize(0);
    return m_file.open(QIODevice::ReadWrite | QIODevice::Truncate);
}

void HttpDownloadTask::setDownloadedSize(qint64 size)
{
    QMutexLocker locker(&m_taskMutex);
    m_task.downloadedSize = size;
}

void HttpDownloadTask::sendRequest(qint64 offset)
{
    QNetworkRequest request(QUrl(getTask().downloadLink));
    setRequestHeaders(request, offset);
    // Never from https down to http; the checksum guards the content, TLS the
    // privacy of what is installed.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    m_requestedOffset = offset;
    m_writeOffset = offset;
    m_bodyAccepted = false;
    m_freeFloor = -1;
    m_reply = m_manager->get(request);
    // The network thread stops reading once this much waits for the file:
    // memory stays bounded whatever the size of the download.
    m_reply->setReadBufferSize(kReadBufferBytes);
    connect(m_reply, &QNetworkReply::readyRead, this, &HttpDownloadTask::onReadyReadSlot,
            Qt::DirectConnection);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &HttpDownloadTask::onDownloadProgress,
            Qt::DirectConnection);
    connect(m_reply, &QNetworkReply::finished, this, &HttpDownloadTask::onFinishedSlot,
            Qt::DirectConnection);
    connect(m_reply, &QNetworkReply::errorOccurred, this, &HttpDownloadTask::onDownloadError,
            Qt::DirectConnection);
    m_timer->start(m_timeout);
}

void HttpDownloadTask::setRequestHeaders(QNetworkRequest &request, qint64 offset)
{
    request.setRawHeader("language", AppStore::Utils::getUserLanguage().toUtf8());
    // The store client's version as the store requests carry it: kept
    // current when the client itself is upgraded.
    m_headerInfo.biHeader.client_version = Service::instance()->getHeaderInfo().client_version;
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      buildUserAgent(m_headerInfo.biHeader).toUtf8());
    request.setRawHeader("Range", QStringLiteral("bytes=%1-").arg(offset).toUtf8());
    AppStore::Utils::setSslVerifyNone(request);
}

// The body goes into the file only from a reply that carries the file: a
// 206 continues the partial file, a 200 is the whole file from byte 0 even
// when a range was asked for. Error pages are never written.
bool HttpDownloadTask::acceptReplyStatus()
{
    if (m_bodyAccepted)
        return true;
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status != kHttpStatusOk && status != kHttpStatusPartial)
        return false;
    if (status == kHttpStatusOk && m_requestedOffset > 0) {
        qCInfo(daemonLogCategory) << "range ignored by the server, downloading"
                                  << m_task.packageName << "from the start";
        m_writeOffset = 0;
        setDownloadedSize(0);
        if (!m_file.resize(0)) {
            reportFailure(AppStore::InstallFailed, QStringLiteral("E: Temp File Create Failed"),
                          false);
            return false;
        }
    }
    if (!startHash()) {
        reportFailure(AppStore::InstallFailed, QStringLiteral("E: Temp File Read Failed"), false);
        return false;
    }
    m_bodyAccepted = true;
    const qint64 length = m_reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
    // Nobody told the size: the file may take half of the room the cache has
    // now, leaving the rest for unpacking it and for the system. Checked as
    // it grows, so that downloads side by side cannot fill it either.
    if (m_announcedSize <= 0 && length <= 0) {
        const qint64 freeBytes = freeCacheBytes();
        m_freeFloor = m_unsizedFreeFloor >= 0 ? qint64(m_unsizedFreeFloor)
                      : freeBytes >= 0        ? freeBytes / 2
                                              : -1;
    }
    return withinSizeLimit(m_writeOffset + length);
}

qint64 HttpDownloadTask::freeCacheBytes() const
{
    struct statvfs info = {};
    if (::statvfs(QFile::encodeName(m_downloadDir).constData(), &info) != 0)
        return -1;
    return qint64(info.f_bavail) * qint64(info.f_frsize);
}

bool HttpDownloadTask::keepsFreeFloor()
{
    const qint64 freeBytes = m_freeFloor < 0 ? -1 : freeCacheBytes();
    if (freeBytes < 0 || freeBytes >= m_freeFloor)
        return true;
    qCWarning(daemonLogCategory) << m_task.packageName << "download of unknown size stopped at"
                                 << m_file.pos() << "bytes: the cache keeps" << m_freeFloor
                                 << "bytes free";
    reportFailure(AppStore::DiskFull, QStringLiteral("E: Not Enough Free Space"), true);
    return false;
}

// The file is hashed as it is written, so that the check at the end does
// not read it all again; a resumed file's earlier bytes are hashed first.
bool HttpDownloadTask::startHash()
{
    m_hash.reset();
    if (m_writeOffset == 0)
        return true;
    m_file.flush();
    QFile prefix(tmpPath());
    if (!prefix.open(QIODevice::ReadOnly))
        return false;
    QByteArray chunk;
    qint64 left = m_writeOffset;
    while (left > 0) {
        chunk = prefix.read(std::min<qint64>(left, kReadBufferBytes));
        if (chunk.isEmpty())
            return false;
        m_hash.addData(chunk);
        left -= chunk.size();
    }
    return true;
}

bool HttpDownloadTask::withinSizeLimit(qint64 size)
{
    if (size <= m_sizeLimit)
        return true;
    qCWarning(daemonLogCategory) << m_task.packageName << "download of" << size
                                 << "bytes exceeds its limit of" << m_sizeLimit;
    const bool disk = m_sizeLimitIsRoom;
    reportFailure(disk ? AppStore::DiskFull : AppStore::NetworkFailed,
                  disk ? QStringLiteral("E: Not Enough Free Space")
                       : QStringLiteral("E: Download Larger Than Announced"),
                  true);
    return false;
}

void HttpDownloadTask::onReadyReadSlot()
{
    if (m_bIsSafeDeleted || !m_reply)
        return;
    if (!m_bodyAccepted) {
        const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status != kHttpStatusOk && status != kHttpStatusPartial) {
            m_reply->readAll(); // an error page; the error report follows
            return;
        }
        if (!acceptReplyStatus())
            return;
    }
    const QByteArray data = m_reply->readAll();
    if (m_file.write(data) != data.size()) {
        qCWarning(daemonLogCategory) << "writing" << tmpPath() << "failed:" << m_file.errorString();
        reportFailure(AppStore::DiskFull, QStringLiteral("E: Temp File Write Failed"), false);
        return;
    }
    m_hash.addData(data);
    if (!withinSizeLimit(m_file.pos()) || !keepsFreeFloor())
        return;
    m_timer->start(m_timeout);
}

void HttpDownloadTask::onDownloadProgress(qlonglong received, qlonglong total)
{
    Q_UNUSED(received);
    if (m_bIsSafeDeleted || !m_bodyAccepted)
        return;
    Apt_Task task;
    {
        QMutexLocker locker(&m_taskMutex);
        if (total > 0)
            m_task.totalSize = total + m_writeOffset;
        m_task.downloadedSize = m_file.pos();
        task = m_task;
    }
    m_timer->start(m_timeout);
    Q_EMIT sigDownloadProgress(task.sourceId, task.packageName, task.totalSize, task.downloadedSize,
                               notifyStatusToJsonString(AppStore::NotifyStatus()));
}

void HttpDownloadTask::onDownloadError(QNetworkReply::NetworkError code)
{
    if (m_bIsSafeDeleted || !m_reply)
        return;
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == kHttpStatusRangeNotSatisfiable && m_requestedOffset > 0 && !m_restarted) {
        restartFromZero();
        return;
    }
    qCWarning(daemonLogCategory) << "HttpDownloadTask::onDownloadError" << code << status
                                 << m_task.packageName;
    reportFailure(AppStore::NetworkFailed,
                  QStringLiteral("E: Network Error Code: ") + QString::number(int(code)), false);
}

// The server refused the range: what we hold is not a prefix it knows.
void HttpDownloadTask::restartFromZero()
{
    qCInfo(daemonLogCategory) << "range refused, downloading" << m_task.packageName << "again";
    m_restarted = true;
    safeDeleteReply();
    setDownloadedSize(0);
    if (!m_file.resize(0)) {
        reportFailure(AppStore::InstallFailed, QStringLiteral("E: Temp File Create Failed"), false);
        return;
    }
    sendRequest(0);
}

void HttpDownloadTask::onFinishedSlot()
{
    m_timer->stop();
    if (m_bIsSafeDeleted || !m_reply)
        return;
    qCInfo(daemonLogCategory) << "HttpDownloadTask::onFinishedSlot" << m_task.packageName;
    // An empty body never reaches onReadyReadSlot.
    if (!acceptReplyStatus()) {
        if (!m_bIsSafeDeleted)
            reportFailure(AppStore::NetworkFailed, kTimeoutError, false);
        return;
    }
    m_file.close();
    if (verifyAndPlaceFile())
        onDownloadSuccess();
    else
        onDownloadErrror();
}

// Every download is checked against the task's SHA-256, whatever its source;
// only a file that matched is told apart as Debian package or tar bundle.
bool HttpDownloadTask::verifyAndPlaceFile()
{
    const Apt_Task task = getTask();
    const QString expected = task.sha256.trimmed().toLower();
    const QString actual = m_hash.hexResult();
    if (expected.isEmpty() || actual != expected) {
        qCWarning(daemonLogCategory) << "file is not correct" << tmpPath() << actual;
        return false;
    }
    removeIfPresent(debPath());
    removeIfPresent(archiveTarPath());

    // The checksum only says the file is the one the record named; apt-get
    // and dpkg install whatever package an archive holds.
    const LocalPackageFile::ArchiveCheck archive =
        LocalPackageFile::checkArchive(tmpPath(), task.packageName, task.version);
    if (archive.debianArchive && !archive.mismatch.isEmpty()) {
        qCWarning(daemonLogCategory)
            << "refusing the download of" << task.packageName << ":" << archive.mismatch;
        return false;
    }
    if (archive.debianArchive)
        return placeFile(debPath());
    {
        QMutexLocker locker(&m_taskMutex);
        m_task.isTarPkg = true;
    }
    return placeFile(cacheTarPath());
}

bool HttpDownloadTask::placeFile(const QString &target)
{
    removeIfPresent(target);
    if (QFile::rename(tmpPath(), target))
        return true;
    qCWarning(daemonLogCategory) << "Tmp file rename failed, abort..." << m_task.packageName;
    return false;
}

// The run's own end and a control request are decided under one lock: the
// first to come owns the task's end, and the other reports nothing.
bool HttpDownloadTask::claimEnd()
{
    QMutexLocker locker(&m_stateMutex);
    if (m_bIsPaused || m_bIsSafeDeleted || m_bIsEnded)
        return false;
    m_bIsEnded = true;
    return true;
}

void HttpDownloadTask::onDownloadSuccess()
{
    // A request that took the task meanwhile wins: nothing goes to the install side.
    if (!claimEnd())
        return;
    if (m_timer)
        m_timer->stop();
    AppStore::DownloadSuccess::announce(this, getTask());
    m_bIsDownloadSucceeded = true;
    safeDeletaAll();
}

// The inactivity time-out and every failed check of a finished file.
void HttpDownloadTask::onDownloadErrror()
{
    if (m_timer)
        m_timer->stop();
    if (!claimEnd())
        return;
    if (getTask().sourceId == STORE_PACKAGE_NAME)
        sendStatistics(STATISTICS_DOWNLOAD_END, QString::number(AppStore::NetworkFailed),
                       QStringLiteral("err: ") + kTimeoutError);
    reportClaimedFailure(AppStore::NetworkFailed, kTimeoutError, true);
}

void HttpDownloadTask::reportFailure(int code, const QString &error, bool removeFiles)
{
    if (claimEnd())
        reportClaimedFailure(code, error, removeFiles);
}

void HttpDownloadTask::reportClaimedFailure(int code, const QString &error, bool removeFiles)
{
    AppStore::NotifyStatus status;
    status.code = code;
    status.error = error;
    installFailedUpdateDb(status);
    const Apt_Task task = getTask();
    Q_EMIT sigDownloadProgress(task.sourceId, task.packageName, task.totalSize, -1,
                               notifyStatusToJsonString(status));
    SystemNotifyInfo notice;
    notice.opt = OptInstallFailed;
    notice.appName = task.appName;
    notice.packageName = task.packageName;
    notice.logname = task.loginName;
    Q_EMIT sigSendSystemNotification(systemNotifyInfoToJsonString(notice));
    if (removeFiles)
        removeDownloadFiles();
    safeDeletaAll();
}

// A refused name is never turned into a path.
void HttpDownloadTask::removeDownloadFiles()
{
    if (!AppStore::PackageNameValidator::isValidPackageName(m_task.packageName))
        return;
    m_file.close();
    for (const QString &path : {tmpPath(), debPath(), archiveTarPath(), cacheTarPath()})
        removeIfPresent(path);
}

void HttpDownloadTask::installFailedUpdateDb(AppStore::NotifyStatus status)
{
    const Apt_Task task = getTask();
    if (task.sourceId != STORE_PACKAGE_NAME) {
        qCDebug(daemonLogCategory) << "Not velkor-app-store Task, skip...";
        return;
    }
    qCDebug(daemonLogCategory) << "HttpDownloadTask::installFailedUpdateDb()";
    AppstoreDb::instance()->updateApplicationHistoryInfo(
        AppStore::TaskRecordBuilder::downloadFailureRow(task, status.code, status.output,
                                                        status.error));
}

void HttpDownloadTask::sendStatistics(const QString &type, const QString &code,
                                      const QString &content)
{
    const Apt_Task task = getTask();
    if (!task.agreeSign)
        return;
    ThreadPoolManager::instance()->addUploadDownloadTask(
        AppStore::TaskRecordBuilder::statisticsRecord(task, type, code, content));
}

bool HttpDownloadTask::acceptRequest(Request request, const QString &sourceId, bool matches)
{
    static const char *const names[] = {"onStopTaskSlot", "onPauseTaskSlot",
                                        "onPrepareToDeleteTask", "onPausePartTasksSlot"};
    const Apt_Task task = getTask();
    {
        QMutexLocker locker(&m_stateMutex);
        if (m_bIsPaused || m_bIsSafeDeleted || m_bIsEnded) {
            qCDebug(daemonLogCategory) << names[int(request)] << task.packageName
                                       << "m_bIsSafeDeleted =" << boolText(m_bIsSafeDeleted);
            return false;
        }
        qCDebug(daemonLogCategory) << names[int(request)] << task.packageName;
        if (sourceId != task.sourceId || !matches)
            return false;
        m_bIsPaused = true;
    }

    static const char *const words[] = {"stop", "pause", "delete", "stop"};
    qCInfo(daemonLogCategory) << words[int(request)] << task.packageName;
    // The row is in place before the signal leaves: the manager may delete
    // it on the signal, when a stop came meanwhile.
    if (request != Request::Stop)
        AppstoreDb::instance()->updateApplicationHistoryInfo(
            AppStore::TaskRecordBuilder::historyRow(task, OPERATION_PAUSE));
    if (request == Request::Pause || request == Request::PartPause) {
        Q_EMIT sigPauseFinished(task.sourceId, task.packageName);
        if (task.sourceId == STORE_PACKAGE_NAME)
            sendStatistics(STATISTICS_PAUSE, STATISTICS_CODE_SUCCESS, QString());
    }
    if (!m_bIsSafeDeleted)
        safeDeletaAll();
    return true;
}

void HttpDownloadTask::onStopTaskSlot(Apt_Task task)
{
    acceptRequest(Request::Stop, task.sourceId, task.packageName == getTask().packageName);
}

void HttpDownloadTask::onPauseTaskSlot(Apt_Task task)
{
    // The pause statistics follow the agreement of the request.
    {
        QMutexLocker locker(&m_taskMutex);
        if (task.sourceId == m_task.sourceId && task.packageName == m_task.packageName &&
            !m_bIsPaused)
            m_task.agreeSign = task.agreeSign;
    }
    acceptRequest(Request::Pause, task.sourceId, task.packageName == getTask().packageName);
}

void HttpDownloadTask::onPrepareToDeleteTask(Apt_Task task)
{
    acceptRequest(Request::Delete, task.sourceId, task.packageName == getTask().packageName);
}

void HttpDownloadTask::onPausePartTasksSlot(QString id, QStringList packageNames)
{
    acceptRequest(Request::PartPause, id, packageNames.contains(getTask().packageName));
}

void HttpDownloadTask::safeDeletaAll()
{
    QObject *context = nullptr;
    {
        QMutexLocker locker(&m_stateMutex);
        if (m_bIsSafeDeleted)
            return; // a request and the end of the reply may meet here
        m_bIsSafeDeleted = true;
        context = m_threadContext;
    }
    const Apt_Task task = getTask();
    qCDebug(daemonLogCategory) << "void HttpDownloadTask::safeDeletaAll()" << task.packageName
                               << "m_bIsSafeDeleted =" << boolText(m_bIsSafeDeleted);
    Q_EMIT sigFinished(task.packageName);
    if (!m_bIsDownloadSucceeded)
        Q_EMIT sigAptOperationDataChange(task, QString());

    // Read again under the lock: run() may have ended meanwhile.
    QMutexLocker locker(&m_stateMutex);
    context = m_threadContext;
    if (context && QThread::currentThread() == m_runThread)
        teardownOnOwnThread();
    else if (context)
        QMetaObject::invokeMethod(
            context, [this] { teardownOnOwnThread(); }, Qt::QueuedConnection);
}

void HttpDownloadTask::teardownOnOwnThread()
{
    if (m_timer)
        m_timer->stop();
    safeDeleteReply();
    safeDeleteEventLoop();
}

// Disconnected first, so the abort reaches neither the error nor the
// finished handling.
void HttpDownloadTask::safeDeleteReply()
{
    if (!m_reply)
        return;
    qCDebug(daemonLogCategory) << "HttpDownloadTash::safeDeleteReply(), threadId:"
                               << QThread::currentThreadId() << m_task.packageName;
    disconnect(m_reply, nullptr, this, nullptr);
    m_reply->abort();
    m_reply->close();
    m_reply->deleteLater();
    m_reply = nullptr;
}

void HttpDownloadTask::safeDeleteEventLoop()
{
    if (!m_eventLoop)
        return;
    qCDebug(daemonLogCategory) << "HttpDownloadTask::safeDeleteEventLoop(), threadId:"
                               << QThread::currentThreadId() << m_task.packageName;
    m_eventLoop->quit();
}
