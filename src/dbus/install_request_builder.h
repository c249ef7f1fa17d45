#pragma once

#include "common/app_brief_info.h"
#include "common/apt_task.h"

#include <QMap>
#include <QString>
#include <QStringList>

namespace AppStore {

// Turns an install or upgrade request into the task record the engine takes.
// Every text is checked here before it reaches a task: the names and
// versions end up as arguments of package tools run as root, the links and
// checksums drive a download.
class InstallRequestBuilder
{
public:
    InstallRequestBuilder() = delete;

    enum class Kind {
        Plain,    // a package of the configured repositories
        Kapla,    // a kapla application
        Specific, // one package file named by the store, with its checksum
        Channel,  // the package of one channel of the application
        Upgrade,  // a silent upgrade from the upgrade checks
    };

    struct Request
    {
        Kind kind = Kind::Plain;
        QString id;
        QString packageName;
        QString version;
        QString name;
        int packageMode = 0;
        QString iconUrl;
        int appType = -1;
        QString size;        // kapla and specific
        QString packageUrl;  // specific
        QString sha256;      // specific
        QString channelPkgs; // channel
        QString channelId;   // channel
    };

    // The request the store record asks for. False when its install mode is
    // one the daemon does not handle.
    static bool requestFor(const QString &id, const StoreService::AppBriefInfo &info,
                           Request &request);
    // Whether the record names a file to download (a specific package, or a
    // channel's link), so that only the store's copy of it may be used.
    static bool namesDownload(const StoreService::AppBriefInfo &info);
    // The channel the caller picked, as a key to choose among the store's
    // own entries and nothing more; empty when it names none or is not plain
    // short text.
    static QString channelKey(const StoreService::AppBriefInfo &info);

    // Empty when the request may become a task; else the warning to log.
    static QString refusal(const Request &request);

    // The record of an accepted request without the parts that ask the
    // system (user, history) and without the channel's package.
    static Apt_Task task(const Request &request);

    // The channel's package of channelPkgs goes into the task; false when
    // the text, the channel or its package (version, link, checksum) is
    // unusable.
    static bool fillChannelPkgInfo(Apt_Task &task, const QString &channelId,
                                   const QString &channelPkgs);
    static bool parseChannelPkgsJson(const QString &text,
                                     QMap<QString, StoreService::_ChannelPkg> *out);

    // The parental-control client asks on behalf of the store.
    static QString rewrittenSourceId(const QString &id);
    // The id sigStartInstall carries: the channel and specific requests
    // answer with the caller's own id.
    static QString startSignalId(const Request &request);

    // The request's fields for a log line, each cut as a caller's text is.
    static QStringList arguments(const Request &request);
    static const char *signature(Kind kind);
};

} // namespace AppStore
