#include "tab_page_reader.h"

#include "store_request_texts.h"

#include "common/daemon_log.h"
#include "utils/utils.h"

#include <QJsonArray>
#include <QJsonDocument>

using namespace StoreService;

namespace {

void readText(const QJsonObject &object, const char *key, QString &field)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isUndefined())
        field = value.toString();
}

void readInt(const QJsonObject &object, const char *key, int &field, int fallback = 0)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isUndefined())
        field = value.toInt(fallback);
}

// Numbers and strings of digits alike.
qint64 toInt64(const QJsonValue &value)
{
    bool ok = false;
    const qint64 number = value.toVariant().toLongLong(&ok);
    return ok ? number : 0;
}

void readInt64(const QJsonObject &object, const char *key, qint64 &field)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isUndefined())
        field = toInt64(value);
}

void readPlayCount(const QJsonObject &object, QString &field)
{
    const QJsonValue value = object.value(QLatin1String("playTotal"));
    if (!value.isUndefined())
        field = AppStore::Utils::downloadCountText(toInt64(value)) + QObject::tr("次播放");
}

template<typename T, typename Read> QList<T> readList(const QJsonValue &value, Read read)
{
    QList<T> list;
    const QJsonArray array = value.toArray();
    for (const QJsonValue &element : array)
        list.append(read(element));
    return list;
}

QList<AppBriefInfo> readApps(const QJsonValue &value)
{
    return readList<AppBriefInfo>(value,
                                  [](const QJsonValue &v) { return AppBriefInfo(v.toObject()); });
}

void readHeader(const QJsonObject &object, Business_CardHeader &header)
{
    if (object.contains(QLatin1String("card_def"))) {
        const QJsonObject def = object.value(QLatin1String("card_def")).toObject();
        readText(def, "id", header.id);
        readText(def, "card_name", header.card_name);
        readText(def, "name", header.name);
        readInt(def, "card_type", header.card_type);
        readText(def, "uri", header.uri);
        readInt(def, "max_rows", header.max_rows);
        readInt(def, "enable_copywriting", header.enable_copywriting);
        readText(def, "show_all_uri", header.show_all_uri);
        readInt(def, "page_results", header.page_results);
    }
    if (object.contains(QLatin1String("card_config"))) {
        const QJsonObject config = object.value(QLatin1String("card_config")).toObject();
        readInt(config, "fontSize", header.fontSize);
        readText(config, "fontColor", header.fontColor);
        readText(config, "iconUrl", header.iconUrl);
        readInt(config, "img_direction", header.img_direction);
        readInt(config, "is_show_order", header.is_show_order);
        readInt(config, "supportPageTurning", header.supportPageTurning);
    }
    if (header.max_rows <= 0)
        header.max_rows = 3;
}

SliderItem readSlider(const QJsonValue &value)
{
    const QJsonObject object = value.toObject();
    SliderItem item;
    readInt(object, "id", item.id);
    readText(object, "slider_image_url", item.slider_image_url);
    readText(object, "slider_bg_image_url", item.slider_bg_image_url);
    readText(object, "uri", item.uri);
    readText(object, "show_name", item.show_name);
    readText(object, "type_name", item.type_name);
    readText(object, "main_title", item.main_title);
    readText(object, "sub_title", item.sub_title);
    return item;
}

CategoryItem readCategory(const QJsonValue &value)
{
    const QJsonObject object = value.toObject();
    CategoryItem item;
    readInt(object, "id", item.id);
    readText(object, "name", item.name);
    readText(object, "image_url", item.image_url);
    item.sort_rule =
        readList<SortRule>(object.value(QLatin1String("sort_rule")), [](const QJsonValue &v) {
            SortRule rule;
            readText(v.toObject(), "uri", rule.uri);
            readText(v.toObject(), "name", rule.name);
            return rule;
        });
    return item;
}

} // namespace

bool TabPageReader::parseNavInfoTabPageReplyData(const QByteArray &reply, Business_Page &page)
{
    if (reply.isEmpty())
        return true;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(reply, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        qCWarning(daemonLogCategory)
            << "Parse NavInfoTabPage failed:" << error.errorString() << reply;
        return false;
    }
    const QJsonObject object = document.object();
    if (!parseResponseQJsonObject(object, QStringLiteral("parseLeftNavInfoReplyData")))
        return false;
    const QJsonArray datas = object.value(QLatin1String("datas")).toArray();
    for (const QJsonValue &element : datas) {
        Business_Card card;
        parseBusinessPageCards(element.toObject(), card);
        page.append(card);
    }
    return true;
}

void TabPageReader::parseBusinessPageCards(const QJsonObject &object, Business_Card &card)
{
    readHeader(object, card.header);
    readInt(object, "current_results", card.current_results);
    const int type = card.header.card_type;
    if (type < 0 || type > 25 || type == 0 || type == 9 || type == 17 ||
        !object.contains(QLatin1String("datas")))
        return;
    parsePayload(object, card);
}

void TabPageReader::parsePayload(const QJsonObject &object, Business_Card &card)
{
    const QJsonValue datas = object.value(QLatin1String("datas"));
    const QJsonObject datasObject = datas.toObject();
    const Business_CardHeader &header = card.header;
    int currentPage = 1;
    int hasNextPage = 0;
    int totalCount = 0;
    readInt(object, "current_page", currentPage, 1);
    readInt(object, "has_next_page", hasNextPage);
    readInt(object, "totalCount", totalCount);

    const auto sliders = [&](SliderGroup &group) {
        group.items.append(readList<SliderItem>(datas, readSlider));
        group.header = header;
    };
    const auto apps = [&](AppGroup &group) {
        group.apps.append(readApps(datas));
        group.header = header;
    };
    const auto pagedApps = [&](PagedAppGroup &group) {
        group.apps.append(readApps(datas));
        group.header = header;
        group.current_page = currentPage;
        group.has_next_page = hasNextPage;
    };
    switch (header.card_type) {
    case 1:
        sliders(card.sliderA);
        break;
    case 2:
    case 20:
        sliders(card.sliderB);
        break;
    case 3:
        sliders(card.sliderC);
        break;
    case 4:
        apps(card.apps4);
        break;
    case 5:
        apps(card.apps5);
        break;
    case 6:
        apps(card.apps6);
        break;
    case 12:
        apps(card.apps12);
        break;
    case 18:
        apps(card.apps18);
        break;
    case 19:
        apps(card.apps19);
        break;
    case 10:
        pagedApps(card.pagedApps10);
        break;
    case 11:
        pagedApps(card.pagedApps11);
        break;
    case 7:
        card.categories.categories.append(readList<CategoryItem>(datas, readCategory));
        card.categories.header = header;
        break;
    case 8:
        card.image.appDetail = parseAppDetail(datasObject);
        break;
    case 13:
        readText(datasObject, "name", card.topic.topic.name);
        readText(datasObject, "main_title", card.topic.topic.main_title);
        readText(datasObject, "type_name", card.topic.topic.type_name);
        readText(datasObject, "desc", card.topic.topic.desc);
        readText(datasObject, "image_url", card.topic.topic.image_url);
        break;
    case 14:
        readText(datasObject, "name", card.text.name);
        readText(datasObject, "desc", card.text.desc);
        break;
    case 15:
        readText(datasObject, "name", card.label.label.name);
        readInt(datasObject, "enable_click_install", card.label.label.enable_click_install);
        readInt(datasObject, "font_width", card.label.label.font_width);
        readInt(datasObject, "font_size", card.label.label.font_size);
        readInt(datasObject, "isHover", card.label.label.isHover);
        break;
    case 16:
        readText(datasObject, "small_image_url", card.image.imageWord.small_image_url);
        readText(datasObject, "medium_image_url", card.image.imageWord.medium_image_url);
        readText(datasObject, "big_image_url", card.image.imageWord.big_image_url);
        readText(datasObject, "word", card.image.imageWord.word);
        break;
    case 21:
        card.courseList21.courses = parseCourseList(datasObject);
        break;
    case 22:
        card.courseList22.courses = parseCourseList(datasObject);
        break;
    case 23:
        card.course.detail = parseCourseDetail(datas);
        break;
    case 24:
        card.navTags.groups.append(readList<NavTagGroup>(datas, parseNavTagGroup));
        break;
    case 25:
        card.course.courses = parseCourseList(datasObject);
        card.course.current_page = currentPage;
        card.course.has_next_page = hasNextPage;
        card.course.totalCount = totalCount;
        break;
    default:
        break;
    }
}

AppDetail TabPageReader::parseAppDetail(const QJsonObject &object)
{
    AppDetail detail;
    readText(object, "id", detail.id);
    readInt(object, "appid", detail.appid);
    readText(object, "package_name", detail.package_name);
    readText(object, "package_version", detail.package_version);
    readText(object, "app_package_url", detail.app_package_url);
    readInt64(object, "file_size", detail.file_size);
    readInt(object, "category_id", detail.category_id);
    readText(object, "category_name", detail.category_name);
    readText(object, "email", detail.email);
    readText(object, "official_site", detail.official_site);
    readInt(object, "devid", detail.devid);
    readText(object, "dev_name", detail.dev_name);
    readText(object, "sha256", detail.sha256);
    readInt(object, "package_mode", detail.package_mode);
    readInt(object, "supportWayland", detail.supportWayland);
    readInt(object, "app_source_label", detail.app_source_label);
    readText(object, "update_date", detail.update_date);
    readInt64(object, "down_count", detail.down_count);
    readText(object, "name", detail.name);
    readText(object, "brief_info", detail.brief_info);
    readText(object, "desc_info", detail.desc_info);
    readText(object, "update_desc", detail.update_desc);
    readText(object, "icon_url", detail.icon_url);
    readText(object, "uri", detail.uri);
    readInt(object, "is_forced_update", detail.is_forced_update);
    if (object.contains(QLatin1String("channelPkgs"))) {
        detail.channelPkgs =
            QString::fromUtf8(QJsonDocument(object.value(QLatin1String("channelPkgs")).toArray())
                                  .toJson(QJsonDocument::Compact));
        detail.channelPkgMap = _ChannelPkg::parseChannelPkgJsonStr(detail.channelPkgs);
    }
    detail.screenshots =
        readList<Screenshot>(object.value(QLatin1String("screenshots")), [](const QJsonValue &v) {
            Screenshot shot;
            const QJsonObject o = v.toObject();
            readText(o, "screenshot_url", shot.screenshot_url);
            readInt(o, "sort", shot.sort);
            readInt(o, "image_mode", shot.image_mode);
            return shot;
        });
    detail.bundle_apps =
        readList<BundleApp>(object.value(QLatin1String("bundle_apps")), [](const QJsonValue &v) {
            BundleApp app;
            const QJsonObject o = v.toObject();
            readInt(o, "appid", app.appid);
            readInt(o, "package_mode", app.package_mode);
            readInt(o, "sort", app.sort);
            readText(o, "name", app.name);
            return app;
        });
    if (object.contains(QLatin1String("score_info"))) {
        const QJsonObject score = object.value(QLatin1String("score_info")).toObject();
        detail.totalScore = score.value(QLatin1String("totalScore")).toInt(0);
        detail.totalPerson = score.value(QLatin1String("totalPerson")).toInt(0);
        readInt(score, "myScore", detail.myScore);
        detail.scoreLevel =
            readList<ScoreLevel>(score.value(QLatin1String("scoreLevel")), [](const QJsonValue &v) {
                ScoreLevel level;
                readInt(v.toObject(), "star", level.star);
                readInt(v.toObject(), "persons", level.persons);
                return level;
            });
    }
    detail.related_recommend_apps = readApps(object.value(QLatin1String("related_recommend_apps")));
    const QJsonValue tags = object.value(QLatin1String("tag_names"));
    if (tags.isArray()) {
        for (const QJsonValue &tag : tags.toArray())
            detail.tag_names.append(tag.toString());
    }
    return detail;
}

NavTagItem TabPageReader::parseNavTagItem(const QJsonValue &value)
{
    const QJsonObject object = value.toObject();
    NavTagItem item;
    readInt(object, "id", item.id);
    readText(object, "name", item.name);
    readText(object, "uri", item.uri);
    readInt(object, "is_default", item.is_default);
    return item;
}

NavTagGroup TabPageReader::parseNavTagGroup(const QJsonValue &value)
{
    const QJsonObject object = value.toObject();
    NavTagGroup group;
    readInt(object, "id", group.id);
    readText(object, "name", group.name);
    readInt(object, "is_show", group.is_show);
    if (object.contains(QLatin1String("tagInfo")))
        group.tagInfo =
            readList<NavTagItem>(object.value(QLatin1String("tagInfo")), parseNavTagItem);
    return group;
}

CourseSingle TabPageReader::parseCourseSingle(const QJsonValue &value)
{
    const QJsonObject object = value.toObject();
    CourseSingle single;
    readText(object, "id", single.id);
    readInt(object, "isDefault", single.isDefault);
    readText(object, "title", single.title);
    readText(object, "coverUrl", single.coverUrl);
    readText(object, "briefInfo", single.briefInfo);
    readText(object, "uri", single.uri);
    readPlayCount(object, single.playTotal);
    readText(object, "resourceUrl", single.resourceUrl);
    readText(object, "duration", single.duration);
    readInt(object, "likesTotal", single.likesTotal);
    readInt(object, "isLiked", single.isLiked);
    readInt(object, "cosType", single.cosType);
    readInt(object, "isFree", single.isFree);
    readInt(object, "teacher_id", single.teacher_id);
    readInt(object, "isCollected", single.isCollected);
    return single;
}

CourseListItem TabPageReader::parseCourseListItem(const QJsonValue &value)
{
    const QJsonObject object = value.toObject();
    CourseListItem item;
    readText(object, "courseTitle", item.courseTitle);
    readText(object, "hCoverUrl", item.hCoverUrl);
    readText(object, "vCoverUrl", item.vCoverUrl);
    readText(object, "briefInfo", item.briefInfo);
    readPlayCount(object, item.playTotal);
    readInt(object, "cosType", item.cosType);
    readText(object, "setDesc", item.setDesc);
    readText(object, "uri", item.uri);
    return item;
}

CourseDetail TabPageReader::parseCourseDetail(const QJsonValue &value)
{
    const QJsonObject object = value.toObject();
    CourseDetail detail;
    readText(object, "id", detail.id);
    readText(object, "courseTitle", detail.courseTitle);
    readInt(object, "cosType", detail.cosType);
    readPlayCount(object, detail.playTotal);
    readInt(object, "defaultSingleIdx", detail.defaultSingleIdx);
    readInt(object, "isCollected", detail.isCollected);
    detail.courseIncludeSingles = readList<CourseSingle>(
        object.value(QLatin1String("courseIncludeSingles")), parseCourseSingle);
    detail.suitableApps = readApps(object.value(QLatin1String("suitableApps")));
    detail.recmdCourses =
        readList<CourseListItem>(object.value(QLatin1String("recmdCourses")), parseCourseListItem);
    if (object.contains(QLatin1String("openApp")))
        detail.openApp = AppBriefInfo(object.value(QLatin1String("openApp")).toObject());
    return detail;
}

QList<CourseListItem> TabPageReader::parseCourseList(const QJsonObject &object)
{
    return readList<CourseListItem>(object.value(QLatin1String("datas")), parseCourseListItem);
}
