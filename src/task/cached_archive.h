#pragma once

#include "common/apt_task.h"

#include <QString>

namespace AppStore {

// Whether an apt-get download of a task left what it asked for.
//
// apt-get exits 0 without fetching anything when a pinned pattern
// ("^name$=version") matches no version it can use, so an exit code alone
// says nothing: the archive has to be in the daemon's cache "archives/" (or
// that very version already installed). An unpinned task is taken at its
// word: apt fetched the candidate or found it installed.
class CachedArchive
{
public:
    CachedArchive() = delete;

    // archiveFileName: the file name apt-cache gave for the version, empty
    // when unknown.
    static bool isPresent(const Apt_Task &task, const QString &archiveFileName);
    // Whether apt reads the task's archive where it lies, from a "file:" or
    // "cdrom:" source, and so keeps no copy in the cache; the install reads
    // it from there the same way.
    static bool isReadInPlace(const Apt_Task &task);
};

} // namespace AppStore
