#include "service.h"

#include "blocking_http_request.h"
#include "store_request_texts.h"
#include "tab_page_reader.h"

#include "common/daemon_log.h"
#include "common/net_retry_data.h"
#include "database/appstoredb.h"
#include "dbus/children_guard_account_interface.h"
#include "utils/utils.h"

#include <QAtomicPointer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutexLocker>
#include <QNetworkRequest>
#include <QUrl>

namespace {

// Kept for the record's shape: no request reads host or port, every URL
// starts from the configured base address.
const QString kBuiltInHost = QStringLiteral("192.168.0.10");
constexpr int kBuiltInPort = 8080;

QAtomicPointer<Service> s_instance;
QMutex s_instanceMutex;

void setHeader(QNetworkRequest &request, const char *name, const QString &value)
{
    // A field never assigned is not sent; an empty one is sent empty.
    if (value.isNull())
        return;
    QByteArray bytes = value.toUtf8();
    if (bytes.isNull())
        bytes = QByteArray("");
    request.setRawHeader(name, bytes);
}

void stampHeaders(QNetworkRequest &request, const RequestHeaderInfo &info)
{
    setHeader(request, "arch", info.arch);
    setHeader(request, "mode", info.mode);
    setHeader(request, "platform", info.platform);
    setHeader(request, "region", info.region);
    setHeader(request, "language", AppStore::Utils::getUserLanguage());
    setHeader(request, "baseline_version", info.baseline_version);
    setHeader(request, "baseline_main_version", info.baseline_main_version);
    setHeader(request, "os_build", info.os_build);
    setHeader(request, "client_version", info.client_version);
    setHeader(request, "motherboard", info.motherboard);
    setHeader(request, "cpu_clip", info.cpu_clip);
    setHeader(request, "eabi", info.eabi);
    setHeader(request, "mac", info.mac);
    setHeader(request, "userid", info.userid);
    setHeader(request, "token", info.token);
    setHeader(request, "supfeatures", info.supfeatures);
    setHeader(request, "referer", info.referer);
    setHeader(request, "iswayland", info.iswayland);
    request.setHeader(QNetworkRequest::UserAgentHeader, buildUserAgent(info.biHeader).toUtf8());
}

// The platform word for the "Home" edition, or a null text elsewhere. Asks
// login1 and the account service: never called under the record's mutex.
QString homePlatform()
{
    if (AppStore::Utils::osEditionName() != QLatin1String("Home"))
        return {};
    QString userName;
    AppStore::Utils::getLogname(userName);
    const QString role = ChildrenGuardAccountInterface::instance()->getOwnerRole(userName);
    return role == QLatin1String("2") ? QStringLiteral("youngster") : QStringLiteral("Home");
}

} // namespace

Service *Service::instance()
{
    Service *service = s_instance.loadAcquire();
    if (service)
        return service;
    QMutexLocker locker(&s_instanceMutex);
    service = s_instance.loadRelaxed();
    if (!service) {
        service = new Service();
        s_instance.storeRelease(service);
    }
    return service;
}

Service::Service()
    : Service(kBuiltInHost, kBuiltInPort, nullptr)
{}

Service::Service(const QString &host, int port, QObject *parent)
    : QObject(parent)
    , host(host)
    , port(port)
{
    qRegisterMetaType<StoreService::AppBriefInfo>("StoreService::AppBriefInfo");
    AppStore::Utils::systemInfoRecord(headerInfo);
    headerInfo.biHeader.client = QStringLiteral("app_store");
    updatePlatform();
    storeBaseUrl = AppStore::Utils::storeServerUrl();
}

Service::~Service() = default;

void Service::setClientVersion(const QString &version)
{
    QMutexLocker locker(&m_mutex);
    headerInfo.client_version = version;
}

RequestHeaderInfo Service::getHeaderInfo() const
{
    QMutexLocker locker(&m_mutex);
    return headerInfo;
}

void Service::updatePlatform()
{
    const QString platform = homePlatform();
    if (platform.isNull())
        return;
    QMutexLocker locker(&m_mutex);
    headerInfo.platform = platform;
}

void Service::setRequestHeader(QNetworkRequest &request)
{
    updatePlatform();
    RequestHeaderInfo copy;
    {
        QMutexLocker locker(&m_mutex);
        headerInfo.biHeader.uid = headerInfo.userid;
        headerInfo.biHeader.client_version = headerInfo.client_version;
        copy = headerInfo;
    }
    stampHeaders(request, copy);
    AppStore::Utils::setSslVerifyNone(request);
}

QString Service::baseUrl() const
{
    return storeBaseUrl;
}

int Service::timeout() const
{
    QMutexLocker locker(&m_mutex);
    return timeoutMs;
}

int Service::maxResults() const
{
    return maxResultCount;
}

void Service::setTimeout(int milliseconds)
{
    QMutexLocker locker(&m_mutex);
    timeoutMs = milliseconds;
}

bool Service::runGet(const QString &url, QByteArray &body)
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    setRequestHeader(request);
    const BlockingHttpRequest::Outcome outcome = BlockingHttpRequest::get(request, timeout());
    if (!outcome.ok) {
        // The query holds what a caller asked for; its address says enough.
        qCWarning(daemonLogCategory)
            << "GET network request failed:"
            << QUrl(url, QUrl::TolerantMode).adjusted(QUrl::RemoveQuery).toString()
            << outcome.error;
        return false;
    }
    body = outcome.body;
    return true;
}

QString Service::briefInfoQueryUrl(const QString &path, const QStringList &packageNames) const
{
    // Names are percent-encoded ("+" and "&" included) so that the server
    // decodes exactly the names asked for.
    QStringList items;
    items.reserve(packageNames.size());
    for (const QString &name : packageNames)
        items.append(QStringLiteral("package_names=") +
                     QString::fromLatin1(QUrl::toPercentEncoding(name)));
    return storeBaseUrl + path + u'?' + items.join(u'&');
}

bool Service::getTabInfoIsEmpty(const QString &uri)
{
    const QString query =
        QStringLiteral("req_page_num=%1&max_results=%2").arg(1).arg(maxResultCount);
    const QChar joiner = uri.contains(u'?') ? u'&' : u'?';
    QByteArray body;
    if (!runGet(storeBaseUrl + QStringLiteral("/store-dist-operaton/getTabDetail/") + uri + joiner +
                    query,
                body))
        return true;
    StoreService::Business_Page page;
    TabPageReader::parseNavInfoTabPageReplyData(body, page);
    return page.isEmpty();
}

void Service::parseAppBriefInfosReplyData(const QByteArray &reply,
                                          QVector<StoreService::AppBriefInfo> &infos)
{
    if (reply.isEmpty())
        return;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(reply, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        qCWarning(daemonLogCategory) << "Parse AppBriefInfo failed:" << error.errorString();
        return;
    }
    const QJsonArray datas = document.object().value(QLatin1String("datas")).toArray();
    for (const QJsonValue &element : datas)
        infos.append(StoreService::AppBriefInfo(element.toObject()));
}

bool Service::getLocalPackagesInfo(const QStringList &packageNames,
                                   QVector<StoreService::AppBriefInfo> &infos)
{
    if (packageNames.isEmpty())
        return false;
    QByteArray body;
    if (!runGet(briefInfoQueryUrl(QStringLiteral("/store-dist-app/getAppBriefInfo"), packageNames),
                body))
        return false;
    parseAppBriefInfosReplyData(body, infos);
    return true;
}

bool Service::appUpgradeInfos(const QStringList &packageNames,
                              QVector<StoreService::AppBriefInfo> &infos)
{
    if (packageNames.isEmpty())
        return false;
    const QString url =
        briefInfoQueryUrl(QStringLiteral("/store-dist-app/appUpgradeInfos"), packageNames);
    QByteArray body;
    if (!runGet(url, body)) {
        storeFailedUpgradeQuery(url);
        return false;
    }
    parseAppBriefInfosReplyData(body, infos);
    return true;
}

void Service::storeFailedUpgradeQuery(const QString &url)
{
    NetRetryData row;
    row.type = QString::number(1);
    row.reportData = buildRetryReportData(url, buildBiHeaderString(getHeaderInfo().biHeader));
    AppstoreDb::instance()->insertReportBiInfo(row);
}

QVector<StoreService::AppBriefInfo> Service::clientGetLocalPackagesInfo(QStringList &packageNames,
                                                                        QStringList &replies)
{
    QVector<StoreService::AppBriefInfo> infos;
    if (packageNames.isEmpty())
        return infos;
    QByteArray body;
    if (!runGet(briefInfoQueryUrl(QStringLiteral("/store-dist-app/getAppBriefInfo"), packageNames),
                body))
        return infos;
    replies.append(QString::fromUtf8(body));
    parseAppBriefInfosReplyData(body, infos);
    return infos;
}
