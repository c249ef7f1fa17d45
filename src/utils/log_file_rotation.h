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
};

} // namespace AppStore
