#pragma once

#include "common/apt_task.h"
#include "common/operation_codes.h"
#include "task/abstract_task.h"
#include "utils/process_runner.h"

#include <QRunnable>
#include <QString>

// Installs one application delivered as a tar bundle: the bundle in the
// package cache is unpacked into a fresh private folder and its own
// "install_clean.sh" is run with the architecture and "install"; a failed
// install is followed by the same script with "clean". The bundle and the
// folder are removed afterwards whatever happened, and the outcome leaves
// through exactly one sigInstallTaskFinished.
//
// The bundle's script runs as root, so nothing of the bundle is trusted
// before it is checked: the name must be a package name, the file must match
// the task's SHA-256 when it has one, and tar's own listing must show only
// plain files, directories and links that stay inside the folder, with the
// script a regular file at the top. Every child run has a time limit, past
// which its whole process tree is killed.
//
// Everything happens in run() on the install pool's thread; the task offers
// no stop or pause. As every pool task here, it is deleted by its owner once
// the run has ended (reportRunEnd()).
class TarPkgInstallTask : public AbstractTask, public QRunnable
{
    Q_OBJECT
public:
    struct Limits
    {
        int unpackMs = 10 * 60 * 1000; // listing and unpacking, each
        int scriptMs = 60 * 60 * 1000;
        int cleanMs = 10 * 60 * 1000;
        int dpkgWaitMs = 30 * 60 * 1000;
    };

    explicit TarPkgInstallTask(Apt_Task task, QObject *parent = nullptr);
    ~TarPkgInstallTask() override;

    // Set before the task starts.
    void setLimits(const Limits &limits);
    // The folder the private unpack folder is made in (default "/tmp/").
    void setWorkRoot(const QString &directory);

    void run() override;
    // Deletes the bundle file and the unpack folder where they exist.
    void removeTmpFile();
    // true while a process whose command name is exactly "dpkg" runs.

Q_SIGNALS:
    void sigInstallTaskFinished(Apt_Task task, bool ok,
                                AppStore::DownloadStatusCode code = AppStore::NoStatusCode);
    // Never emitted here; the manager connects it for all its install tasks.
    void sigAptOperationDataChange(Apt_Task task, QString strAptOperation);

private:
    bool install();
    bool hasValidNames() const;
    bool createWorkDir();
    bool bundleMatchesChecksum() const;
    bool bundleMembersAccepted() const;
    bool unpack();
    bool unpackedLinksStayInside() const;
    bool scriptIsRegularFile() const;
    bool waitForDpkg();
    AppStore::ProcessResult runScript(const QString &action, int timeoutMs) const;
    void clean();
    void finish(bool ok);

    QString bundlePath() const;
    QString workDirPath() const;
    QString scriptPath() const;

    Apt_Task m_task;
    QString m_uuid;
    QString m_workRoot;
    Limits m_limits;
};
