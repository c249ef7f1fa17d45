#include "appstoredb_test_file.h"

#include "database/appstoredb.h"
#include "database/OnTheShelvesAppTableManager.h"

#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>

using StoreService::AppBriefInfo;

namespace {

AppBriefInfo record(const QString &id, const QString &packageName, const QString &version)
{
    AppBriefInfo info;
    info.id = id;
    info.package_name = packageName;
    info.package_version = version;
    info.name = QStringLiteral("Name of ") + packageName;
    return info;
}

// name|version|user_show|kid_show|packageid of every row, by name and id.
const QString kRows = QStringLiteral("SELECT package_name, package_version, user_show, kid_show, "
                                     "packageid FROM LocalOnTheShelvesAPP "
                                     "ORDER BY package_name, packageid");

QStringList namesOf(const QStringList &jsons)
{
    QStringList names;
    for (const QString &json : jsons) {
        names.append(appBriefInfoFromJsonString(json).package_name);
    }
    names.sort();
    return names;
}

} // namespace

class TestOnTheShelvesManager : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<AppstoreDbTestFile> m_file;
    OnTheShelvesAPPTableManager *m_manager = nullptr;

    QStringList rows() { return m_file->rows(kRows); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        AppstoreDb::setDatabasePath(m_dir.filePath(QStringLiteral("appstore.db")));
        AppstoreDb::instance();
        m_file = std::make_unique<AppstoreDbTestFile>(AppstoreDb::databasePath());
        m_manager = OnTheShelvesAPPTableManager::instance();
    }

    void init() { QVERIFY(m_file->exec(QStringLiteral("DELETE FROM LocalOnTheShelvesAPP"))); }

    void reconcilesWithTheServerList()
    {
        QVERIFY(m_manager->insertTheShelvesAPPTableItemDatas(
            {record(QStringLiteral("a"), QStringLiteral("app-a"), QStringLiteral("1")),
             record(QStringLiteral("b"), QStringLiteral("app-b"), QStringLiteral("1"))},
            QStringLiteral("2")));

        // Known names are rewritten in place (the child flag stays), a name
        // that differs only in case is new, and unlisted rows lose their version.
        const QStringList jsons = m_manager->checkUpdateLocalOnTheShelvesTable(
            {record(QStringLiteral("a"), QStringLiteral("app-a"), QStringLiteral("2")),
             record(QStringLiteral("B"), QStringLiteral("App-B"), QStringLiteral("1")),
             record(QStringLiteral("c"), QStringLiteral("app-c"), QStringLiteral("1"))},
            QStringLiteral("-1"), true);
        const QStringList after = {
            QStringLiteral("App-B|1|1|-1|B"),
            QStringLiteral("app-a|2|1|1|a"),
            QStringLiteral("app-b||-1|1|b"),
            QStringLiteral("app-c|1|1|-1|c"),
        };
        QCOMPARE(rows(), after);
        QCOMPARE(jsons, m_manager->getTheShelvesAPPTableItemJsons());
        QCOMPARE(namesOf(jsons), QStringList({QStringLiteral("App-B"), QStringLiteral("app-a"),
                                              QStringLiteral("app-b"), QStringLiteral("app-c")}));

        QMap<QString, QString> versions{{QStringLiteral("kept"), QStringLiteral("9")}};
        QVERIFY(m_manager->getPackageVersionMap(versions));
        QCOMPARE(versions.size(), 5);
        QCOMPARE(versions.value(QStringLiteral("app-a")), QStringLiteral("2"));
        QCOMPARE(versions.value(QStringLiteral("kept")), QStringLiteral("9"));

        // Nothing to do: nothing written, nothing returned.
        QVERIFY(
            m_manager->checkUpdateLocalOnTheShelvesTable({}, QStringLiteral("2"), false).isEmpty());
        QCOMPARE(rows(), after);

        // An empty server list that clears everything still returns the table.
        QCOMPARE(m_manager->checkUpdateLocalOnTheShelvesTable({}, QStringLiteral("2"), true).size(),
                 4);
        QCOMPARE(m_file->value(QStringLiteral("SELECT group_concat(package_version, '') FROM "
                                              "LocalOnTheShelvesAPP")),
                 QString());

        QVERIFY(m_manager->deleteTheShelvesAPPTableItems(
            {QStringLiteral("app-a"), QStringLiteral("App-B"), QStringLiteral("app-c")}));
        QCOMPARE(rows(), QStringList{QStringLiteral("app-b||-1|1|b")});
    }

    void failedInsertsLoseNothingAndReportFailure()
    {
        QVERIFY(m_manager->insertTheShelvesAPPTableItemDatas(
            {record(QStringLiteral("a1"), QStringLiteral("app-a"), QStringLiteral("1")),
             record(QStringLiteral("b1"), QStringLiteral("app-b"), QStringLiteral("1"))},
            QString()));

        // Two records share an id: the batch cannot go in as a whole. Each
        // record that can go in alone does; the one that cannot keeps its row.
        QVERIFY(!m_manager->insertTheShelvesAPPTableItemDatas(
            {record(QStringLiteral("same"), QStringLiteral("app-a"), QStringLiteral("2")),
             record(QStringLiteral("same"), QStringLiteral("app-b"), QStringLiteral("2")),
             record(QStringLiteral("d"), QStringLiteral("app-d"), QStringLiteral("2"))},
            QString()));
        QCOMPARE(rows(), QStringList({QStringLiteral("app-a|2|1|-1|same"),
                                      QStringLiteral("app-b|1|1|-1|b1"),
                                      QStringLiteral("app-d|2|1|-1|d")}));

        // A known package whose rewrite fails: nothing is returned, its row stays.
        QVERIFY(
            m_manager
                ->checkUpdateLocalOnTheShelvesTable(
                    {record(QStringLiteral("same"), QStringLiteral("app-b"), QStringLiteral("3"))},
                    QString(), false)
                .isEmpty());
        QCOMPARE(rows().at(1), QStringLiteral("app-b|1|1|-1|b1"));
    }

    void operationsDoNotInterleave()
    {
        // Each reconciliation returns the table as its own change left it,
        // while another thread keeps deleting the same packages.
        const QList<AppBriefInfo> server = {
            record(QStringLiteral("p1"), QStringLiteral("pkg-1"), QStringLiteral("1")),
            record(QStringLiteral("p2"), QStringLiteral("pkg-2"), QStringLiteral("1")),
            record(QStringLiteral("p3"), QStringLiteral("pkg-3"), QStringLiteral("1"))};
        const QStringList names = {QStringLiteral("pkg-1"), QStringLiteral("pkg-2"),
                                   QStringLiteral("pkg-3")};
        std::atomic<int> incomplete{0};
        std::atomic<bool> done{false};
        std::unique_ptr<QThread> reconciler(QThread::create([&]() {
            for (int i = 0; i < 60; ++i) {
                if (namesOf(m_manager->checkUpdateLocalOnTheShelvesTable(server, QString(),
                                                                         false)) != names) {
                    ++incomplete;
                }
            }
            done = true;
        }));
        std::unique_ptr<QThread> deleter(QThread::create([&]() {
            while (!done) {
                m_manager->deleteTheShelvesAPPTableItems(names);
            }
        }));
        reconciler->start();
        deleter->start();
        QVERIFY(reconciler->wait(120000));
        QVERIFY(deleter->wait(10000));
        QCOMPARE(incomplete.load(), 0);
    }
};

QTEST_GUILESS_MAIN(TestOnTheShelvesManager)
#include "tst_on_the_shelves_manager.moc"
