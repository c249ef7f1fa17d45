#pragma once

#include <QString>

namespace AppStore {

// The daemon's log file and the rotation of its predecessors.
class LogFileRotation
{
public:
    LogFileRotation() = delete;

    // Prepares the log file in the daemon's log directory; see the overload.
    static QString initLogFilePath();
    // Moves the previous log of dir aside under a time-stamped name, keeps only
    // the newest log files and returns the path the file appender is to use;
    // empty when the directory or the file cannot be provided. The previous
    // log may be a running daemon's: only the daemon that owns the bus name
    // rotates.
    static QString initLogFilePath(const QString &dir);
    // Moves the running log at path aside as a start does (same backup name,
    // same number of files kept), for the file appender once the log has
    // grown past MAX_LOG_FILE_BYTES. The appender holds its lock meanwhile,
    // so failures go to standard error, not to the log.
    static void rotateRunningLog(const QString &path);

    // A caller flooding the daemon with refused calls, or a tool that keeps
    // failing, could otherwise fill /var/log, and root writes on into the
    // blocks the file system keeps for it. With the files kept, the logs
    // take about five times this.
    static constexpr qint64 MAX_LOG_FILE_BYTES = 10 * 1024 * 1024;
};

} // namespace AppStore
