#include "uploaddownloadstatustask.h"

#include "statistics_report.h"
#include "thread_pool_manager.h"

#include "common/net_retry_data.h"
#include "database/appstoredb.h"
#include "utils/utils.h"

uploadDownloadStatusTask::uploadDownloadStatusTask(DownloadStateBiData data)
    : data(std::move(data))
{
    setAutoDelete(true);
}

uploadDownloadStatusTask::~uploadDownloadStatusTask() = default;

void uploadDownloadStatusTask::run()
{
    fillHeaderInfo();
    sendHttpMsg(StatisticsReport::Get, StatisticsReport::statisticsUrl());
    bool isNumber = false;
    const int code = data.code.toInt(&isNumber);
    if (!isNumber || code == 0 || code == 200 || code == 510)
        return;
    sendHttpMsg(StatisticsReport::Post,
                AppStore::Utils::storeServerUrl() + QStringLiteral("/bi-log/downloadBiLog"));
}

void uploadDownloadStatusTask::fillHeaderInfo()
{
    StatisticsReport::fillHeaderInfo(data);
}

bool uploadDownloadStatusTask::sendHttpMsg(int type, const QString &url)
{
    const QByteArray body = type == StatisticsReport::Post
                                ? StatisticsReport::buildContentBody(data.content)
                                : QByteArray();
    if (type != StatisticsReport::Get && type != StatisticsReport::Post)
        return false;
    // At shut-down nothing more is sent: the report waits for the replay
    // like one that failed.
    QString userAgent = StatisticsReport::buildStatisticsUserAgent(data);
    if (!ThreadPoolManager::instance()->isStopping() &&
        StatisticsReport::send(data, type, url, body, userAgent)) {
        Q_EMIT taskResult(true);
        return true;
    }
    NetRetryData row;
    row.type = QString::number(type);
    row.reportData = StatisticsReport::buildRetryReportData(
        type, url, userAgent, QString::fromUtf8(body), data.package_name);
    AppstoreDb::instance()->insertReportBiInfo(row);
    return false;
}
