#pragma once

#include "common/channel_pkg.h"
#include "common/daemon_log.h"
#include "common/notify_status.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QString>
#include <QStringList>

namespace StoreService {

// The store's brief information on one application. Member names are the
// JSON keys that fill them; channelPkgMap is always the parse of channelPkgs.
struct _AppBriefInfo
{
    _AppBriefInfo() = default;
    // One record of a store reply: the defaults, then the object's keys.
    explicit _AppBriefInfo(const QJsonObject &object) { parseJsonObject(object); }

    int number = -1;
    QString id;
    QString uri;
    int appid = -1;
    qint64 file_size = 0;
    QString package_name;
    QString package_version;
    QString app_package_url;
    QString name;
    QString brief_info;
    QString update_desc;
    QString icon_url;
    QString copywriting;
    int category_id = -1;
    QString category_name;
    int enable_mul_select = -1;
    int is_forced_update = 1;
    QString sha256;
    int package_mode = 0;
    int isSpecificPkg = 0;
    int pkgInstallMode = 1;
    int supportWayland = 0;
    QString channelPkgs;
    QMap<QString, _ChannelPkg> channelPkgMap;
    QString channelId;

    // Keys that are absent leave their members as they were, except
    // "channelPkgs", which is always taken (empty when absent).
    void parseJsonObject(const QJsonObject &object);

    // Defined here so that every unit that parses a record shares one reading.
    inline void parseJsonByteArray(const QByteArray &json);
};

using AppBriefInfo = _AppBriefInfo;

// channelPkgMap is left out: it follows from channelPkgs.
bool operator==(const _AppBriefInfo &lhs, const _AppBriefInfo &rhs);
inline bool operator!=(const _AppBriefInfo &lhs, const _AppBriefInfo &rhs)
{
    return !(lhs == rhs);
}

inline void _AppBriefInfo::parseJsonByteArray(const QByteArray &json)
{
    // The text may be a caller's, as long as a bus message: the log shows
    // as much of it as of the other callers' texts.
    constexpr qsizetype kLoggedJsonBytes = 256;
    if (json.trimmed().isEmpty()) {
        return;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        qCWarning(daemonLogCategory)
            << "Parse AppBriefInfo failed:" << error.errorString() << json.left(kLoggedJsonBytes);
        return;
    }
    parseJsonObject(document.object());
}

} // namespace StoreService

Q_DECLARE_METATYPE(StoreService::AppBriefInfo)

// Compact JSON of the record; "number" is not written.
QString appBriefInfoToJsonString(const StoreService::AppBriefInfo &info);

// Defaults when the text is blank or does not parse.
StoreService::AppBriefInfo appBriefInfoFromJsonString(const QString &json);

// One record per text, in order: a text that does not parse gives the
// defaults, so the result lines up with the texts.
QList<StoreService::AppBriefInfo> parseAppBriefInfoList(const QStringList &jsonTexts);

// Appends one record per text that parses and names a package.
void appBriefInfosFromJsonStrings(const QStringList &jsons,
                                  QList<StoreService::AppBriefInfo> &infos);

// The output message of the package tasks: status code, the three texts and,
// when a record text is given, the package it concerns.
QString aptOutputToJsonString(const QString &title, const QString &content, const QString &option,
                              const AppStore::NotifyStatus &status,
                              const QString &appBriefInfoJson);
