#include "service/tab_page_reader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace StoreService;

namespace {

QByteArray page(const QJsonArray &cards, int status = 200)
{
    return QJsonDocument(QJsonObject{{"status", status}, {"datas", cards}}).toJson();
}

QJsonObject card(int type, const QJsonValue &datas, const QJsonObject &extra = {})
{
    QJsonObject object = extra;
    object.insert("card_def", QJsonObject{{"card_type", type}, {"name", "n"}});
    if (!datas.isUndefined())
        object.insert("datas", datas);
    return object;
}

// The payload groups a card filled, by their kind of content.
QStringList filled(const Business_Card &c)
{
    QStringList groups;
    const auto add = [&](bool isFilled, const char *name) {
        if (isFilled)
            groups.append(QLatin1String(name));
    };
    add(!c.sliderA.items.isEmpty(), "sliderA");
    add(!c.sliderB.items.isEmpty(), "sliderB");
    add(!c.sliderC.items.isEmpty(), "sliderC");
    add(!c.apps4.apps.isEmpty(), "apps4");
    add(!c.apps5.apps.isEmpty(), "apps5");
    add(!c.apps6.apps.isEmpty(), "apps6");
    add(!c.apps12.apps.isEmpty(), "apps12");
    add(!c.apps18.apps.isEmpty(), "apps18");
    add(!c.apps19.apps.isEmpty(), "apps19");
    add(!c.pagedApps10.apps.isEmpty(), "paged10");
    add(!c.pagedApps11.apps.isEmpty(), "paged11");
    add(!c.categories.categories.isEmpty(), "categories");
    add(!c.image.appDetail.package_name.isEmpty(), "appDetail");
    add(!c.topic.topic.name.isEmpty(), "topic");
    add(!c.text.name.isEmpty(), "text");
    add(!c.label.label.name.isEmpty(), "label");
    add(!c.image.imageWord.word.isEmpty(), "imageWord");
    add(!c.courseList21.courses.isEmpty(), "courses21");
    add(!c.courseList22.courses.isEmpty(), "courses22");
    add(!c.course.detail.courseTitle.isEmpty(), "courseDetail");
    add(!c.navTags.groups.isEmpty(), "navTags");
    add(!c.course.courses.isEmpty(), "courses25");
    return groups;
}

} // namespace

class TestTabPageReader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Each card type fills the group of its kind and no other.
    void cardTypes_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("group");
        const QMap<int, QString> groups{
            {1, "sliderA"},       {2, "sliderB"},    {20, "sliderB"},   {3, "sliderC"},
            {4, "apps4"},         {5, "apps5"},      {6, "apps6"},      {12, "apps12"},
            {18, "apps18"},       {19, "apps19"},    {10, "paged10"},   {11, "paged11"},
            {7, "categories"},    {8, "appDetail"},  {13, "topic"},     {14, "text"},
            {15, "label"},        {16, "imageWord"}, {21, "courses21"}, {22, "courses22"},
            {23, "courseDetail"}, {24, "navTags"},   {25, "courses25"}};
        for (int type = -1; type <= 26; ++type)
            QTest::addRow("type %d", type) << type << groups.value(type);
    }

    void cardTypes()
    {
        QFETCH(int, type);
        QFETCH(QString, group);
        const QSet<int> arrayKinds{1, 2, 3, 4, 5, 6, 7, 10, 11, 12, 18, 19, 20, 24};
        const QJsonValue datas =
            arrayKinds.contains(type)
                ? QJsonValue(QJsonArray{QJsonObject{
                      {"id", 1}, {"main_title", "t"}, {"package_name", "p"}, {"name", "g"}}})
                : QJsonValue(QJsonObject{{"name", "x"},
                                         {"word", "w"},
                                         {"package_name", "p"},
                                         {"courseTitle", "c"},
                                         {"datas", QJsonArray{QJsonObject{{"uri", "u"}}}}});
        Business_Page result;
        QVERIFY(TabPageReader::parseNavInfoTabPageReplyData(page({card(type, datas)}), result));
        QCOMPARE(result.size(), 1);
        QCOMPARE(filled(result.first()), group.isEmpty() ? QStringList() : QStringList{group});
        // Without "datas" only the header is read.
        Business_Page bare;
        QVERIFY(TabPageReader::parseNavInfoTabPageReplyData(
            page({card(type, QJsonValue(QJsonValue::Undefined))}), bare));
        QVERIFY(filled(bare.first()).isEmpty());
        QCOMPARE(bare.first().apps4.header.name, QString());
    }

    // What a whole reply gives, and what it leaves.
    void replies()
    {
        Business_Page result;
        QVERIFY(TabPageReader::parseNavInfoTabPageReplyData(QByteArray(), result));
        QVERIFY(!TabPageReader::parseNavInfoTabPageReplyData("[]", result));
        QVERIFY(!TabPageReader::parseNavInfoTabPageReplyData(page({card(4, QJsonArray())}, 500),
                                                             result));
        QVERIFY(TabPageReader::parseNavInfoTabPageReplyData(R"({"status":200})", result));
        QVERIFY(
            TabPageReader::parseNavInfoTabPageReplyData(R"({"status":200,"datas":{}})", result));
        QVERIFY(result.isEmpty());

        const QJsonObject paged{{"card_def", QJsonObject{{"card_type", 10}, {"max_rows", -5}}},
                                {"datas", QJsonArray{QJsonObject{{"package_name", "a"}}}}};
        const QJsonObject rows{{"card_def", QJsonObject{{"card_type", 4}, {"max_rows", 7}}},
                               {"current_results", 9},
                               {"datas", QJsonArray{QJsonObject{{"package_name", "b"}}}}};
        QVERIFY(TabPageReader::parseNavInfoTabPageReplyData(page({paged}), result));
        QVERIFY(TabPageReader::parseNavInfoTabPageReplyData(page({rows}), result));
        QCOMPARE(result.size(), 2); // the second reply appends
        QCOMPARE(result.at(0).header.max_rows, 3);
        QCOMPARE(result.at(0).pagedApps10.current_page, 1);
        QCOMPARE(result.at(0).pagedApps10.header.card_type, 10);
        QCOMPARE(result.at(1).header.max_rows, 7);
        QCOMPARE(result.at(1).current_results, 9);
        QCOMPARE(result.at(1).apps4.apps.first().is_forced_update, 1);
    }

    // Play counts become size classes; a detail page reads its nested lists.
    void details()
    {
        const QJsonObject course{
            {"card_def", QJsonObject{{"card_type", 25}}},
            {"datas", QJsonObject{{"datas", QJsonArray{QJsonObject{{"playTotal", 9999}},
                                                       QJsonObject{{"playTotal", 10000}},
                                                       QJsonObject{{"playTotal", "12345"}},
                                                       QJsonObject{{"playTotal", 100000}},
                                                       QJsonObject{}}}}}};
        const QJsonObject detail{
            {"card_def", QJsonObject{{"card_type", 8}}},
            {"datas",
             QJsonObject{{"package_name", "p"},
                         {"file_size", "123"},
                         {"tag_names", "not a list"},
                         {"channelPkgs", QJsonArray{QJsonObject{{"pkgChannel", "c"}}}},
                         {"score_info",
                          QJsonObject{{"scoreLevel", QJsonArray{QJsonObject{{"star", 5}}}}}}}}};
        Business_Page result;
        QVERIFY(TabPageReader::parseNavInfoTabPageReplyData(page({course, detail}), result));
        QStringList counts;
        for (const CourseListItem &item : result.at(0).course.courses)
            counts.append(item.playTotal);
        const QString suffix = QStringLiteral("次播放");
        QCOMPARE(counts, QStringList({"<10k" + suffix, "<100k" + suffix, "<100k" + suffix,
                                      "100k+" + suffix, QString()}));
        const AppDetail &app = result.at(1).image.appDetail;
        QCOMPARE(app.file_size, 123);
        QVERIFY(app.tag_names.isEmpty());
        QCOMPARE(app.channelPkgMap.keys(), QStringList{"c"});
        QCOMPARE(app.scoreLevel.first().star, 5);
    }

    // Every cut of a rich reply is read without harm.
    void truncatedReplies()
    {
        QJsonArray cards;
        for (int type = 0; type <= 25; ++type)
            cards.append(card(type, QJsonArray{QJsonObject{{"name", "n"}, {"playTotal", 5}}}));
        cards.append(card(
            23, QJsonObject{{"courseIncludeSingles", QJsonArray{QJsonObject{{"playTotal", "7"}}}},
                            {"openApp", QJsonObject{{"package_name", "o"}}}}));
        const QByteArray body = page(cards);
        for (int length = 0; length <= body.size(); length += 3) {
            Business_Page result;
            TabPageReader::parseNavInfoTabPageReplyData(body.left(length), result);
        }
    }
};

QTEST_GUILESS_MAIN(TestTabPageReader)
#include "tst_tab_page_reader.moc"
