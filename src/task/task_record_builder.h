#pragma once

#include "common/application_history_row.h"
#include "common/apt_task.h"
#include "common/download_state_bi_data.h"

#include <QString>

namespace AppStore {

// The history row and the statistics record of a task, as every writer of
// the engine fills them.
class TaskRecordBuilder
{
public:
    TaskRecordBuilder() = delete;

    // The row of a task in work (queued, downloading, paused): no archive path
    // yet ("0"), the bytes downloaded so far, result "0", the task's total as
    // both sizes, stamped now. Writers of other moments change what differs.
    static ApplicationHistoryRow historyRow(const Apt_Task &task, const QString &operation);

    // The row of a download that failed for good: the status code as the
    // result, its output and error in the two extra columns.
    static ApplicationHistoryRow downloadFailureRow(const Apt_Task &task, int code,
                                                    const QString &output, const QString &error);

    // A statistics record of the task's package, version and session.
    static DownloadStateBiData statisticsRecord(const Apt_Task &task, const QString &type,
                                                const QString &code,
                                                const QString &content = QString());
};

} // namespace AppStore
