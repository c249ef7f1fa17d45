#include "apt_sources.h"

#include "common/common.h"
#include "common/daemon_log.h"
#include "private_lists_gate.h"
#include "process_runner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

#include <atomic>
#include <cstdio>

namespace AppStore {

namespace {

struct Roots
{
    QString stateDir = DAEMON_STATE_DIR;
    QString aptEtcDir = APT_ETC_DIR;
    QString cacheDir = DAEMON_CACHE_DIR;
};

QMutex rootsMutex;
Roots currentRoots;

Roots roots()
{
    QMutexLocker locker(&rootsMutex);
    return currentRoots;
}

QString asDirectory(const QString &path)
{
    return path.endsWith(u'/') ? path : path + u'/';
}

const QString SOURCES_LIST = QStringLiteral("sources.list");
const QString SOURCES_PARTS = QStringLiteral("sources.list.d/");
const QString APT_CUSTOM_V2_CONF_FILE = QStringLiteral("apt_custom_v2.conf");
const QStringList MIRRORED_LIST_FILES = {STORE_LIST_FILE, UNSTABLE_LIST_FILE, HWE_LIST_FILE,
                                         SECURITY_LIST_FILE, SW_LIST_FILE};
constexpr int DPKG_PROBE_TIMEOUT_MS = 30000;

std::atomic<int> aptConfigDecision{AptDefaultConfig};
// Two rebuilds at once would share the temporary names.
QMutex updateSourceDirMutex;

// A trailing "/" would make lstat follow a link at path.
QString withoutSlash(const QString &path)
{
    return path.size() > 1 && path.endsWith(u'/') ? path.chopped(1) : path;
}

// Whether anything is at path, a dangling symbolic link included.
bool pathPresent(const QString &path)
{
    const QFileInfo info(withoutSlash(path));
    return info.isSymLink() || info.exists();
}

// Removes whatever is at path without following a link at it.
bool removePath(const QString &path)
{
    const QFileInfo info(withoutSlash(path));
    if (info.isDir() && !info.isSymLink())
        return QDir(path).removeRecursively();
    if (!pathPresent(path))
        return true;
    return QFile::remove(info.filePath());
}

// rename(2) replaces an existing entry in one step, which QFile::rename
// refuses to do.
bool replaceEntry(const QString &from, const QString &to)
{
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

// Puts a link to target at linkPath through a temporary entry in the state
// directory; a missing target leaves no entry at all, so the private sources
// never hold a dangling link.
bool placeLink(const QString &target, const QString &linkPath, const QString &stateDir)
{
    if (!QFileInfo::exists(target))
        return removePath(linkPath);
    const QString temporary = stateDir + u'.' + QFileInfo(linkPath).fileName() + u".new";
    if (!removePath(temporary))
        return false;
    if (QFile::link(target, temporary) && replaceEntry(temporary, linkPath))
        return true;
    removePath(temporary);
    return false;
}

// The private list directory must be a real directory: a link or a plain
// file left at its name is removed first.
bool preparePartsDir(const QString &partsDir)
{
    const QFileInfo info(withoutSlash(partsDir));
    if (pathPresent(partsDir) && (info.isSymLink() || !info.isDir()) && !removePath(partsDir))
        qCWarning(daemonLogCategory).noquote() << partsDir << "Remove Failed!";
    if (!QDir().mkpath(partsDir)) {
        qCWarning(daemonLogCategory).noquote() << partsDir << "Create Failed!";
        return false;
    }
    return true;
}

// Entries the rebuild does not mirror (left by older runs, or added by hand)
// would otherwise reach every apt run of the daemon.
void removeUnmirroredEntries(const QString &partsDir)
{
    const QStringList entries = QDir(partsDir).entryList(QDir::AllEntries | QDir::Hidden |
                                                         QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : entries) {
        if (!MIRRORED_LIST_FILES.contains(name) && !removePath(partsDir + name))
            qCWarning(daemonLogCategory).noquote() << partsDir + name << "Remove Failed!";
    }
}

// Whether dpkg takes "--script-ignore-error". A probe that did not run to its
// end proves nothing, so only a normal exit without the complaint counts.
bool dpkgIgnoresScriptErrors()
{
    ProcessSpec spec;
    spec.program = QStringLiteral("dpkg");
    spec.arguments = {QStringLiteral("--audit"), QStringLiteral("--script-ignore-error")};
    spec.environmentMode = ProcessSpec::Environment::Replace;
    spec.environment = {QStringLiteral("LANGUAGE=en_US")};
    spec.timeoutMs = DPKG_PROBE_TIMEOUT_MS;
    const ProcessResult result = ProcessRunner::run(spec);
    if (!result.started || result.timedOut || result.crashed) {
        const QString reason = !result.started   ? result.errorString
                               : result.timedOut ? QStringLiteral("timed out")
                                                 : QStringLiteral("crashed");
        qCWarning(daemonLogCategory).noquote()
            << "DPkg options: probe for --script-ignore-error failed:" << reason;
        return false;
    }
    if (result.errorText().contains(
            QStringLiteral("dpkg: error: unknown option --script-ignore-error"))) {
        qCWarning(daemonLogCategory) << "DPkg options: --script-ignore-error is unsupported";
        return false;
    }
    return true;
}

AptConfig sourcesDecision()
{
    return AptSources::hasPrivateSources() && AptSources::checkCustomCacheDir() ? AptCustomConfig
                                                                                : AptDefaultConfig;
}

} // namespace

void AptSources::setRoots(const QString &stateDir, const QString &aptEtcDir,
                          const QString &cacheDir)
{
    QMutexLocker locker(&rootsMutex);
    currentRoots = {asDirectory(stateDir), asDirectory(aptEtcDir), asDirectory(cacheDir)};
}

QString AptSources::stateDir()
{
    return roots().stateDir;
}

QString AptSources::cacheDir()
{
    return roots().cacheDir;
}

bool AptSources::checkCustomCacheDir()
{
    const QString path = roots().cacheDir + QStringLiteral("archives/");
    if (QFileInfo(path).isDir()) {
        qCDebug(daemonLogCategory).noquote() << path << "Existed!";
        return true;
    }
    if (QDir().mkpath(path)) {
        qCDebug(daemonLogCategory).noquote() << path << "Create Succeeded!";
        return true;
    }
    qCWarning(daemonLogCategory).noquote() << path << "Create Failed!";
    return false;
}

bool AptSources::hasPrivateSources()
{
    const QString stateDir = roots().stateDir;
    return QFileInfo::exists(stateDir + SOURCES_LIST) &&
           QFileInfo::exists(stateDir + SOURCES_PARTS + STORE_LIST_FILE);
}

bool AptSources::updateSourceDir()
{
    QMutexLocker locker(&updateSourceDirMutex);
    const Roots dirs = roots();
    const QString partsDir = dirs.stateDir + SOURCES_PARTS;
    if (!preparePartsDir(partsDir))
        return false;

    // Without a system sources.list (deb822 files only) there is no private
    // one either: the private sources would hold only the mirrored lists, and
    // apt runs need the distribution's sources beside the store's.
    const QString privateList = dirs.stateDir + SOURCES_LIST;
    if (!QFileInfo::exists(dirs.aptEtcDir + SOURCES_LIST))
        qCDebug(daemonLogCategory).noquote()
            << dirs.aptEtcDir + SOURCES_LIST << "not existed, skipping...";
    if (!placeLink(dirs.aptEtcDir + SOURCES_LIST, privateList, dirs.stateDir)) {
        qCWarning(daemonLogCategory).noquote() << privateList << "Link Failed!";
        return false;
    }

    removeUnmirroredEntries(partsDir);
    for (const QString &name : MIRRORED_LIST_FILES) {
        const QString systemFile = dirs.aptEtcDir + SOURCES_PARTS + name;
        if (!QFileInfo::exists(systemFile))
            qCDebug(daemonLogCategory).noquote() << systemFile << "not existed, skipping...";
        if (!placeLink(systemFile, partsDir + name, dirs.stateDir))
            qCWarning(daemonLogCategory).noquote() << partsDir + name << "Link Failed!";
    }
    qCDebug(daemonLogCategory) << "source directory update success";
    return true;
}

AptConfig AptSources::aptConfigVersion(bool refresh)
{
    if (!refresh) {
        const int cached = aptConfigDecision.load();
        if (cached != AptDefaultConfig)
            return static_cast<AptConfig>(cached);
        const AptConfig decision = sourcesDecision();
        // A refresh that finished meanwhile wins over this late default check.
        int expected = AptDefaultConfig;
        aptConfigDecision.compare_exchange_strong(expected, decision);
        return static_cast<AptConfig>(aptConfigDecision.load());
    }
    // Decided in full before it is stored, so readers never see a passing 0.
    AptConfig decision = sourcesDecision();
    if (dpkgIgnoresScriptErrors())
        decision = AptCustomV2Config;
    aptConfigDecision.store(decision);
    return decision;
}

QString AptSources::aptConfigFilePath()
{
    PrivateListsGate::waitUntilOpen();
    QString path = roots().stateDir;
    switch (aptConfigVersion(false)) {
    case AptCustomConfig:
        path += APT_CUSTOM_CONF_FILE;
        break;
    case AptCustomV2Config:
        path += APT_CUSTOM_V2_CONF_FILE;
        break;
    case AptDefaultConfig:
        path += APT_DEFAULT_CONF_FILE;
        break;
    }
    qCDebug(daemonLogCategory).noquote() << "Using apt config:" << path;
    return path;
}

} // namespace AppStore
