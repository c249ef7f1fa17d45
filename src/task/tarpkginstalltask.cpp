#include "task/tarpkginstalltask.h"

#include "common/daemon_log.h"
#include "task/apt_get_arguments.h"
#include "task/dpkg_lock_wait.h"
#include "task/tar_member_check.h"
#include "task/unpacked_tree_check.h"
#include "utils/package_name_validator.h"
#include "utils/utils.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QUuid>

#include <cerrno>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <utility>

using AppStore::ProcessResult;
using AppStore::ProcessRunner;
using AppStore::ProcessSpec;

namespace {

const QString kScriptName = QStringLiteral("install_clean.sh");
const QString kScriptPath =
    QStringLiteral("PATH=/usr/local/bin:/usr/bin:/bin:/usr/local/games:/usr/games:/sbin:/usr/sbin");
// A full listing is needed to judge every member; one that does not fit is
// refused rather than judged on its tail.
constexpr qsizetype kListingLimit = 64 * 1024 * 1024;
// The output of the other runs is only logged.
constexpr qsizetype kLoggedOutputLimit = 1024 * 1024;
constexpr int kWorkDirAttempts = 100;
// The script may run dpkg or apt-get itself; it never gets their command
// lines, so the configuration files are kept through dpkg's environment.
// Setting it drops dpkg's built-in defaults, which are named again.
const QString kDpkgForce = QStringLiteral("DPKG_FORCE=security-mac,downgrade,confdef,confold");

QString exitStatusName(const ProcessResult &result)
{
    return result.started && !result.crashed && !result.timedOut ? QStringLiteral("NormalExit")
                                                                 : QStringLiteral("CrashExit");
}

} // namespace

TarPkgInstallTask::TarPkgInstallTask(Apt_Task task, QObject *parent)
    : m_task(std::move(task))
    , m_workRoot(QStringLiteral("/tmp/"))
{
    if (parent)
        setParent(parent);
    // Its owner deletes it once run() has returned (see AbstractTask).
    setAutoDelete(false);
}

TarPkgInstallTask::~TarPkgInstallTask() = default;

void TarPkgInstallTask::setLimits(const Limits &limits)
{
    m_limits = limits;
}

void TarPkgInstallTask::setWorkRoot(const QString &directory)
{
    m_workRoot = directory.endsWith(QLatin1Char('/')) ? directory : directory + QLatin1Char('/');
}

void TarPkgInstallTask::run()
{
    qCDebug(daemonLogCategory)
        << QStringLiteral("TarPkg %1 installation start").arg(m_task.packageName);
    const bool ok = install();
    removeTmpFile();
    finish(ok);
    reportRunEnd();
}

bool TarPkgInstallTask::install()
{
    if (!hasValidNames()) {
        qCWarning(daemonLogCategory)
            << Q_FUNC_INFO << "refusing the bundle of" << m_task.packageName << m_task.version;
        return false;
    }
    if (!bundleMatchesChecksum() || !bundleMembersAccepted())
        return false;
    if (!createWorkDir()) {
        qCWarning(daemonLogCategory) << Q_FUNC_INFO << "Dir Create Failed!";
        return false;
    }
    if (!unpack() || !unpackedLinksStayInside() || !scriptIsRegularFile() || !waitForDpkg())
        return false;

    const ProcessResult result = runScript(QStringLiteral("install"), m_limits.scriptMs);
    if (result.succeeded()) {
        qCDebug(daemonLogCategory)
            << Q_FUNC_INFO << "TarPkg" << m_task.packageName << "Install Succeeded!";
        return true;
    }
    // The clean run is left out when dpkg stays busy: it waits for dpkg as
    // the install did.
    const bool dpkgIdle = waitForDpkg();
    qCWarning(daemonLogCategory) << Q_FUNC_INFO << "TarPkg" << m_task.packageName
                                 << "Install Failed!" << result.exitCode << exitStatusName(result)
                                 << (result.timedOut ? "(time limit reached)" : "")
                                 << result.outputText() << result.errorText();
    if (dpkgIdle)
        clean();
    return false;
}

// The name makes paths that are removed recursively as root, and neither it
// nor the version may reach a tool as an option.
bool TarPkgInstallTask::hasValidNames() const
{
    return AppStore::PackageNameValidator::isValidPackageName(m_task.packageName) &&
           (m_task.version.isEmpty() ||
            AppStore::PackageNameValidator::isValidVersion(m_task.version));
}

// mkdir() either makes a new folder or fails: an existing folder or a link
// planted under the name is never taken over.
bool TarPkgInstallTask::createWorkDir()
{
    if (!QDir().mkpath(m_workRoot))
        return false;
    for (int attempt = 0; attempt < kWorkDirAttempts; ++attempt) {
        m_uuid = QUuid::createUuid().toString(QUuid::Id128);
        const QByteArray path = QFile::encodeName(workDirPath());
        if (::mkdir(path.constData(), S_IRWXU) == 0)
            return ::chmod(path.constData(), S_IRWXU) == 0;
        if (errno != EEXIST)
            break;
    }
    m_uuid.clear();
    return false;
}

bool TarPkgInstallTask::bundleMatchesChecksum() const
{
    const QString expected = m_task.sha256.trimmed().toLower();
    if (expected.isEmpty())
        return true;
    QFile file(bundlePath());
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file)) {
        qCWarning(daemonLogCategory) << Q_FUNC_INFO << "cannot read" << bundlePath();
        return false;
    }
    const QString actual = QString::fromLatin1(hash.result().toHex());
    if (actual == expected)
        return true;
    qCWarning(daemonLogCategory) << Q_FUNC_INFO << "TarPkg" << m_task.packageName
                                 << "checksum mismatch:" << actual;
    return false;
}

bool TarPkgInstallTask::bundleMembersAccepted() const
{
    ProcessSpec spec;
    spec.program = QStringLiteral("tar");
    spec.arguments = AppStore::TarMemberCheck::listArguments(bundlePath());
    spec.environmentMode = ProcessSpec::Environment::Extend;
    spec.environment = {QStringLiteral("LC_ALL=C")};
    spec.timeoutMs = m_limits.unpackMs;
    spec.maxStoredOutput = kListingLimit;
    const ProcessResult listing = ProcessRunner::run(spec);
    QString reason;
    if (!listing.succeeded())
        reason = QStringLiteral("cannot list it: ") + listing.errorText();
    else if (listing.standardOutput.size() >= kListingLimit)
        reason = QStringLiteral("its listing is too long");
    else if (AppStore::TarMemberCheck::accepts(listing.standardOutput, kScriptName, &reason))
        return true;
    qCWarning(daemonLogCategory) << Q_FUNC_INFO << "TarPkg" << m_task.packageName
                                 << "refused:" << reason;
    return false;
}

bool TarPkgInstallTask::unpack()
{
    ProcessSpec spec;
    spec.program = QStringLiteral("tar");
    // Files belong to root whatever the bundle says, and the folder keeps
    // its own mode when the bundle carries an entry for ".".
    spec.arguments = {QStringLiteral("--no-same-owner"),
                      QStringLiteral("--no-overwrite-dir"),
                      QStringLiteral("-xvf"),
                      bundlePath(),
                      QStringLiteral("-C"),
                      QDir(workDirPath()).absolutePath()};
    spec.timeoutMs = m_limits.unpackMs;
    spec.maxStoredOutput = kLoggedOutputLimit;
    const ProcessResult result = ProcessRunner::run(spec);
    if (!result.succeeded()) {
        qCWarning(daemonLogCategory) << Q_FUNC_INFO << "TarPkg" << m_task.packageName
                                     << "Uncompress Failed!" << result.errorText();
        return false;
    }
    qCDebug(daemonLogCategory) << Q_FUNC_INFO << "TarPkg" << m_task.packageName
                               << "Uncompress Succeeded!";
    return true;
}

bool TarPkgInstallTask::unpackedLinksStayInside() const
{
    QString reason;
    if (AppStore::UnpackedTreeCheck::linksStayInside(workDirPath(), &reason))
        return true;
    qCWarning(daemonLogCategory) << Q_FUNC_INFO << "TarPkg" << m_task.packageName
                                 << "refused:" << reason;
    return false;
}

bool TarPkgInstallTask::scriptIsRegularFile() const
{
    const QFileInfo script(scriptPath());
    if (script.isFile() && !script.isSymLink())
        return true;
    qCWarning(daemonLogCategory) << Q_FUNC_INFO << "TarPkg" << m_task.packageName << kScriptName
                                 << "is not a regular file";
    return false;
}

// dpkg's locks, not a process name, tell whether another package run is
// under way.
bool TarPkgInstallTask::waitForDpkg()
{
    if (AppStore::DpkgLockWait::waitForRelease(m_limits.dpkgWaitMs))
        return true;
    qCWarning(daemonLogCategory) << Q_FUNC_INFO << "dpkg stayed busy for" << m_limits.dpkgWaitMs
                                 << "ms;" << m_task.packageName;
    return false;
}

// The script's standard input is a pipe closed at once: a prompt reads end
// of file instead of holding the only install thread.
ProcessResult TarPkgInstallTask::runScript(const QString &action, int timeoutMs) const
{
    ProcessSpec spec;
    spec.program = QStringLiteral("bash");
    spec.arguments = {scriptPath(), AppStore::Utils::cpuArchitectureName(), action};
    spec.environmentMode = ProcessSpec::Environment::Extend;
    spec.environment = {kScriptPath,
                        QStringLiteral("PACKAGEKIT_CALLER_UID=") + QString::number(m_task.uid),
                        kDpkgForce, AppStore::keepConfigFilesEnvironment()};
    spec.workingDirectory = QFileInfo(workDirPath()).canonicalFilePath();
    spec.timeoutMs = timeoutMs;
    spec.maxStoredOutput = kLoggedOutputLimit;
    return ProcessRunner::run(spec);
}

void TarPkgInstallTask::clean()
{
    const ProcessResult result = runScript(QStringLiteral("clean"), m_limits.cleanMs);
    qCDebug(daemonLogCategory) << Q_FUNC_INFO << "TarPkg" << m_task.packageName
                               << "Clean Completed!" << result.outputText() << result.errorText();
}

void TarPkgInstallTask::finish(bool ok)
{
    Q_EMIT sigInstallTaskFinished(m_task, ok, AppStore::NoStatusCode);
}

void TarPkgInstallTask::removeTmpFile()
{
    // An unchecked name could point anywhere: nothing is removed for it.
    if (!AppStore::PackageNameValidator::isValidPackageName(m_task.packageName))
        return;
    if (QFile::exists(bundlePath()) && QFile::remove(bundlePath()))
        qCDebug(daemonLogCategory)
            << Q_FUNC_INFO << "TarPkg" << m_task.packageName << "Remove Succeeded!";
    if (m_uuid.isEmpty())
        return;
    QDir workDir(workDirPath());
    if (workDir.exists() && workDir.removeRecursively())
        qCDebug(daemonLogCategory)
            << Q_FUNC_INFO << "TmpDir" << m_task.packageName << "Remove Succeeded!";
}

QString TarPkgInstallTask::bundlePath() const
{
    return AppStore::Utils::cacheDir() + m_task.packageName + QStringLiteral(".tar");
}

QString TarPkgInstallTask::workDirPath() const
{
    return m_workRoot + m_task.packageName + QLatin1Char('-') + m_uuid;
}

QString TarPkgInstallTask::scriptPath() const
{
    return workDirPath() + QLatin1Char('/') + kScriptName;
}
