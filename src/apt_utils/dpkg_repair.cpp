#include "apt_utils/dpkg_repair.h"

#include "apt_utils/archive_paths.h"
#include "apt_utils/dpkg_query.h"
#include "common/daemon_log.h"
#include "utils/package_name_validator.h"
#include "utils/process_runner.h"
#include "utils/small_utils.h"

#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QStringList>

#include <algorithm>
#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace AppStore {

namespace {

constexpr int kUnpackConflict = 1;
constexpr int kReinstallRequired = 2;
constexpr int kProbeTimeoutMs = 30000;
constexpr int kRepairTimeoutMs = 10 * 60 * 1000;

const QString kInstallCommandText =
    QStringLiteral("apt-get -y -o Acquire::Retries=1 -o APT::Status-Fd=3 -o Debug::NoLocking=1 "
                   "--allow-change-held-packages install");
const QString kPurgeCommandText = QStringLiteral(
    "apt-get -y -o Debug::NoLocking=1 -o APT::Status-Fd=3 --allow-change-held-packages purge");

// Whether a purge takes nothing the user has: dpkg holds the package as not
// installed (a first install whose unpack failed), or left it broken, to be
// reinstalled or half unpacked. A package whose unpack failed and whose old
// version dpkg put back is neither.
bool isPurgeHarmless(const QString &packageName)
{
    const ProcessResult result = DpkgQuery::runForPackage(
        {QStringLiteral("-W"), QStringLiteral("-f=${db:Status-Eflag} ${db:Status-Status}")},
        packageName);
    if (!result.succeeded())
        return false;
    const QStringList state = result.outputText().split(QLatin1Char(' '));
    return state.value(0) == QLatin1String("reinstreq") ||
           state.value(1) == QLatin1String("not-installed") ||
           state.value(1) == QLatin1String("half-installed");
}

// The names come from tool output about downloaded archives: nothing but a
// package name reaches dpkg, and it arrives as one argument. A package that
// dpkg holds whole is the user's working application and stays.
void purgeReinstallRequired(const QString &packageName, quint32 uid)
{
    if (!PackageNameValidator::isValidArchQualifiedName(packageName)) {
        qCWarning(daemonLogCategory) << "refusing to purge" << packageName;
        return;
    }
    if (!isPurgeHarmless(packageName)) {
        qCWarning(daemonLogCategory) << "not purging" << packageName << "that dpkg holds whole";
        return;
    }
    ProcessSpec spec;
    spec.program = QStringLiteral("dpkg");
    spec.arguments = {QStringLiteral("-P"), QStringLiteral("--force-remove-reinstreq"),
                      packageName};
    spec.environmentMode = ProcessSpec::Environment::Extend;
    spec.environment = {QStringLiteral("LANGUAGE=en_US"),
                        QStringLiteral("PACKAGEKIT_CALLER_UID=") + QString::number(uid)};
    spec.timeoutMs = kRepairTimeoutMs;
    const ProcessResult result = ProcessRunner::run(spec);
    if (result.timedOut)
        qCWarning(daemonLogCategory) << "dpkg purge of" << packageName << "timed out";
}

QString packageOfArchive(const QString &archive)
{
    ProcessSpec spec;
    spec.program = QStringLiteral("dpkg-deb");
    spec.arguments = {QStringLiteral("-W"), QFileInfo(archive).absoluteFilePath()};
    spec.timeoutMs = kProbeTimeoutMs;
    const ProcessResult result = ProcessRunner::run(spec);
    if (result.timedOut)
        qCWarning(daemonLogCategory).noquote() << "dpkg-deb timed out on" << archive;
    return result.outputText().section(QLatin1Char('\t'), 0, 0);
}

// Whether path is an archive apt put in the cache. The line may name a file
// anywhere (a local archive of the user's, say); the package such a file
// names is not to be purged.
bool isCachedArchiveFile(const QString &path, const QString &cacheDir)
{
    return ArchivePaths::isCachedArchive(path, cacheDir) && QFileInfo(path).isFile();
}

// The archive in the cache that a dpkg unpack-error line names, as it can
// still be found; empty when it cannot.
QString unpackErrorArchive(const QString &line, const QString &cacheDir)
{
    qCDebug(daemonLogCategory).noquote() << "Dpkg unpack error:" << line;
    QString archive = ArchivePaths::unpackErrorArchive(line);
    if (isCachedArchiveFile(archive, cacheDir))
        return archive;
    qCDebug(daemonLogCategory).noquote()
        << archive << "not exists, assume using /tmp/apt-dpkg-install-XXXXXX/ path";
    archive = ArchivePaths::inArchives(archive, cacheDir);
    if (isCachedArchiveFile(archive, cacheDir))
        return archive;
    qCDebug(daemonLogCategory).noquote() << archive << "not exists, assume with prefix";
    archive = ArchivePaths::withoutOrderPrefix(archive, cacheDir);
    if (isCachedArchiveFile(archive, cacheDir))
        return archive;
    qCDebug(daemonLogCategory).noquote() << archive << "not exists, skip";
    return QString();
}

void repairUnpackConflicts(const QString &output, const QString &cacheDir, quint32 uid)
{
    QString archive;
    const QStringList lines = output.split(QStringLiteral("\r\n"));
    for (const QString &line : lines) {
        if (!archive.trimmed().isEmpty()) {
            if (line.contains(QLatin1String("trying to overwrite")) &&
                line.contains(QLatin1String("which is also in package"))) {
                qCDebug(daemonLogCategory).noquote()
                    << QStringLiteral("Handling %1 unpack overwrite error").arg(archive);
                purgeReinstallRequired(packageOfArchive(archive), uid);
            } else {
                qCDebug(daemonLogCategory).noquote() << "Unhandled dpkg unpack error:" << line;
            }
            archive.clear();
        } else if (line.contains(QLatin1String("dpkg: error processing archive")) &&
                   line.contains(QLatin1String("(--unpack)"))) {
            archive = unpackErrorArchive(line, cacheDir);
        }
    }
}

void repairReinstallRequired(const QString &errorOutput, quint32 uid)
{
    const QStringList lines = errorOutput.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (!line.contains(QLatin1String("needs to be reinstalled")) ||
            !line.contains(QLatin1String("can't find an archive for it")))
            continue;
        qCDebug(daemonLogCategory).noquote() << line;
        // "E: The package <name> needs to be reinstalled, ..."
        const QStringList words = line.split(QLatin1Char(' '));
        if (words.size() > 4)
            purgeReinstallRequired(words.at(3), uid);
    }
}

// The real user id from "Uid:\t<real>\t<effective>...".
bool isOwnedByRoot(pid_t pid)
{
    const QList<QByteArray> lines = SmallUtils::readProcFile(pid, "status").split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("Uid:")) {
            const QList<QByteArray> ids = line.mid(4).simplified().split(' ');
            return ids.value(0) == "0";
        }
    }
    return false;
}

// The command line as ps prints it: the arguments joined by blanks.
QString commandLineOf(pid_t pid)
{
    QByteArray arguments = SmallUtils::readProcFile(pid, "cmdline");
    while (arguments.endsWith('\0'))
        arguments.chop(1);
    arguments.replace('\0', ' ');
    return QString::fromUtf8(arguments);
}

// A command line is text any local user chooses: only the daemon's own
// children, run as root, can be the apt-get it means to end.
void killFirstOwnChildRunning(const QString &commandText)
{
    const pid_t self = ::getpid();
    QList<pid_t> pids;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool ok = false;
        const int pid = entry.toInt(&ok);
        if (ok && pid > 0)
            pids.append(pid);
    }
    std::sort(pids.begin(), pids.end());
    for (pid_t pid : std::as_const(pids)) {
        if (SmallUtils::parentProcessId(pid) != self || !isOwnedByRoot(pid) ||
            !commandLineOf(pid).contains(commandText))
            continue;
        const bool killed = ::kill(pid, SIGKILL) == 0;
        qCDebug(daemonLogCategory) << "kill -9" << pid << killed;
        return;
    }
    qCDebug(daemonLogCategory).noquote() << "no running process of its own holds" << commandText;
}

} // namespace

void DpkgRepair::rmreinstreqPackage(const QString &output, int operation, const QString &cacheDir,
                                    quint32 uid)
{
    qCDebug(daemonLogCategory) << "Package requests reinstall, operation:" << operation;
    if (operation == kUnpackConflict)
        repairUnpackConflicts(output, cacheDir, uid);
    else if (operation == kReinstallRequired)
        repairReinstallRequired(output, uid);
}

void DpkgRepair::killAptInstallProcess()
{
    killFirstOwnChildRunning(kInstallCommandText);
}

void DpkgRepair::killAptPurgeProcess()
{
    killFirstOwnChildRunning(kPurgeCommandText);
}

} // namespace AppStore
