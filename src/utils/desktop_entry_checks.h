#pragma once

#include <QString>

namespace AppStore {

// Checks on the desktop files of applications.
class DesktopEntryChecks
{
public:
    DesktopEntryChecks() = delete;

    // The unescaped, trimmed Exec line; empty when unreadable or missing.
    static QString getDesktopExecInfo(const QString &desktopFile);
    // Whether the entry is of Type Application, shown or not, whatever it
    // launches.
    static bool isApplicationEntry(const QString &desktopFile);
    // Whether the entry is a visible application entry on this desktop.
    static bool isDesktopNeedToShow(const QString &desktopFile);
    // Drops a TryExec key whose program does not exist, so that the entry is
    // not hidden for a program it does not need.
    static void checkDesktopTryExecInfo(const QString &desktopFile);

    enum class ProgramMatch {
        Exists,     // anything at the path, links followed
        Executable, // a regular file with an execute bit
    };
    // Where a program named by a desktop entry is: a name with a "/" is taken
    // as it is, a bare name is looked for in the PATH folders in their order,
    // never relative to the working directory. Empty when nothing matches.
    static QString findProgram(const QString &program, ProgramMatch match = ProgramMatch::Exists);
};

} // namespace AppStore
