#include "common/app_brief_info.h"

#include "common/json_value_reader.h"

namespace StoreService {

namespace {

void readText(const QJsonObject &object, QLatin1String key, QString &member)
{
    if (object.contains(key)) {
        member = object.value(key).toString();
    }
}

// Fractions and numbers outside the int range read as 0, like non-numbers.
void readInt(const QJsonObject &object, QLatin1String key, int &member)
{
    if (object.contains(key)) {
        member = object.value(key).toInt(0);
    }
}

} // namespace

void _AppBriefInfo::parseJsonObject(const QJsonObject &object)
{
    readInt(object, QLatin1String("number"), number);
    readText(object, QLatin1String("id"), id);
    readText(object, QLatin1String("uri"), uri);
    readInt(object, QLatin1String("appid"), appid);
    if (object.contains(QLatin1String("file_size"))) {
        file_size = JsonValueReader::toInt64(object.value(QLatin1String("file_size")));
    }
    readText(object, QLatin1String("package_name"), package_name);
    readText(object, QLatin1String("package_version"), package_version);
    readText(object, QLatin1String("app_package_url"), app_package_url);
    readText(object, QLatin1String("name"), name);
    readText(object, QLatin1String("brief_info"), brief_info);
    readText(object, QLatin1String("update_desc"), update_desc);
    readText(object, QLatin1String("icon_url"), icon_url);
    readText(object, QLatin1String("copywriting"), copywriting);
    readInt(object, QLatin1String("category_id"), category_id);
    readText(object, QLatin1String("category_name"), category_name);
    readInt(object, QLatin1String("enable_mul_select"), enable_mul_select);
    readInt(object, QLatin1String("is_forced_update"), is_forced_update);
    readText(object, QLatin1String("sha256"), sha256);
    readInt(object, QLatin1String("package_mode"), package_mode);
    readInt(object, QLatin1String("isSpecificPkg"), isSpecificPkg);
    readInt(object, QLatin1String("pkgInstallMode"), pkgInstallMode);
    readInt(object, QLatin1String("supportWayland"), supportWayland);
    readText(object, QLatin1String("channelId"), channelId);

    // Always taken, so that a record read over an older one never keeps
    // channel packages the new object does not offer.
    channelPkgs = object.value(QLatin1String("channelPkgs")).toString();
    channelPkgMap = _ChannelPkg::parseChannelPkgJsonStr(channelPkgs);
}

bool operator==(const _AppBriefInfo &lhs, const _AppBriefInfo &rhs)
{
    return lhs.number == rhs.number && lhs.id == rhs.id && lhs.uri == rhs.uri &&
           lhs.appid == rhs.appid && lhs.file_size == rhs.file_size &&
           lhs.package_name == rhs.package_name && lhs.package_version == rhs.package_version &&
           lhs.app_package_url == rhs.app_package_url && lhs.name == rhs.name &&
           lhs.brief_info == rhs.brief_info && lhs.update_desc == rhs.update_desc &&
           lhs.icon_url == rhs.icon_url && lhs.copywriting == rhs.copywriting &&
           lhs.category_id == rhs.category_id && lhs.category_name == rhs.category_name &&
           lhs.enable_mul_select == rhs.enable_mul_select &&
           lhs.is_forced_update == rhs.is_forced_update && lhs.sha256 == rhs.sha256 &&
           lhs.package_mode == rhs.package_mode && lhs.isSpecificPkg == rhs.isSpecificPkg &&
           lhs.pkgInstallMode == rhs.pkgInstallMode && lhs.supportWayland == rhs.supportWayland &&
           lhs.channelPkgs == rhs.channelPkgs && lhs.channelId == rhs.channelId;
}

} // namespace StoreService

QString appBriefInfoToJsonString(const StoreService::AppBriefInfo &info)
{
    QJsonObject object;
    object.insert(QLatin1String("id"), info.id);
    object.insert(QLatin1String("uri"), info.uri);
    object.insert(QLatin1String("appid"), info.appid);
    object.insert(QLatin1String("file_size"), info.file_size);
    object.insert(QLatin1String("package_name"), info.package_name);
    object.insert(QLatin1String("package_version"), info.package_version);
    object.insert(QLatin1String("app_package_url"), info.app_package_url);
    object.insert(QLatin1String("name"), info.name);
    object.insert(QLatin1String("brief_info"), info.brief_info);
    object.insert(QLatin1String("update_desc"), info.update_desc);
    object.insert(QLatin1String("icon_url"), info.icon_url);
    object.insert(QLatin1String("copywriting"), info.copywriting);
    object.insert(QLatin1String("category_id"), info.category_id);
    object.insert(QLatin1String("category_name"), info.category_name);
    object.insert(QLatin1String("enable_mul_select"), info.enable_mul_select);
    object.insert(QLatin1String("is_forced_update"), info.is_forced_update);
    object.insert(QLatin1String("sha256"), info.sha256);
    object.insert(QLatin1String("package_mode"), info.package_mode);
    object.insert(QLatin1String("isSpecificPkg"), info.isSpecificPkg);
    object.insert(QLatin1String("pkgInstallMode"), info.pkgInstallMode);
    object.insert(QLatin1String("supportWayland"), info.supportWayland);
    object.insert(QLatin1String("channelPkgs"), info.channelPkgs);
    object.insert(QLatin1String("channelId"), info.channelId);
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

StoreService::AppBriefInfo appBriefInfoFromJsonString(const QString &json)
{
    StoreService::AppBriefInfo info;
    if (!json.trimmed().isEmpty()) {
        info.parseJsonByteArray(json.toUtf8());
    }
    return info;
}

QList<StoreService::AppBriefInfo> parseAppBriefInfoList(const QStringList &jsonTexts)
{
    QList<StoreService::AppBriefInfo> infos;
    infos.reserve(jsonTexts.size());
    for (const QString &json : jsonTexts)
        infos.append(appBriefInfoFromJsonString(json));
    return infos;
}

void appBriefInfosFromJsonStrings(const QStringList &jsons,
                                  QList<StoreService::AppBriefInfo> &infos)
{
    for (const QString &json : jsons) {
        StoreService::AppBriefInfo info = appBriefInfoFromJsonString(json);
        if (!info.package_name.trimmed().isEmpty()) {
            infos.append(info);
        }
    }
}

QString aptOutputToJsonString(const QString &title, const QString &content, const QString &option,
                              const AppStore::NotifyStatus &status, const QString &appBriefInfoJson)
{
    QJsonObject code;
    code.insert(QLatin1String("code"), status.code);

    QJsonObject detail;
    detail.insert(QLatin1String("title"), title);
    detail.insert(QLatin1String("content"), content);
    detail.insert(QLatin1String("option"), option);

    QJsonObject object;
    object.insert(QLatin1String("code"), code);
    object.insert(QLatin1String("detail"), detail);

    if (!appBriefInfoJson.isEmpty()) {
        const StoreService::AppBriefInfo info = appBriefInfoFromJsonString(appBriefInfoJson);
        QJsonObject brief;
        brief.insert(QLatin1String("package_name"), info.package_name);
        brief.insert(QLatin1String("package_mode"), info.package_mode);
        brief.insert(QLatin1String("pkgInstallMode"), info.pkgInstallMode);
        object.insert(QLatin1String("appBriefInfo"), brief);
    }
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}
