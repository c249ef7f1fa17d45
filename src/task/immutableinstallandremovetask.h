#pragma once

#include "apt_utils/pending_shortcut_removal.h"
#include "common/apt_task.h"
#include "common/operation_codes.h"
#include "task/abstract_task.h"
#include "task/bounded_output.h"
#include "utils/process_runner.h"

#include <QProcess>
#include <QRunnable>
#include <QString>
#include <QStringDecoder>

#include <atomic>
#include <memory>

class QEventLoop;

// Installs or purges one Debian package with a plain apt-get on a system
// whose root is immutable: the system's own apt configuration and the
// daemon's environment, no progress parsing, no prompts, no repairs. It runs
// in the one-thread install pool in place of the apt install task.
//
// The child process and the event loop are created, used and released on
// the pool thread; nothing else touches them. Whoever started the task
// deletes it once run() has reported its end.
class ImmutableInstallAndRemoveTask : public AbstractTask, public QRunnable
{
    Q_OBJECT
public:
    explicit ImmutableInstallAndRemoveTask(const Apt_Task &task, QObject *parent = nullptr);
    ~ImmutableInstallAndRemoveTask() override;

    void run() override;

    void startInstallTask();
    void startPurgeTask();
    void safeDeleteProcess();
    void safeQuitAndDeleteEventLoop();

Q_SIGNALS:
    void sigInstallTaskFinished(Apt_Task task, bool ok,
                                AppStore::DownloadStatusCode code = AppStore::NoStatusCode);
    void sigAptOutputRead(QString id, QString packageName, QString output);
    void sigStartPurge(QString id, QString packagename);
    void sigPurgeTaskFinished(Apt_Task task, bool ok);
    void sigAptOperationDataChange(Apt_Task task, QString strAptOperation);

public Q_SLOTS:
    void OnReadyReadAllStandardOutput();
    void OnInstallFinishedSlot(int exitCode, QProcess::ExitStatus exitStatus);
    void OnPurgeFinishedSlot(int exitCode, QProcess::ExitStatus exitStatus);

private:
    void runInstallOrPurge();
    bool hasValidNames() const;
    bool waitForDpkg();
    AppStore::ProcessSpec aptGetSpec(const QString &operation, int timeoutMs,
                                     bool mayRemove = true) const;
    void startAptGet(const AppStore::ProcessSpec &spec);
    void handleFinished(const AppStore::ProcessResult &result);
    void failInstall();
    void endPurge(bool ok);

    AppStore::ProcessRunner *m_process = nullptr;
    QEventLoop *m_eventLoop = nullptr;
    Apt_Task m_task;
    const std::atomic<bool> m_isInstall;
    bool m_isFinished = false;
    // Set once a simulation found nothing protected among an install's removals.
    bool m_mayRemove = false;
    // Bounded: a maintainer script printing in a loop must not exhaust the
    // daemon's memory.
    AppStore::BoundedOutput m_output;
    QByteArray m_unreadOutput;
    QStringDecoder m_outputDecoder{QStringDecoder::Utf8};
    AppStore::ProcessResult m_lastResult;
    // The user's shortcuts to the package being purged; they go only once
    // the package has.
    std::unique_ptr<AppStore::PendingShortcutRemoval> m_shortcuts;
};
