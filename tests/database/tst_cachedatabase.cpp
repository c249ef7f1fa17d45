#include "appstoredb_test_file.h"

#include "database/cachedatabase.h"
#include "dpkg_listing.h"
#include "local_apt_repository.h"
#include "task/task_manager.h"
#include "test_env.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

#include <sys/stat.h>

namespace {

const QString kPackage = QStringLiteral("twk-test-cachedb");
const QString kLate = QStringLiteral("twk-test-cachedb-late");
const QString kDataDir = QStringLiteral("/usr/share/twk-test-cachedb/");
const QString kShared = kDataDir + QStringLiteral("shared.txt");
const QString kLatePath = QStringLiteral("/opt/apps/twk-test-cachedb-late/it's \"late\"");

// In the index's (binary) order.
const QStringList kIndexed = {
    QStringLiteral("/usr/bin/twk-test-cachedb"),
    QStringLiteral("/usr/share/applications/twk-test-cachedb.desktop"),
    kDataDir + QStringLiteral("it's a 'quoted' name.txt"),
    kDataDir + QStringLiteral("with  two spaces.txt"),
    kDataDir + QStringLiteral("x'),('evil','evil"),
};

const QString kOwnedPaths =
    QStringLiteral("SELECT binaryPath FROM package_binary_file WHERE packageName = ? "
                   "ORDER BY binaryPath");

bool apt(const LocalAptRepository &repository, const QStringList &arguments)
{
    return TestEnv::runTool(QStringLiteral("apt-get"), arguments, repository.environment())
        .succeeded();
}

// Returns once everything queued to the index's thread so far has run.
void waitForIndexThread()
{
    QMetaObject::invokeMethod(
        CacheDatabase::instance(), []() {}, Qt::BlockingQueuedConnection);
}

} // namespace

class TestCacheDatabase : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    LocalAptRepository m_repository;
    std::unique_ptr<AppstoreDbTestFile> m_file;

    QString indexPath() const { return m_dir.filePath(QStringLiteral("cache.db")); }

private slots:
    void initTestCase()
    {
        TaskManager::instance(); // lives on the main thread, like in the daemon
        QVERIFY(m_dir.isValid());

        LocalAptRepository::PackageOptions options;
        for (const QString &path : kIndexed.mid(2))
            options.files.insert(path, "data\n");
        options.files.insert(kShared, "shared\n");
        options.files.insert(QStringLiteral("/usr/share/icons/twk-test-cachedb.png"), "png\n");
        options.files.insert(QStringLiteral("/usr/lib/twk-test-cachedb/private"), "lib\n");
        LocalAptRepository::PackageOptions late;
        late.desktopApplication = false;
        late.files.insert(kLatePath, "late\n");

        QVERIFY2(m_repository.addPackage(kPackage, QStringLiteral("1.0"), options) &&
                     m_repository.addPackage(kLate, QStringLiteral("1.0"), late) &&
                     m_repository.publish(LocalAptRepository::Transport::File),
                 qPrintable(m_repository.errorString()));
        QVERIFY(apt(m_repository, {QStringLiteral("update")}));
        QVERIFY(apt(m_repository, {QStringLiteral("install"), QStringLiteral("-y"), kPackage}));
    }

    void cleanupTestCase()
    {
        CacheDatabase::instance()->stop();
        QVERIFY(CacheDatabase::instance()->thread()->isFinished());
        m_file.reset();
        apt(m_repository, {QStringLiteral("purge"), QStringLiteral("-y"), kPackage, kLate});
    }

    void buildsTheIndexOnItsOwnThread()
    {
        CacheDatabase *cache = CacheDatabase::instance();

        // The folder is not there: the build fails and is tried again later.
        CacheDatabase::setDatabasePath(m_dir.filePath(QStringLiteral("missing/cache.db")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Cache database open failed:"));
        cache->start();
        waitForIndexThread();
        QVERIFY(!cache->isInitialized());
        QVERIFY(cache->thread() != QThread::currentThread());
        QVERIFY(cache->thread()->isRunning());

        // Nor is a folder that others may change.
        const QString open = m_dir.filePath(QStringLiteral("open"));
        QVERIFY(QDir().mkpath(open) && ::chmod(QFile::encodeName(open).constData(), 0777) == 0);
        CacheDatabase::setDatabasePath(open + QStringLiteral("/cache.db"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("not root's alone"));
        cache->start();
        waitForIndexThread();
        QVERIFY(!cache->isInitialized() && !QFileInfo::exists(open + QStringLiteral("/cache.db")));

        // An index another run left in WAL mode, whose shared path belongs to
        // a package stored earlier.
        {
            AppstoreDbTestFile earlier(indexPath());
            QVERIFY(earlier.exec(QStringLiteral("PRAGMA journal_mode=WAL")));
            QVERIFY(earlier.exec(QStringLiteral(
                "CREATE TABLE package_binary_file (binaryPath varchar(260) primary key, "
                "packageName varchar(40))")));
            QVERIFY(earlier.exec(QStringLiteral("INSERT INTO package_binary_file VALUES (?, ?)"),
                                 {kShared, QStringLiteral("twk-test-earlier")}));
        }
        CacheDatabase::setDatabasePath(indexPath());
        cache->start();
        waitForIndexThread();
        QVERIFY(cache->isInitialized());

        m_file = std::make_unique<AppstoreDbTestFile>(indexPath());
        QCOMPARE(m_file->value(QStringLiteral("PRAGMA journal_mode")), QStringLiteral("delete"));
        QVERIFY(!QFileInfo::exists(indexPath() + QStringLiteral("-wal")));
        QVERIFY(!QFileInfo::exists(indexPath() + QStringLiteral("-shm")));

        QCOMPARE(m_file->rows(kOwnedPaths, {kPackage}), kIndexed);
        QCOMPARE(m_file->rows(kOwnedPaths, {QStringLiteral("twk-test-earlier")}),
                 QStringList{kShared});
        QCOMPARE(m_file->value(QStringLiteral("SELECT packageName FROM package_binary_file "
                                              "WHERE binaryPath = '/usr/bin/dpkg'")),
                 QStringLiteral("dpkg"));
        QVERIFY(m_file->rows(kOwnedPaths, {kLate}).isEmpty());
        const QString last = DpkgListing::lastPackageWithDocFile();
        QVERIFY2(!last.isEmpty() && !m_file->rows(kOwnedPaths, {last}).isEmpty(), qPrintable(last));
    }

    void addsThePackageJustInstalled()
    {
        QVERIFY(m_file);
        QVERIFY(apt(m_repository, {QStringLiteral("install"), QStringLiteral("-y"), kLate}));
        const int before = m_file->count(QStringLiteral("package_binary_file"));

        // Twice: rows already there are neither doubled nor a failure.
        QTest::failOnWarning(QRegularExpression("Cache database"));
        CacheDatabase::instance()->insertData(kLate);
        CacheDatabase::instance()->insertData(kLate);
        waitForIndexThread();
        QCOMPARE(m_file->rows(kOwnedPaths, {kLate}), QStringList{kLatePath});
        QCOMPARE(m_file->count(QStringLiteral("package_binary_file")), before + 1);
    }
};

QTEST_GUILESS_MAIN(TestCacheDatabase)
#include "tst_cachedatabase.moc"
