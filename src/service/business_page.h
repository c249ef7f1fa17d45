#pragma once

#include "common/app_brief_info.h"
#include "common/channel_pkg.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

// The store server's model of one tab page of the store client: an ordered
// list of cards, each with its definition and the payload of its kind. The
// daemon itself only asks whether a page has cards; the rest is read so that
// replies are accepted exactly as the store client accepts them. Integers the
// server may leave out start at 0.
namespace StoreService {

struct Business_CardHeader
{
    QString id;
    QString card_name;
    QString name;
    int card_type = 0;
    QString uri;
    int max_rows = 0;
    int enable_copywriting = 0;
    QString show_all_uri;
    int page_results = 0;
    int fontSize = -1;
    QString fontColor;
    QString iconUrl;
    int img_direction = 0;
    int is_show_order = -1;
    int supportPageTurning = 0;
};

struct SliderItem
{
    int id = 0;
    QString slider_image_url;
    QString slider_bg_image_url;
    QString uri;
    QString show_name;
    QString type_name;
    QString main_title;
    QString sub_title;
};

struct SortRule
{
    QString uri;
    QString name;
};

struct CategoryItem
{
    int id = 0;
    QString name;
    QString image_url;
    QList<SortRule> sort_rule;
};

struct TopicInfo
{
    QString name;
    QString main_title;
    QString type_name;
    QString desc;
    QString image_url;
};

struct LabelInfo
{
    QString name;
    int enable_click_install = 0;
    int font_width = 0;
    int font_size = 24;
    int isHover = 0;
};

struct ImageWordInfo
{
    QString small_image_url;
    QString medium_image_url;
    QString big_image_url;
    QString word;
};

struct Screenshot
{
    QString screenshot_url;
    int sort = 0;
    int image_mode = 0;
};

struct BundleApp
{
    int appid = 0;
    int package_mode = 0;
    int sort = 0;
    QString name;
};

struct ScoreLevel
{
    int star = 0;
    int persons = 0;
};

struct AppDetail
{
    QString id;
    int appid = 0;
    QString package_name;
    QString package_version;
    QString app_package_url;
    qint64 file_size = 0;
    int category_id = 0;
    QString category_name;
    QString email;
    QString official_site;
    int devid = 0;
    QString dev_name;
    QString sha256;
    int package_mode = 0;
    int supportWayland = 0;
    int app_source_label = 0;
    QString update_date;
    qint64 down_count = 0;
    QList<Screenshot> screenshots;
    QList<BundleApp> bundle_apps;
    QString name;
    QString brief_info;
    QString desc_info;
    QString update_desc;
    QString icon_url;
    int totalScore = 0;
    int totalPerson = 0;
    QList<ScoreLevel> scoreLevel;
    int myScore = 0;
    QList<AppBriefInfo> related_recommend_apps;
    int is_forced_update = 0;
    QString uri;
    QStringList tag_names;
    QString channelPkgs;
    QMap<QString, _ChannelPkg> channelPkgMap;
};

struct NavTagItem
{
    int id = 0;
    QString name;
    QString uri;
    int is_default = 0;
};

struct NavTagGroup
{
    int id = 0;
    QString name;
    int is_show = 0;
    QList<NavTagItem> tagInfo;
};

struct CourseSingle
{
    QString id;
    int isDefault = 0;
    QString title;
    QString coverUrl;
    QString briefInfo;
    QString uri;
    QString playTotal;
    QString resourceUrl;
    QString duration;
    int likesTotal = 0;
    int cosType = 0;
    int isFree = 0;
    int isLiked = 0;
    int teacher_id = 0;
    int isCollected = 0;
};

struct CourseListItem
{
    QString courseTitle;
    QString hCoverUrl;
    QString vCoverUrl;
    QString briefInfo;
    QString playTotal;
    int cosType = 0;
    QString setDesc;
    QString uri;
};

struct CourseDetail
{
    QString id;
    QString courseTitle;
    QList<CourseSingle> courseIncludeSingles;
    QList<AppBriefInfo> suitableApps;
    QList<CourseListItem> recmdCourses;
    AppBriefInfo openApp;
    int cosType = 0;
    QString playTotal;
    int defaultSingleIdx = 0;
    int isCollected = 0;
};

struct SliderGroup
{
    Business_CardHeader header;
    QList<SliderItem> items;
};

struct AppGroup
{
    Business_CardHeader header;
    QList<AppBriefInfo> apps;
};

struct PagedAppGroup
{
    Business_CardHeader header;
    int current_page = 0;
    int has_next_page = 0;
    QList<AppBriefInfo> apps;
};

struct CategoryGroup
{
    Business_CardHeader header;
    QList<CategoryItem> categories;
};

struct TopicGroup
{
    Business_CardHeader header;
    TopicInfo topic;
};

struct TextGroup
{
    Business_CardHeader header;
    QString name;
    QString desc;
};

struct LabelGroup
{
    Business_CardHeader header;
    LabelInfo label;
};

struct ImageGroup
{
    Business_CardHeader header;
    ImageWordInfo imageWord; // card type 16
    AppDetail appDetail;     // card type 8
};

struct CourseListGroup
{
    Business_CardHeader header;
    QList<CourseListItem> courses;
};

struct CourseGroup
{
    Business_CardHeader header;
    int current_page = 0;
    int has_next_page = 0;
    int totalCount = 0;
    QList<CourseListItem> courses; // card type 25
    CourseDetail detail;           // card type 23
};

struct NavTagGroupList
{
    Business_CardHeader header;
    QList<NavTagGroup> groups;
};

// One card: its own header and one payload group per kind; a card fills
// only the group of its card_type.
struct Business_Card
{
    Business_CardHeader header;
    SliderGroup sliderA;          // 1
    SliderGroup sliderB;          // 2, 20
    SliderGroup sliderC;          // 3
    AppGroup apps5;               // 5
    AppGroup apps4;               // 4
    AppGroup apps6;               // 6
    CategoryGroup categories;     // 7
    AppGroup apps12;              // 12
    PagedAppGroup pagedApps10;    // 10
    TopicGroup topic;             // 13
    TextGroup text;               // 14
    LabelGroup label;             // 15
    PagedAppGroup pagedApps11;    // 11
    ImageGroup image;             // 16, 8
    AppGroup apps18;              // 18
    AppGroup apps19;              // 19
    CourseListGroup courseList21; // 21
    CourseListGroup courseList22; // 22
    CourseGroup course;           // 25, 23
    NavTagGroupList navTags;      // 24
    int current_results = 0;
};

using Business_Page = QList<Business_Card>;

} // namespace StoreService
