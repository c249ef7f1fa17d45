#include "task/download_success.h"

#include "common/common.h"
#include "common/notify_status.h"
#include "common/operation_codes.h"
#include "database/appstoredb.h"
#include "service/thread_pool_manager.h"
#include "task/task_record_builder.h"

namespace AppStore {

QString DownloadSuccess::record(const Apt_Task &task)
{
    if (task.sourceId == STORE_PACKAGE_NAME) {
        if (task.agreeSign)
            ThreadPoolManager::instance()->addUploadDownloadTask(
                TaskRecordBuilder::statisticsRecord(task, STATISTICS_DOWNLOAD_END,
                                                    STATISTICS_CODE_SUCCESS));
        AppstoreDb::instance()->updateApplicationHistoryResult(task.packageName,
                                                               HISTORY_RESULT_YES);
    }
    NotifyStatus status;
    status.code = Succeeded;
    return notifyStatusToJsonString(status);
}

} // namespace AppStore
