#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace AppStore {

// Small helpers without a better home.
class SmallUtils
{
public:
    SmallUtils() = delete;

    // The size class of a download count as the store shows it, translated.
    static QString downloadCountText(qint64 count);
    // Makes the process dumpable with a 512 MiB core-file limit.
    static void enableCoreDump();
    static bool IsQSMainBoard();
    // Hardware address of the first interface that is up, running and not a
    // loopback; empty when there is none.
    static QString firstMacAddress();
    // Empty when the process does not exist (any more).
    static QString processName(uint pid);
    // The program as the process was started (its first argument).
    static QString processCommand(uint pid);
    // The contents of /proc/<pid>/<name>; empty when the process is gone or
    // the file cannot be read.
    static QByteArray readProcFile(qint64 pid, const char *name);
    // The parent's process id; -1 when the process is gone.
    static qint64 parentProcessId(qint64 pid);
    // The current local time as the history and install-status tables and
    // the task logs give it: "yyyy-MM-dd hh:mm:ss".
    static QString nowText();
};

} // namespace AppStore
