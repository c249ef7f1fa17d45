#include "apt_utils/removal_preview.h"

#include <QScopeGuard>
#include <QTemporaryFile>
#include <QTest>

namespace {

// One package of the listing, with the fields the preview reads.
QByteArray entry(const char *name, const char *state = "ii ", const char *depends = "",
                 const char *provides = "", const char *preDepends = "", const char *kept = "")
{
    return QByteArray(name) + "\t1.0\t" + state + "\t\toptional\tinstall\t" + kept + "\t\t" +
           provides + '\t' + depends + '\t' + preDepends + '\n';
}

} // namespace

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
        QTest::newRow("not installed") << entry("a", "rc ") << "a" << false;
        QTest::newRow("an unreadable line") << a + "x\tii \n"
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

    // A system set to remove what is left unneeded purges more than the
    // package named: the listing cannot vouch for that.
    void autoremovalIsTheSystemsChoice()
    {
        QTemporaryFile config;
        QVERIFY(config.open());
        qputenv("APT_CONFIG", config.fileName().toLocal8Bit());
        const auto unset = qScopeGuard([] { qunsetenv("APT_CONFIG"); });
        QVERIFY(!AppStore::RemovalPreview::purgeRemovesUnneeded());
        config.write("APT::Get::AutomaticRemove \"true\";\n");
        config.flush();
        QVERIFY(AppStore::RemovalPreview::purgeRemovesUnneeded());
    }
};

QTEST_GUILESS_MAIN(TestRemovalPreview)
#include "tst_removal_preview.moc"
