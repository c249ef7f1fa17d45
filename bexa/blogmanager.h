#pragma once

#include <QString>

#include <functional>

namespace Bexa::Core {

// Routes every Qt log message that passes the logging rules to the registered
// appenders, one line each:
// "<ISO time with ms> [<Level>] [<category>] <file>:<line> <function> - <message>".
// The first registration installs the process's message handler.
class BLogManager
{
public:
    // Standard error.
    static void registerConsoleAppender();
    // Before or after registerFileAppender; a later call moves the log on.
    static void setlogFilePath(const QString &path);
    // Appends to logFilePath(), creating its directories.
    static void registerFileAppender();
    // Once the file has grown to maxBytes, it is closed and handed to rotate,
    // which may move it aside; lines then go to a file opened afresh at the
    // same path. rotate runs with the appenders locked and must not log
    // through Qt. A file that rotate left in place is tried again once it has
    // grown by maxBytes more. 0 turns the bound off.
    static void setFileSizeBound(qint64 maxBytes,
                                 const std::function<void(const QString &path)> &rotate);
    // syslog(3), with the application name as ident.
    static void registerJournalAppender();
    // The path set, or "<cache location>/<application name>.log".
    static QString logFilePath();
};

} // namespace Bexa::Core
