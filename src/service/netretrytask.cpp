#include "netretrytask.h"

#include "statistics_report.h"
#include "thread_pool_manager.h"

#include "common/daemon_log.h"
#include "common/net_retry_data.h"
#include "database/appstoredb.h"

#include <QJsonDocument>
#include <QJsonObject>

NetRetryTask::NetRetryTask()
{
    setAutoDelete(true);
}

NetRetryTask::~NetRetryTask() = default;

void NetRetryTask::run()
{
    QList<NetRetryData> rows;
    AppstoreDb::instance()->selectReportBiInfo(QStringLiteral("2"), rows);
    for (const NetRetryData &row : std::as_const(rows)) {
        if (ThreadPoolManager::instance()->isStopping())
            break;
        if (!parseReportData(row.reportData)) {
            qCWarning(daemonLogCategory)
                << "Dropping a stored report that cannot be sent:" << row.id << row.reportData;
            AppstoreDb::instance()->deleteReportBiInfo(row.id);
            continue;
        }
        if (!reportBi()) {
            AppstoreDb::instance()->updateReportBiInfo(row.id);
            break;
        }
        AppstoreDb::instance()->deleteReportBiInfo(row.id);
    }
    Q_EMIT netRetryTaskFinish();
}

bool NetRetryTask::parseReportData(const QString &reportData)
{
    // Every row starts afresh: nothing of the previous row may leak into it.
    data = DownloadStateBiData();
    const QJsonDocument document = QJsonDocument::fromJson(reportData.toUtf8());
    if (!document.isObject())
        return false;
    const QJsonObject object = document.object();
    const auto text = [](const QJsonObject &from, const char *key, QString &into) {
        const QJsonValue value = from.value(QLatin1String(key));
        if (!value.isUndefined())
            into = value.toString(QStringLiteral(""));
    };
    text(object, "package_name", data.package_name);
    text(object, "url", data.url);
    text(object, "body", data.content);
    if (object.contains(QLatin1String("type")))
        data.httpType = object.value(QLatin1String("type")).toInt(0);
    const QJsonObject header = object.value(QLatin1String("header")).toObject();
    for (const auto &[key, field] : {std::pair{"device_id", &data.device_id},
                                     {"client_version", &data.client_version},
                                     {"os", &data.os},
                                     {"os_version", &data.os_version},
                                     {"os_build", &data.os_build},
                                     {"code", &data.code},
                                     {"app_id", &data.app_id},
                                     {"channel", &data.channel},
                                     {"package_version", &data.package_version},
                                     {"session_id", &data.session_id},
                                     {"type", &data.type},
                                     {"uid", &data.uid},
                                     {"down_type", &data.down_type}})
        text(header, key, *field);
    return !data.url.isEmpty() &&
           (data.httpType == StatisticsReport::Get || data.httpType == StatisticsReport::Post);
}

void NetRetryTask::fillHeaderInfo()
{
    StatisticsReport::fillHeaderInfo(data, true);
}

bool NetRetryTask::reportBi()
{
    fillHeaderInfo();
    const QByteArray body =
        data.httpType == StatisticsReport::Post ? data.content.toUtf8() : QByteArray();
    QString userAgent;
    return StatisticsReport::send(data, data.httpType, data.url, body, userAgent);
}
