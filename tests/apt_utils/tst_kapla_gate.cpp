#include "dpkg_admin_dir.h"
#include "test_env.h"
#include "utils/utils.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestKaplaGate : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // The gate asks the kapla tool first; the stand-in knows nothing here.
        TestEnv::useStandins();
        qunsetenv("TWK_KAPLA_DATA");
    }

    void closedUntilRefreshed()
    {
        QVERIFY(!AppStore::Utils::isKaplaSupported(false));
        QCOMPARE(AppStore::Utils::supportedPackageTypes(), QStringLiteral("1"));
    }

    void followsRuntimeVersion_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("supported");
        const QString installed = QStringLiteral("install ok installed");
        QTest::newRow("exactly 1.5") << "1.5" << installed << true;
        QTest::newRow("epoch wins") << "1:1.0" << installed << true;
        QTest::newRow("older") << "1.4.9" << installed << false;
        QTest::newRow("pre-release") << "1.5~beta" << installed << false;
        QTest::newRow("not installed") << QString() << installed << false;
        QTest::newRow("removed, configuration left")
            << "2.0" << QStringLiteral("deinstall ok config-files") << false;
    }

    void followsRuntimeVersion()
    {
        QFETCH(QString, version);
        QFETCH(QString, status);
        QFETCH(bool, supported);
        DpkgAdminDir database;
        QVERIFY(database.write(version.isEmpty() ? QString() : QStringLiteral("kapla-bin"), version,
                               status));
        database.activate();

        QCOMPARE(AppStore::Utils::isKaplaSupported(true), supported);
        QCOMPARE(AppStore::Utils::supportedPackageTypes(),
                 supported ? QStringLiteral("10011") : QStringLiteral("1"));
        // The cached answer outlives the database it came from.
        qunsetenv("DPKG_ADMINDIR");
        QCOMPARE(AppStore::Utils::isKaplaSupported(false), supported);
    }

    // The start-up refresh runs on a pool thread; whoever reads meanwhile
    // gets its answer, not the false of a gate not yet refreshed.
    void readersWaitForTheRefreshAside()
    {
        QVERIFY(!AppStore::Utils::isKaplaSupported(true));
        DpkgAdminDir database;
        QVERIFY(database.write(QStringLiteral("kapla-bin"), QStringLiteral("2.0"),
                               QStringLiteral("install ok installed")));
        database.activate();

        AppStore::KaplaGate::refreshAside();
        QCOMPARE(AppStore::Utils::supportedPackageTypes(), QStringLiteral("10011"));
        QVERIFY(AppStore::Utils::isKaplaSupported(false));
        qunsetenv("DPKG_ADMINDIR");
    }

    void parsesApplicationList()
    {
        kapla::package::AppMetaInfoList items;
        QVERIFY(AppStore::Utils::parseKaplaPkgInfoList(QString(), items));
        QVERIFY(items.isEmpty());
        QVERIFY(
            !AppStore::Utils::parseKaplaPkgInfoList(QStringLiteral("{\"appId\":\"a\"}"), items));
        QVERIFY(!AppStore::Utils::parseKaplaPkgInfoList(QStringLiteral("[{"), items));
        QVERIFY(items.isEmpty());

        QVERIFY(AppStore::Utils::parseKaplaPkgInfoList(
            QStringLiteral("[{\"appId\":\"org.example.A\",\"version\":\"1.2\",\"kind\":\"app\","
                           "\"runtime\":\"base/23\",\"unknown\":1},{\"appId\":\"org.example.B\"}]"),
            items));
        QCOMPARE(items.size(), 2);
        QCOMPARE(items.at(0)->appId, QStringLiteral("org.example.A"));
        QCOMPARE(items.at(0)->version, QStringLiteral("1.2"));
        QCOMPARE(items.at(0)->runtime, QStringLiteral("base/23"));
        QCOMPARE(items.at(1)->appId, QStringLiteral("org.example.B"));
        QVERIFY(items.at(1)->version.isEmpty());
        QVERIFY(!items.at(0)->parent());
    }

    void readsSizes()
    {
        QTemporaryDir dir;
        QVERIFY(TestEnv::writeFile(dir.filePath(QStringLiteral("info.json")), "{\"size\": 12345}"));
        QVERIFY(TestEnv::writeFile(dir.filePath(QStringLiteral("nosize.json")), "{\"id\": \"a\"}"));
        QVERIFY(TestEnv::writeFile(dir.filePath(QStringLiteral("broken.json")), "{"));
        QCOMPARE(AppStore::Utils::parseKaplaPkgSizeFromInfoJson(dir.filePath("info.json")), 12345);
        QCOMPARE(AppStore::Utils::parseKaplaPkgSizeFromInfoJson(dir.filePath("nosize.json")), 0);
        QCOMPARE(AppStore::Utils::parseKaplaPkgSizeFromInfoJson(dir.filePath("broken.json")), 0);
        QCOMPARE(AppStore::Utils::parseKaplaPkgSizeFromInfoJson(dir.filePath("missing.json")), 0);

        // A tree with a nested folder, a hidden file and links to a large
        // folder and to a file: the links count with their own size.
        QTemporaryDir large;
        const QString big = large.filePath(QStringLiteral("big"));
        QVERIFY(TestEnv::writeFile(big, QByteArray(100000, 'x')));
        QTemporaryDir tree;
        QVERIFY(QDir(tree.path()).mkpath(QStringLiteral("sub")));
        for (const auto &[name, size] : {std::pair{"a", 10}, {"sub/b", 20}, {"sub/.c", 30}})
            QVERIFY(TestEnv::writeFile(tree.filePath(QLatin1String(name)), QByteArray(size, 'y')));
        QVERIFY(QFile::link(large.path(), tree.filePath(QStringLiteral("dirlink"))));
        QVERIFY(QFile::link(big, tree.filePath(QStringLiteral("sub/filelink"))));
        const qint64 links = large.path().toLocal8Bit().size() + big.toLocal8Bit().size();
        QCOMPARE(AppStore::Utils::directoryTreeSize(tree.path()), 60 + links);
        QCOMPARE(AppStore::Utils::directoryTreeSize(tree.filePath(QStringLiteral("none"))), 0);
    }
};

QTEST_GUILESS_MAIN(TestKaplaGate)
#include "tst_kapla_gate.moc"
