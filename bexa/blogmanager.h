#pragma once

#include <QString>

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
    // syslog(3), with the application name as ident.
    static void registerJournalAppender();
    // The path set, or "<cache location>/<application name>.log".
    static QString logFilePath();
};

} // namespace Bexa::Core
