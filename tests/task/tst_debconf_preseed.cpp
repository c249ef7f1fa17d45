#include "task/debconf_preseed.h"
#include "test_env.h"
#include "utils/process_runner.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

using AppStore::DebconfPreseed;

namespace {

// A debconf database of its own in folder, chosen for the tools run from now
// on; the path of its answers file.
QString useOwnDatabase(const QString &folder)
{
    const QString config = folder + QStringLiteral("/config.dat");
    const QString text = QStringLiteral("Config: configdb\nTemplates: templatedb\n\n"
                                        "Name: configdb\nDriver: File\nFilename: %1\n\n"
                                        "Name: templatedb\nDriver: File\nFilename: %2\n")
                             .arg(config, folder + QStringLiteral("/templates.dat"));
    TestEnv::writeFile(folder + QStringLiteral("/debconf.conf"), text.toUtf8());
    qputenv("DEBCONF_SYSTEMRC", (folder + QStringLiteral("/debconf.conf")).toLocal8Bit());
    return config;
}

bool setSelections(const QByteArray &lines)
{
    AppStore::ProcessSpec spec;
    spec.program = QStringLiteral("debconf-set-selections");
    spec.standardInput = lines;
    return AppStore::ProcessRunner::run(spec).succeeded();
}

} // namespace

class TestDebconfPreseed : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { qunsetenv("DEBCONF_SYSTEMRC"); }

    // One run with both answers leaves the database that one run per answer
    // left.
    void oneRunEqualsOneRunPerAnswer()
    {
        QTemporaryDir separate;
        useOwnDatabase(separate.path());
        for (const QByteArray &line : DebconfPreseed::selections().split('\n')) {
            if (!line.isEmpty())
                QVERIFY(setSelections(line + '\n'));
        }

        QTemporaryDir together;
        DebconfPreseed preseed(useOwnDatabase(together.path()));
        preseed.apply();

        for (const char *file : {"/config.dat", "/templates.dat"}) {
            const QByteArray expected = TestEnv::readFile(separate.path() + QLatin1String(file));
            QVERIFY(expected.contains("libraries/restart-without-asking"));
            QCOMPARE(TestEnv::readFile(together.path() + QLatin1String(file)), expected);
        }
    }

    // A retry gives the answers again only when debconf's database was
    // written in between.
    void retryRunsOnlyAfterTheDatabaseChanged()
    {
        QTemporaryDir folder;
        const QString config = useOwnDatabase(folder.path());
        const QString previous = config + QStringLiteral("-old");
        DebconfPreseed preseed(config);
        preseed.apply();
        const QByteArray answered = TestEnv::readFile(config);
        QVERIFY(!QFile::exists(previous));

        preseed.apply();
        QVERIFY2(!QFile::exists(previous), "saved again although nothing changed");

        QVERIFY(setSelections("libc6 libraries/restart-without-asking boolean false\n"));
        QVERIFY(TestEnv::readFile(config) != answered);
        preseed.apply();
        QCOMPARE(TestEnv::readFile(config), answered);
    }

    // The answers given ahead of an install on another thread: whoever
    // comes second waits for that run and finds the answers given.
    void threadsSharingOnePreseedRunTheToolOnce()
    {
        QTemporaryDir folder;
        const QString config = useOwnDatabase(folder.path());
        DebconfPreseed preseed(config);
        QThreadPool pool;
        pool.setMaxThreadCount(4);
        for (int i = 0; i < 4; ++i)
            pool.start([&preseed] { preseed.apply(); });
        QVERIFY(pool.waitForDone(60000));
        QVERIFY(TestEnv::readFile(config).contains("libraries/restart-without-asking"));
        QVERIFY2(!QFile::exists(config + QStringLiteral("-old")), "the answers went in twice");
    }
};

QTEST_GUILESS_MAIN(TestDebconfPreseed)
#include "tst_debconf_preseed.moc"
