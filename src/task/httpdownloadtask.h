#pragma once

#include "abstract_task.h"
#include "common/apt_task.h"
#include "common/notify_status.h"
#include "common/request_header_info.h"
#include "utils/sha256_hasher.h"

#include <QFile>
#include <QMutex>
#include <QNetworkReply>
#include <QRunnable>
#include <QString>
#include <QStringList>

#include <atomic>

class QEventLoop;
class QNetworkAccessManager;
class QNetworkRequest;
class QThread;
class QTimer;

// Downloads the package file of one task from its download link into the
// daemon's package cache, resuming a partial ".tmp" of an earlier run, checks
// its SHA-256 and hands it to the install side as a Debian package or a tar
// bundle.
//
// The object lives on the thread that created it (the install manager's), so
// the control slots run there; run(), the network objects, the timer and the
// file live on a pool thread and are touched only there. A control request
// from elsewhere posts the teardown to that thread. The flags are atomic; the
// run's end and a control request are decided under m_stateMutex, so exactly
// one of them is reported. The task record is shared under m_taskMutex.
//
// The files are named from the package name alone, never from the URL or the
// server's headers, so nothing is ever written outside the cache folder.
class HttpDownloadTask : public AbstractTask, public QRunnable
{
    Q_OBJECT
public:
    explicit HttpDownloadTask(const Apt_Task &task, QObject *parent = nullptr);
    ~HttpDownloadTask() override;

    void run() override;
    Apt_Task getTask() const;

    // Without progress for this long a download fails (default 5000 ms).
    void setInactivityInterval(int milliseconds);
    // How far a download may go past the size the task announced before it
    // is stopped (default 1 MiB plus a tenth of the announced size).
    void setSizeMargin(qint64 bytes);
    // A download whose size neither the task nor the server tells stops once
    // the cache's filesystem has less than this free (default: half of what
    // it had free when the reply began).
    void setUnsizedFreeFloor(qint64 bytes);

Q_SIGNALS:
    void sigDownloadProgress(QString id, QString packageName, qlonglong total, qlonglong cursize,
                             QString statusMsg);
    void sigPauseFinished(QString id, QString packageName);
    void sigStartInstallOperation(Apt_Task task);
    void sigAptOperationDataChange(Apt_Task task, QString strAptOperation);
    void sigFinished(QString packageName);
    void sigSendSystemNotification(QString noticeJsonStr);

public Q_SLOTS:
    void onReadyReadSlot();
    void onDownloadProgress(qlonglong received, qlonglong total);
    void onFinishedSlot();
    void onDownloadError(QNetworkReply::NetworkError code);
    void onStopTaskSlot(Apt_Task task);
    void onPauseTaskSlot(Apt_Task task);
    void onPrepareToDeleteTask(Apt_Task task);
    void onPausePartTasksSlot(QString id, QStringList packageNames);
    void onDownloadSuccess();
    void onDownloadErrror();

private:
    enum class Request { Stop, Pause, Delete, PartPause };

    void runDownload();
    void startDownload();
    bool checkTmpFileExisted();
    void setDownloadedSize(qint64 size);
    void sendRequest(qint64 offset);
    void setRequestHeaders(QNetworkRequest &request, qint64 offset);
    bool acceptReplyStatus();
    bool startHash();
    bool withinSizeLimit(qint64 size);
    qint64 freeCacheBytes() const;
    bool keepsFreeFloor();
    void restartFromZero();
    bool verifyAndPlaceFile();
    bool placeFile(const QString &target);

    bool claimEnd();
    bool acceptRequest(Request request, const QString &sourceId, bool matches);
    void reportFailure(int code, const QString &error, bool removeFiles);
    void reportClaimedFailure(int code, const QString &error, bool removeFiles);
    void installFailedUpdateDb(AppStore::NotifyStatus status);
    void sendStatistics(const QString &type, const QString &code, const QString &content);
    void removeDownloadFiles();

    void safeDeletaAll();
    void teardownOnOwnThread();
    void safeDeleteReply();
    void safeDeleteEventLoop();

    QString tmpPath() const;
    QString debPath() const;
    QString archiveTarPath() const;
    QString cacheTarPath() const;

    const QString m_downloadDir;
    RequestHeaderInfo m_headerInfo;

    // Pool-thread objects.
    QEventLoop *m_eventLoop = nullptr;
    QNetworkAccessManager *m_manager = nullptr;
    QNetworkReply *m_reply = nullptr;
    QTimer *m_timer = nullptr;
    QObject *m_threadContext = nullptr; // receives the teardown posted from other threads
    QThread *m_runThread = nullptr;
    QFile m_file;
    Sha256Hasher m_hash;          // of what m_file holds
    qint64 m_requestedOffset = 0; // where the running request asked to start
    qint64 m_writeOffset = 0;     // where the reply's body starts in the file
    qint64 m_sizeLimit = 0;
    bool m_sizeLimitIsRoom = false; // the cache's free space, not the announced size
    qint64 m_freeFloor = -1;        // free bytes an unsized download leaves; -1 none
    bool m_bodyAccepted = false;
    bool m_restarted = false;

    Apt_Task m_task;
    mutable QMutex m_taskMutex;
    QMutex m_stateMutex;
    const qint64 m_announcedSize;

    std::atomic<int> m_timeout{5000};
    std::atomic<qint64> m_sizeMargin{-1};
    std::atomic<qint64> m_unsizedFreeFloor{-1};
    std::atomic<bool> m_bIsPaused{false};
    std::atomic<bool> m_bIsSafeDeleted{false};
    std::atomic<bool> m_bIsDownloadSucceeded{false};
    std::atomic<bool> m_bIsEnded{false}; // the run decided its own end (under m_stateMutex)
};
