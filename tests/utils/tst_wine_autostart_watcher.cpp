#include "appstoredb_test_file.h"
#include "test_env.h"

#include "database/appstoredb.h"
#include "task/task_manager.h"
#include "utils/wine_autostart_watcher.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <sys/stat.h>

namespace {

ino_t inodeOf(const QString &path)
{
    struct stat info = {};
    return stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

} // namespace

class TestWineAutoStartWatcher : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_tools;
    std::unique_ptr<AppstoreDbTestFile> m_file;
    WineAutoStartWatcher *m_watcher = nullptr;

    QString autostart() const { return m_tools + QStringLiteral("autostart"); }
    QString allFile() const { return m_tools + QStringLiteral("autostart.all"); }

    // The files as given: content, or absent for a null text.
    bool prepare(const QByteArray &autostartText, bool all)
    {
        // Rewritten in place, as an editor would, or removed.
        QFile::remove(allFile());
        if (autostartText.isNull())
            QFile::remove(autostart());
        else if (!TestEnv::writeFile(autostart(), autostartText))
            return false;
        if (all && !TestEnv::writeFile(allFile(), ""))
            return false;
        // The watcher's answers to these edits are not the test's.
        QTest::qWait(300);
        return true;
    }

    // The list the watcher reports after the action, once it is the expected
    // one or five seconds passed; one action is told once.
    QStringList reportAfter(const std::function<void()> &action, const QStringList &expected)
    {
        QSignalSpy spy(m_watcher, &WineAutoStartWatcher::sigWineAutoStartPkgsChanged);
        action();
        const auto last = [&] {
            return spy.isEmpty() ? QStringList{QStringLiteral("<no signal>")}
                                 : spy.last().first().toStringList();
        };
        if (!QTest::qWaitFor([&] { return last() == expected; }, 5000))
            qWarning() << "still waiting for" << expected;
        QTest::qWait(300); // for the file events that follow
        return spy.size() > 1 ? QStringList{QStringLiteral("<%1 signals>").arg(spy.size())}
                              : last();
    }

private Q_SLOTS:
    void initTestCase()
    {
        // The busy counter belongs to the main thread, as in the daemon.
        TaskManager::instance();
        QVERIFY(m_dir.isValid());
        m_tools = m_dir.filePath(QStringLiteral("tools/"));
        QVERIFY(QDir().mkpath(m_tools));
        AppstoreDb::setDatabasePath(m_dir.filePath(QStringLiteral("appstore.db")));
        AppstoreDb::instance();
        m_file = std::make_unique<AppstoreDbTestFile>(AppstoreDb::databasePath());
        // Two wine applications in database order, and a Debian one.
        for (const auto &[name, mode] :
             {std::pair{"wine-b", "1"}, std::pair{"deb-c", "0"}, std::pair{"wine-a", "1"}})
            QVERIFY(m_file->exec(QStringLiteral("INSERT INTO LocalOnTheShelvesAPP "
                                                "(package_name, package_mode) VALUES (?, ?)"),
                                 {QString::fromLatin1(name), QString::fromLatin1(mode)}));
        WineAutoStartWatcher::setToolsDir(m_tools);
        m_watcher = WineAutoStartWatcher::instance();
    }

    void cleanupTestCase() { m_watcher->stop(); }

    // Only installed wine applications are reported, each once, trimmed, in
    // file order; the all-file names them all in database order.
    void reportsInstalledWineApplications_data()
    {
        QTest::addColumn<QByteArray>("autostartText");
        QTest::addColumn<bool>("all");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("all-file") << QByteArray("wine-a") << true
                                  << QStringList{"wine-b", "wine-a"};
        QTest::newRow("messy file") << QByteArray("  wine-a \n\nwine-a\ndeb-c\nother\nwine-b\n")
                                    << false << QStringList{"wine-a", "wine-b"};
        QTest::newRow("no files") << QByteArray() << false << QStringList{};
    }
    void reportsInstalledWineApplications()
    {
        QFETCH(QByteArray, autostartText);
        QFETCH(bool, all);
        QFETCH(QStringList, expected);
        QVERIFY(prepare(autostartText, all));
        QCOMPARE(reportAfter([this] { m_watcher->getAutoStartPkgs(); }, expected), expected);
    }

    // A change is written whole, only for an installed wine application; the
    // all-state is carried into the file before the all-file goes, and the
    // signal follows every request.
    void changesTheAutostartFile_data()
    {
        QTest::addColumn<QByteArray>("autostartText");
        QTest::addColumn<bool>("all");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("operate");
        QTest::addColumn<QByteArray>("expectedText");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("add") << QByteArray("wine-a\n") << false << "wine-b" << true
                             << QByteArray("wine-a\nwine-b") << QStringList{"wine-a", "wine-b"};
        QTest::newRow("add listed") << QByteArray("wine-a\n") << false << "wine-a" << true
                                    << QByteArray("wine-a\n") << QStringList{"wine-a"};
        QTest::newRow("remove keeps other lines")
            << QByteArray("other\nwine-a") << false << "wine-a" << false << QByteArray("other")
            << QStringList{};
        QTest::newRow("remove in all mode") << QByteArray() << true << "wine-a" << false
                                            << QByteArray("wine-b") << QStringList{"wine-b"};
        QTest::newRow("unchanged in all mode")
            << QByteArray("wine-a") << true << "wine-a" << true << QByteArray("wine-a\nwine-b")
            << QStringList{"wine-a", "wine-b"};
        QTest::newRow("not a wine application") << QByteArray("wine-a") << false << "deb-c" << true
                                                << QByteArray("wine-a") << QStringList{"wine-a"};
        QTest::newRow("line injection") << QByteArray("wine-a") << false << "wine-b\ndeb-c" << true
                                        << QByteArray("wine-a") << QStringList{"wine-a"};
    }
    void changesTheAutostartFile()
    {
        QFETCH(QByteArray, autostartText);
        QFETCH(bool, all);
        QFETCH(QString, name);
        QFETCH(bool, operate);
        QFETCH(QByteArray, expectedText);
        QFETCH(QStringList, expected);
        QVERIFY(prepare(autostartText, all));
        const ino_t before = inodeOf(autostart());

        QCOMPARE(reportAfter([&] { m_watcher->setAutoStartPkg(name, operate); }, expected),
                 expected);
        QCOMPARE(TestEnv::readFile(autostart()), expectedText);
        QCOMPARE(QFile::exists(allFile()), all && expectedText == autostartText);
        if (expectedText == autostartText)
            QCOMPARE(inodeOf(autostart()), before);
        // Still watched: a change by the wine packaging itself is reported.
        const QStringList edited{QStringLiteral("wine-b"), QStringLiteral("wine-a")};
        QCOMPARE(reportAfter([this] { QVERIFY(TestEnv::writeFile(autostart(), "wine-b\nwine-a")); },
                             edited),
                 edited);
    }
};

QTEST_GUILESS_MAIN(TestWineAutoStartWatcher)
#include "tst_wine_autostart_watcher.moc"
