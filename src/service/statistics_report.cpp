#include "statistics_report.h"

#include "blocking_http_request.h"
#include "service.h"
#include "store_request_texts.h"

#include "apt_utils/aptcache.h"
#include "common/daemon_log.h"
#include "utils/utils.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QMutexLocker>
#include <QNetworkRequest>
#include <QUrl>

namespace StatisticsReport {

namespace {

// A deployment value: the maker's statistics host is configured per
// installation through the environment.
const QString kBuiltInStatisticsUrl = QStringLiteral("https://statistics.invalid/upload/downstat");

QMutex s_urlMutex;
bool s_urlLoaded = false;
QString s_url;

QString item(const char *key, const QString &value)
{
    return QLatin1String(key) + u'/' + value.trimmed();
}

} // namespace

QString buildStatisticsUserAgent(const DownloadStateBiData &record)
{
    QStringList items{item("type", record.type),
                      item("device_id", record.device_id),
                      item("client_version", record.client_version),
                      item("os", record.os),
                      item("os_version", record.os_version),
                      item("os_build", record.os_build),
                      item("channel", record.channel),
                      item("uid", record.uid),
                      item("app_id", record.app_id),
                      item("package_version", record.package_version),
                      item("session_id", record.session_id)};
    if (record.type == QLatin1String("41"))
        items.append(item("down_type", record.down_type));
    items.append(item("code", record.code));
    return items.join(u' ');
}

QByteArray buildContentBody(const QString &content)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("content"), content}})
        .toJson(QJsonDocument::Indented);
}

QString buildRetryReportData(int type, const QString &url, const QString &header,
                             const QString &body, const QString &packageName)
{
    QJsonObject payload{{QStringLiteral("package_name"), packageName},
                        {QStringLiteral("type"), type},
                        {QStringLiteral("url"), url},
                        {QStringLiteral("header"), headerObjectFromText(header)}};
    if (type == Post)
        payload.insert(QStringLiteral("body"), body);
    return QString::fromUtf8(QJsonDocument(payload).toJson(QJsonDocument::Compact));
}

QString statisticsUrl()
{
    QMutexLocker locker(&s_urlMutex);
    if (!s_urlLoaded) {
        s_urlLoaded = true;
        s_url = qEnvironmentVariable("TARNWICK_STATISTICS_URL", kBuiltInStatisticsUrl);
    }
    return s_url;
}

void setStatisticsUrl(const QString &url)
{
    QMutexLocker locker(&s_urlMutex);
    s_urlLoaded = true;
    s_url = url;
}

void fillHeaderInfo(DownloadStateBiData &data, bool onlyMissing)
{
    const auto fill = [onlyMissing](QString &field, const QString &value) {
        if (!onlyMissing || field.isNull())
            field = value;
    };
    const RequestHeaderInfo header = Service::instance()->getHeaderInfo();
    fill(data.device_id, header.biHeader.device_id);
    fill(data.os, header.biHeader.os);
    fill(data.os_version, header.biHeader.os_version);
    fill(data.os_build, header.biHeader.os_build);
    fill(data.channel, header.biHeader.channel);
    fill(data.client_version, header.client_version);
    if (data.type == QLatin1String("41") && (!onlyMissing || data.down_type.isNull()))
        data.down_type = AptCache::isPackageInstalled(data.package_name) ? QStringLiteral("1")
                                                                         : QStringLiteral("0");
    if ((onlyMissing && !data.app_id.isNull()) || data.package_name.isEmpty())
        return;
    QVector<StoreService::AppBriefInfo> infos;
    Service::instance()->getLocalPackagesInfo({data.package_name}, infos);
    // Only the package's own record names its application.
    for (const StoreService::AppBriefInfo &info : std::as_const(infos)) {
        if (info.package_name == data.package_name) {
            data.app_id = QString::number(info.appid);
            break;
        }
    }
}

bool send(const DownloadStateBiData &data, int type, const QString &url, const QByteArray &body,
          QString &userAgent)
{
    if (type != Get && type != Post)
        return false;
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    userAgent = buildStatisticsUserAgent(data);
    request.setHeader(QNetworkRequest::UserAgentHeader, userAgent.toUtf8());
    AppStore::Utils::setSslVerifyNone(request);
    const int timeout = Service::instance()->timeout();
    BlockingHttpRequest::Outcome outcome;
    if (type == Get) {
        outcome = BlockingHttpRequest::get(request, timeout);
    } else {
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArrayLiteral("application/json"));
        request.setRawHeader("type", "9");
        outcome = BlockingHttpRequest::post(request, body, timeout);
    }
    if (!outcome.ok)
        qCWarning(daemonLogCategory) << "Network request failed:" << type << url << outcome.error;
    return outcome.ok;
}

} // namespace StatisticsReport
