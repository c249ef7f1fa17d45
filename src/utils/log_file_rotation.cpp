#include "log_file_rotation.h"

#include "common/daemon_log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>

namespace AppStore {

namespace {

const QString LOG_DIR = QStringLiteral("/var/log/velkor/tarnwick-daemon/");
const QString LOG_FILE_NAME = QStringLiteral("tarnwick-daemon.log");
// The current log counts, so a start leaves at most this many backups.
constexpr int KEPT_LOG_FILES = 4;
// Logs tell what users installed and where their proxy is: not for everyone.
constexpr QFile::Permissions LOG_PERMISSIONS =
    QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;

// Files written before logs were kept private keep their mode through the
// renames of later starts.
void restrictLogFiles(const QDir &dir)
{
    const QFileInfoList files =
        dir.entryInfoList({QStringLiteral("*.log*")}, QDir::Files | QDir::NoSymLinks);
    for (const QFileInfo &file : files) {
        if (file.permissions() != LOG_PERMISSIONS)
            QFile::setPermissions(file.absoluteFilePath(), LOG_PERMISSIONS);
    }
}

// The file appender then appends to a file of the right mode rather than
// creating one with the process's default.
bool createLogFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::NewOnly, LOG_PERMISSIONS))
        return false;
    file.close();
    return true;
}

// Where the rotation's complaints go: at a start the log's first lines, while
// the log runs standard error (the file appender is busy moving it).
using Complain = void (*)(const char *text);

void warnInLog(const char *text)
{
    qCWarning(daemonLogCategory) << text;
}

void warnOnStandardError(const char *text)
{
    std::fprintf(stderr, "%s\n", text);
}

void removeOldLogFiles(const QDir &dir, Complain complain)
{
    QFileInfoList files =
        dir.entryInfoList({QStringLiteral("*.log*")}, QDir::Files | QDir::Readable, QDir::Name);
    if (files.size() <= KEPT_LOG_FILES)
        return;
    std::sort(files.begin(), files.end(), [](const QFileInfo &a, const QFileInfo &b) {
        return a.lastModified() > b.lastModified();
    });
    for (qsizetype i = KEPT_LOG_FILES; i < files.size(); ++i) {
        const QString path = files.at(i).absoluteFilePath();
        if (QFileInfo::exists(path) && !QFile::remove(path))
            complain("Log file clean failed!");
    }
}

// File systems that record no birth time would otherwise give every backup
// the same name ending in ".", and the second rename would fail.
QDateTime creationTime(const QFileInfo &file)
{
    const QDateTime born = file.birthTime();
    return born.isValid() ? born : file.lastModified();
}

// Renames the log at path to its backup name and creates it afresh; on
// failure the log goes on at the end of the old file.
void moveAside(const QString &path, Complain complain)
{
    const QString stamp =
        creationTime(QFileInfo(path)).toString(QStringLiteral("yyyy-MM-dd-hh-mm-ss-zzz"));
    if (!QFile::rename(path, path + u'.' + stamp))
        complain("Log file backup failed! Appending new log in old file...");
    else
        createLogFile(path);
}

} // namespace

QString LogFileRotation::initLogFilePath()
{
    return initLogFilePath(LOG_DIR);
}

QString LogFileRotation::initLogFilePath(const QString &dir)
{
    QDir logDir(dir);
    if (!logDir.exists() && !QDir().mkpath(dir)) {
        qCWarning(daemonLogCategory) << "Log file path create failed! Using default path...";
        return QString();
    }

    removeOldLogFiles(logDir, warnInLog);
    restrictLogFiles(logDir);

    const QString path = logDir.filePath(LOG_FILE_NAME);
    if (QFileInfo::exists(path)) {
        qCDebug(daemonLogCategory).noquote()
            << "Log file existed:" << path << ", backup and create new one...";
        moveAside(path, warnInLog);
        return path;
    }

    if (!createLogFile(path)) {
        qCWarning(daemonLogCategory) << "Log file create failed! Using default path...";
        return QString();
    }
    return path;
}

void LogFileRotation::rotateRunningLog(const QString &path)
{
    const QDir dir = QFileInfo(path).dir();
    removeOldLogFiles(dir, warnOnStandardError);
    restrictLogFiles(dir);
    moveAside(path, warnOnStandardError);
}

} // namespace AppStore
