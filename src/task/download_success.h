#pragma once

#include "common/apt_task.h"

#include <QString>

namespace AppStore {

// The end of a download that left the package file in the cache, the same
// for every download task: the store's statistics record and history result
// are written, the client is told the whole size arrived, and the install
// side is handed the task.
class DownloadSuccess
{
public:
    DownloadSuccess() = delete;

    // Writes the records; returns the status text of the last progress.
    static QString record(const Apt_Task &task);

    template<typename Download> static void announce(Download *download, const Apt_Task &task)
    {
        const QString status = record(task);
        Q_EMIT download->sigDownloadProgress(task.sourceId, task.packageName, task.totalSize,
                                             task.totalSize, status);
        Q_EMIT download->sigStartInstallOperation(task);
    }
};

} // namespace AppStore
