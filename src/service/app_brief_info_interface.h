#pragma once

#include "common/app_brief_info.h"
#include "utils/lazy_singleton.h"

#include <QList>
#include <QObject>
#include <QString>

#include <atomic>

class QThread;

// Looks up the store's brief information of one application for the install
// path, on a worker thread of its own: the caller gets a number at once and
// the answer later as one of the two signals. Lookups run one at a time, in
// request order.
class AppBriefInfoInterface : public QObject
{
    Q_OBJECT
public:
    static AppBriefInfoInterface *instance();
    // Null until something asked for instance(); creates nothing.
    static AppBriefInfoInterface *existingInstance();
    ~AppBriefInfoInterface() override;

    void startThread();
    void stopThread();

    // Any thread. channelKey is the channel the user picked: the answer
    // names it as its channelId when the store offers a file under it.
    quint64 getAppBriefInfo(const QString &id, const QString &packageName,
                            const QString &channelKey = QString());

Q_SIGNALS:
    void sigGetAppBriefInfoFinished(QString id, StoreService::AppBriefInfo appBriefInfo);
    void sigGetAppBriefInfoFailed(QString id, QString packageName);

public Q_SLOTS:
    void slotGetAppBriefInfo(qulonglong replyCount, QString id, QString packageName,
                             QString channelKey);

private:
    struct Request
    {
        QString id;
        QString packageName;
        QString channelKey;
    };

    AppBriefInfoInterface();
    void lookUp(const Request &request);
    static void takeChannelChoice(StoreService::AppBriefInfo &info, const QString &channelKey);

    friend class AppStore::LazySingleton<AppBriefInfoInterface>;

    QThread *thread = nullptr;
    // Worker thread only. A lookup waits for the network in an event loop of
    // its own, which would start the next queued lookup inside this one:
    // requests that arrive meanwhile wait here, so answers keep their order.
    QList<Request> pending;
    bool busy = false;
    std::atomic<quint64> requestCounter{0};
};
