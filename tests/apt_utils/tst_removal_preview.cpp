#include "apt_utils/package_protection.h"
#include "apt_utils/removal_preview.h"
#include "dpkg_admin_dir.h"

#include <QTest>

namespace {

// One package of the listing as dpkg-query prints the preview's fields:
// each behind its mark, a value on several lines continued by blanks.
QByteArray entry(const char *name, const char *state = "ii ", const char *depends = "",
                 const char *provides = "", const char *preDepends = "", const char *kept = "no",
                 const char *important = "")
{
    const QList<QByteArray> values{name, "1.0",     state,    "no",    "optional", "install",
                                   kept, important, provides, depends, preDepends};
    QByteArray text;
    for (int i = 0; i < values.size(); ++i)
        text += char('A' + i) + values.at(i) + '\n';
    return text;
}

using Flag = AppStore::PackageProtection::Flag;

} // namespace

Q_DECLARE_METATYPE(Flag)

class TestRemovalPreview : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void takesOnlyItself_data()
    {
        QTest::addColumn<QByteArray>("listing");
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("alone");
        const QByteArray a = entry("a");
        QTest::newRow("one of the alternatives")
            << a + entry("x", "ii ", "b (>= 1) | a") + entry("b") << "a" << false;
        QTest::newRow("needed by nobody")
            << a + entry("x", "ii ", "b (>= 1), c:any") + entry("b") + entry("c") << "a" << true;
        QTest::newRow("a dependant") << a + entry("x", "ii ", "a (>= 1.0)") << "a" << false;
        QTest::newRow("for another architecture") << a + entry("x", "ii ", "a:any") << "a" << false;
        QTest::newRow("what it provides, pre-depended")
            << entry("a", "ii ", "", "v (= 1)") + entry("x", "ii ", "", "", "v") << "a" << false;
        QTest::newRow("a need met by what another provides")
            << a + entry("x", "ii ", "v") + entry("y", "ii ", "", "v") << "a" << true;
        QTest::newRow("a need met by nothing") << a + entry("x", "ii ", "gone") << "a" << false;
        QTest::newRow("a dependant left as configuration")
            << a + entry("x", "rc ", "a") << "a" << true;
        QTest::newRow("a package half set up") << a + entry("x", "iF ") << "a" << false;
        QTest::newRow("a package to reinstall") << a + entry("x", "iiR") << "a" << false;
        QTest::newRow("two architectures of it") << a + a << "a" << false;
        QTest::newRow("its installed version") << a << "a=1.0" << true;
        QTest::newRow("another version") << a << "a=2.0" << false;
        QTest::newRow("marked Protected") << entry("a", "ii ", "", "", "", "yes") << "a" << false;
        QTest::newRow("Important as apt reads it")
            << entry("a", "ii ", "", "", "", "no", " On") << "a" << false;
        QTest::newRow("Important apt cannot read")
            << entry("a", "ii ", "", "", "", "no", "yes\n more") << "a" << false;
        QTest::newRow("Important cleared")
            << entry("a", "ii ", "", "", "", "no", "0x0") << "a" << true;
        QTest::newRow("a value on several lines elsewhere")
            << entry("x", "ii ", "", "", "", "no", "yes\n\tAz\n Bq") + a << "a" << true;
        QTest::newRow("not installed") << entry("a", "rc ") << "a" << false;
        QTest::newRow("an unreadable record") << a + "Ax\nBii \n"
                                              << "a" << false;
    }

    // Anything the listing cannot vouch for is left to the simulation.
    void takesOnlyItself()
    {
        QFETCH(QByteArray, listing);
        QFETCH(QString, target);
        QFETCH(bool, alone);
        QCOMPARE(AppStore::RemovalPreview::fromListing(listing).takesOnlyItself(target), alone);
    }

    // A record that does not read protects its package alone.
    void unreadableRecordProtectsItsPackage()
    {
        const auto preview =
            AppStore::RemovalPreview::fromListing(entry("a") + "Ax\nC\n" + entry("b"));
        QVERIFY(preview.isComplete());
        QCOMPARE(preview.protectedReasons().keys(), QStringList{QStringLiteral("x")});
        QVERIFY(!AppStore::RemovalPreview::fromListing("junk\n" + entry("a")).isComplete());
    }

    // Read from dpkg-query itself: a value on several lines or with tabs
    // splits no record.
    void readsWhatDpkgPrints()
    {
        DpkgAdminDir database;
        QVERIFY(database.writeRecords(
            "Package: twk-a\nStatus: install ok installed\nVersion: 1.0\nArchitecture: all\n"
            "Maintainer: T <t@localhost>\n\n"
            "Package: twk-b\nStatus: install ok installed\nVersion: 1.0\nArchitecture: all\n"
            "Maintainer: T <t@localhost>\nPriority: imp\tortant\n more\nImportant: Yes\n"
            "Depends: twk-c\n\n"
            "Package: twk-c\nStatus: install ok installed\nVersion: 1.0\nArchitecture: all\n"
            "Maintainer: T <t@localhost>\nPriority: Important\nImportant: no\n\tyes\n\n"));
        database.activate();
        const auto preview = AppStore::RemovalPreview::read();
        QVERIFY(preview.isComplete());
        QVERIFY(preview.takesOnlyItself(QStringLiteral("twk-a")));
        QVERIFY(!preview.takesOnlyItself(QStringLiteral("twk-b")));
        QVERIFY(!preview.takesOnlyItself(QStringLiteral("twk-c")));
        QCOMPARE(preview.protectedReasons().keys(), QStringList{QStringLiteral("twk-c")});
    }

    void aptFlag_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<Flag>("flag");
        QTest::newRow("words, any case") << "Enable" << Flag::Set;
        QTest::newRow("numbers as C reads them") << "0X01" << Flag::Set;
        QTest::newRow("negative words") << " WITHOUT" << Flag::Cleared;
        QTest::newRow("zero") << "-00" << Flag::Cleared;
        QTest::newRow("empty") << "" << Flag::Cleared;
        QTest::newRow("other numbers") << "010" << Flag::Unknown;
        QTest::newRow("a number cut short") << "0x" << Flag::Unknown;
        QTest::newRow("several lines") << "yes\n more" << Flag::Unknown;
    }

    // As apt 2.6 read each value in an Important field of dpkg's status.
    void aptFlag()
    {
        QFETCH(QString, value);
        QFETCH(Flag, flag);
        QCOMPARE(AppStore::PackageProtection::aptFlag(value), flag);
    }
};

QTEST_GUILESS_MAIN(TestRemovalPreview)
#include "tst_removal_preview.moc"
