#pragma once

#include "common/app_brief_info.h"
#include "common/request_header_info.h"

#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

class QNetworkRequest;

// The daemon's one client of the store server. It holds the device, system
// and client facts sent with every store request and runs the store queries.
// Queries block the calling thread for one request of at most timeout() ms;
// any thread may call them. The header record is shared by those threads and
// guarded by a mutex: each request is stamped from a copy.
class Service : public QObject
{
    Q_OBJECT
public:
    static Service *instance();

    Service(const QString &host, int port, QObject *parent = nullptr);
    ~Service() override;

    // After the store client package itself was installed or upgraded.
    void setClientVersion(const QString &version);
    RequestHeaderInfo getHeaderInfo() const;
    // On the "Home" edition the platform tells children's accounts apart.
    void updatePlatform();
    // The store headers, the User-Agent and the TLS settings.
    void setRequestHeader(QNetworkRequest &request);

    // Brief information of the named packages, appended to infos. False for
    // an empty list (nothing sent) and for a failed request.
    bool getLocalPackagesInfo(const QStringList &packageNames,
                              QVector<StoreService::AppBriefInfo> &infos);
    // As getLocalPackagesInfo; a failed request also leaves a report_bi row
    // so the request is tried again later.
    bool appUpgradeInfos(const QStringList &packageNames,
                         QVector<StoreService::AppBriefInfo> &infos);
    // For the store client: the records, and the whole reply text appended
    // to replies; empty when the list is empty or the request failed.
    QVector<StoreService::AppBriefInfo> clientGetLocalPackagesInfo(QStringList &packageNames,
                                                                   QStringList &replies);

    // True when the first page of the store tab uri has no card, and when it
    // cannot be read.
    bool getTabInfoIsEmpty(const QString &uri);

    static void parseAppBriefInfosReplyData(const QByteArray &reply,
                                            QVector<StoreService::AppBriefInfo> &infos);

    QString baseUrl() const;
    int timeout() const;
    int maxResults() const;
    // Both are fixed for the daemon; tests shorten the wait.
    void setTimeout(int milliseconds);

    // The GET every store query runs: false (and a warning) when the request
    // failed, timed out or the reply was too large.
    bool runGet(const QString &url, QByteArray &body);

private:
    Service();
    QString briefInfoQueryUrl(const QString &path, const QStringList &packageNames) const;
    void storeFailedUpgradeQuery(const QString &url);

    mutable QMutex m_mutex; // guards headerInfo and timeout
    RequestHeaderInfo headerInfo;
    QString host;
    int port = 0;
    int timeoutMs = 5000;
    int maxResultCount = 20;
    QString storeBaseUrl;
};
