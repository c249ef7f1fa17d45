#include "apt_utils/aptcache.h"
#include "dpkg_admin_dir.h"
#include "test_env.h"
#include "utils/utils.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestPackageNamePatterns : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void escapesRegexChars_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("escaped");

        QTest::newRow("plain") << "twk-test-hello"
                               << "twk-test-hello";
        QTest::newRow("plus signs") << "g++"
                                    << R"(g\+\+)";
        QTest::newRow("dot") << "libqt6core6.1"
                             << R"(libqt6core6\.1)";
        QTest::newRow("all of them") << ".?+*|[^$"
                                     << R"(\.\?\+\*\|\[\^\$)";
        QTest::newRow("left alone") << R"(\(){}])"
                                    << R"(\(){}])";
        QTest::newRow("twice") << R"(a\+b)"
                               << R"(a\\+b)";
    }

    void escapesRegexChars()
    {
        QFETCH(QString, text);
        QFETCH(QString, escaped);
        AptCache::escapeRegexChars(text);
        QCOMPARE(text, escaped);
    }

    void listsKaplaPackages()
    {
        TestEnv::useStandins();
        DpkgAdminDir runtime;
        QVERIFY(runtime.write(QStringLiteral("kapla-bin"), QStringLiteral("1.5")));
        runtime.activate();
        QVERIFY(AppStore::Utils::isKaplaSupported(true));

        QStringList records{QStringLiteral("kept")};
        QTemporaryDir dir;
        QFile data(dir.filePath(QStringLiteral("kapla.json")));
        QVERIFY(data.open(QIODevice::WriteOnly));
        data.write(R"({"apps": [{"id": "org.example.Bare", "version": "1.0", "kind": "app",
                                 "size": 4096, "arch": ["x86_64"], "content": []}]})");
        data.close();
        qputenv("TWK_KAPLA_DATA", data.fileName().toLocal8Bit());
        QVERIFY(AptCache::getLocalKaplaPkgStrings(records));
        QCOMPARE(records, QStringList({QStringLiteral("kept"),
                                       QStringLiteral("{org.example.Bare 1.0 4 []}")}));
    }
};

QTEST_GUILESS_MAIN(TestPackageNamePatterns)
#include "tst_package_name_patterns.moc"
