#pragma once

#include "business_page.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>

// Reads the store's tab-detail replies into the tab-page model.
class TabPageReader
{
public:
    TabPageReader() = delete;

    // True when the body is empty (the page untouched) or was accepted; false
    // when it is not a JSON object or its envelope reports a failure. Cards
    // are appended to what the page holds.
    static bool parseNavInfoTabPageReplyData(const QByteArray &reply,
                                             StoreService::Business_Page &page);

private:
    static void parseBusinessPageCards(const QJsonObject &object,
                                       StoreService::Business_Card &card);
    static StoreService::NavTagItem parseNavTagItem(const QJsonValue &value);
    static StoreService::NavTagGroup parseNavTagGroup(const QJsonValue &value);
    static StoreService::CourseSingle parseCourseSingle(const QJsonValue &value);
    static StoreService::CourseListItem parseCourseListItem(const QJsonValue &value);
    static StoreService::CourseDetail parseCourseDetail(const QJsonValue &value);
    static QList<StoreService::CourseListItem> parseCourseList(const QJsonObject &object);
    static StoreService::AppDetail parseAppDetail(const QJsonObject &object);
    static void parsePayload(const QJsonObject &object, StoreService::Business_Card &card);
};
