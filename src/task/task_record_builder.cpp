#include "task/task_record_builder.h"

#include "common/common.h"
#include "common/operation_codes.h"
#include "utils/small_utils.h"

namespace AppStore {

ApplicationHistoryRow TaskRecordBuilder::historyRow(const Apt_Task &task, const QString &operation)
{
    ApplicationHistoryRow row;
    row.packageName = task.packageName;
    row.version = task.version;
    row.path = QStringLiteral("0");
    row.operation = operation;
    row.time = SmallUtils::nowText();
    row.content = QString::number(task.downloadedSize);
    row.result = HISTORY_RESULT_NO;
    row.appName = task.appName;
    row.iconUrl = task.iconUrl;
    row.appSize = QString::number(task.totalSize);
    row.packageMode = QString::number(task.packageMode);
    row.channelData = task.channelData;
    row.channelId = task.channelId;
    row.downloadLink = task.downloadLink;
    row.sh256 = task.sha256;
    row.fileSize = QString::number(task.totalSize);
    row.isSpecificPkg = QString::number(task.isSpecificPkg);
    row.sessionId = task.sessionId;
    row.appType = task.appType;
    row.ownerRole = task.ownerRole;
    row.pkgInstallMode = QString::number(task.pkgInstallMode);
    return row;
}

DownloadStateBiData TaskRecordBuilder::statisticsRecord(const Apt_Task &task, const QString &type,
                                                        const QString &code, const QString &content)
{
    DownloadStateBiData data;
    data.package_name = task.packageName;
    data.type = type;
    data.package_version = task.version;
    data.session_id = task.sessionId;
    data.code = code;
    data.content = content;
    return data;
}

ApplicationHistoryRow TaskRecordBuilder::downloadFailureRow(const Apt_Task &task, int code,
                                                            const QString &output,
                                                            const QString &error)
{
    const auto zeroOrNumber = [](qint64 value) {
        return value > 0 ? QString::number(value) : QStringLiteral("0");
    };
    ApplicationHistoryRow row = historyRow(task, OPERATION_DOWNLOAD_ERROR);
    row.content = zeroOrNumber(task.downloadedSize);
    row.result = QString::number(code);
    row.appSize = zeroOrNumber(task.totalSize);
    row.externColumnOne = output;
    row.externColumnTwo = error;
    return row;
}

} // namespace AppStore
