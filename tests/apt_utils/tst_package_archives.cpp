#include "apt_utils/aptcache.h"
#include "common/common.h"
#include "dpkg_admin_dir.h"
#include "local_apt_repository.h"
#include "system_file_guard.h"
#include "test_env.h"
#include "utils/utils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kArch = QStringLiteral("twk-test-arch");
const QString kPlus = QStringLiteral("twk-test-c++");

bool writeJunk(const QString &path)
{
    return TestEnv::writeFile(path, "not an archive\n");
}

bool setModified(const QString &path, const QDateTime &time)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) &&
           file.setFileTime(time, QFileDevice::FileModificationTime);
}

} // namespace

class TestPackageArchives : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        LocalAptRepository::PackageOptions plain;
        plain.desktopApplication = false;
        QVERIFY2(m_repository.addPackage(kArch, QStringLiteral("1.0"), plain) &&
                     m_repository.addPackage(kArch, QStringLiteral("2.0"), plain) &&
                     m_repository.addPackage(kPlus, QStringLiteral("1:1.5-2"), plain) &&
                     m_repository.publish(LocalAptRepository::Transport::File),
                 qPrintable(m_repository.errorString()));

        // The daemon's apt runs use the test repository's configuration; the
        // cache stays the daemon's own.
        QVERIFY(m_state.isValid());
        AppStore::Utils::setRoots(m_state.path(), m_state.filePath(QStringLiteral("etc")),
                                  DAEMON_CACHE_DIR);
        QVERIFY(QFile::copy(m_repository.aptConfigPath(),
                            m_state.filePath(QStringLiteral("apt_default.conf"))));
        QVERIFY(TestEnv::runTool(QStringLiteral("apt-get"),
                                 {QStringLiteral("-c"), AppStore::Utils::aptConfigFilePath(),
                                  QStringLiteral("update")})
                    .succeeded());
        // Anything the shell would make of a name lands here.
        QDir::setCurrent(m_state.path());
    }

    void cleanup() { AptCache::setClock({}); }

    void readsArchives()
    {
        Package_Info info;
        const QString deb = m_repository.debPath(kPlus, QStringLiteral("1:1.5-2"));
        QVERIFY(AptCache::getDebInfo(deb, info));
        QCOMPARE(info.packageName, kPlus);
        QCOMPARE(info.architecture, QStringLiteral("all"));
        QCOMPARE(info.version, QStringLiteral("1:1.5-2"));
        QCOMPARE(info.debPath, deb);

        const QString junk = m_state.filePath(QStringLiteral("junk.deb"));
        QVERIFY(writeJunk(junk));
        Package_Info none;
        QVERIFY(!AptCache::getDebInfo(junk, none));
        QCOMPARE(none.debPath, junk);
    }

    void readsDownloadFacts_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("found");
        QTest::addColumn<QString>("debPath");

        QTest::newRow("chosen version") << kArch << "1.0" << true << "twk-test-arch_1.0_all.deb";
        QTest::newRow("first record") << kArch << "" << true << "twk-test-arch_2.0_all.deb";
        QTest::newRow("version not listed") << kArch << "3.0" << false << "";
        QTest::newRow("plus signs") << kPlus << "1:1.5-2" << true << "twk-test-c++_1.5-2_all.deb";
        // "." would match any character.
        QTest::newRow("dot is literal") << "twk-test-c.."
                                        << "" << false << "";
        QTest::newRow("command in name") << "x;touch owned"
                                         << "" << false << "";
        QTest::newRow("command in version") << kArch << "$(touch owned)" << false << "";
        QTest::newRow("option as name") << "-oDir=/"
                                        << "" << false << "";
    }

    void readsDownloadFacts()
    {
        QFETCH(QString, name);
        QFETCH(QString, version);
        QFETCH(bool, found);
        QFETCH(QString, debPath);

        Package_Info info;
        QCOMPARE(AptCache::getPackageDownloadInfo(name, info, version), found);
        QCOMPARE(info.packageName, name);
        QVERIFY(!QFileInfo::exists(m_state.filePath(QStringLiteral("owned"))));
        if (!found)
            return;
        QCOMPARE(info.debPath, debPath);
        QCOMPARE(info.size, QFileInfo(m_repository.repositoryDir() + u'/' + debPath).size());
        QVERIFY(info.installedSize >= 0);
        QVERIFY(!info.version.isEmpty());
    }

    void answersInstalledState()
    {
        DpkgAdminDir dpkg;
        QVERIFY(dpkg.write(kArch, QStringLiteral("1.0")));
        dpkg.activate();
        QVERIFY(AptCache::isPackageInstalled(kArch));
        QVERIFY(!AptCache::isPackageInstalled(kPlus));
        QVERIFY(!AptCache::isPackageInstalled(QStringLiteral("$(id)")));
        QVERIFY(dpkg.write(kArch, QStringLiteral("1.0"), QStringLiteral("purge ok config-files")));
        QVERIFY(!AptCache::isPackageInstalled(kArch));
    }

    // Modes 1 and 2 remove what the output names, from the cache only.
    void removesNamedArchives()
    {
        QTemporaryDir cache;
        const QString cacheDir = cache.path() + u'/';
        const QString archives = cacheDir + QStringLiteral("archives/");
        const QString outside = cache.filePath(QStringLiteral("local_1.0_all.deb"));
        for (const char *name : {"foo_1.0_all.deb", "bar_2.0_all.deb", "local_1.0_all.deb"})
            QVERIFY(writeJunk(archives + QLatin1String(name)));
        QVERIFY(writeJunk(outside));
        QVERIFY(QFile::link(outside, archives + QStringLiteral("linked.deb")));

        AptCache::delTheInstallationPacakge(
            QStringLiteral("Preparing to unpack .../03-foo_1.0_all.deb ...\n"
                           "Unpacking foo (1.0) ...\n"),
            1, cacheDir);
        QVERIFY(!QFileInfo::exists(archives + QStringLiteral("foo_1.0_all.deb")));

        AptCache::delTheInstallationPacakge(
            QStringLiteral("dpkg: error processing archive /tmp/apt-dpkg-install-Ab12/"
                           "00-bar_2.0_all.deb (--unpack):\n"
                           "dpkg: error processing archive %1 (--unpack):\n"
                           "dpkg: error processing archive %2linked.deb (--unpack):\n")
                .arg(outside, archives),
            2, cacheDir);
        QVERIFY(!QFileInfo::exists(archives + QStringLiteral("bar_2.0_all.deb")));
        // A local archive the user named stays, also when a link in the cache
        // points at it; its namesake in the cache goes.
        QVERIFY(!QFileInfo::exists(archives + QStringLiteral("local_1.0_all.deb")));
        QVERIFY(!QFileInfo(archives + QStringLiteral("linked.deb")).isSymLink());
        QVERIFY(QFileInfo::exists(outside));
    }

    void cleansByStateAndAge_data()
    {
        QTest::addColumn<QString>("installed"); // version in dpkg, empty: not installed
        QTest::addColumn<QString>("file");      // archive version, or "junk"
        QTest::addColumn<bool>("partial");
        QTest::addColumn<int>("modifiedSecsAgo");
        QTest::addColumn<int>("daysLater");
        QTest::addColumn<bool>("kept");

        QTest::newRow("same as installed") << "1.0"
                                           << "1.0" << false << 0 << 0 << false;
        QTest::newRow("older than installed") << "2.0"
                                              << "1.0" << false << 0 << 0 << false;
        QTest::newRow("newer, 6 days") << "1.0"
                                       << "2.0" << false << 0 << 6 << true;
        QTest::newRow("newer, 7 days") << "1.0"
                                       << "2.0" << false << 0 << 7 << false;
        QTest::newRow("not installed, 6 days") << ""
                                               << "1.0" << false << 0 << 6 << true;
        QTest::newRow("not installed, 7 days") << ""
                                               << "1.0" << false << 0 << 7 << false;
        QTest::newRow("unreadable, being written") << ""
                                                   << "junk" << false << 60 << 0 << true;
        QTest::newRow("unreadable, left over") << ""
                                               << "junk" << false << 7200 << 0 << false;
        QTest::newRow("partial, 6 days") << ""
                                         << "junk" << true << 0 << 6 << true;
        QTest::newRow("partial, 7 days") << ""
                                         << "junk" << true << 0 << 7 << false;
    }

    void cleansByStateAndAge()
    {
        QFETCH(QString, installed);
        QFETCH(QString, file);
        QFETCH(bool, partial);
        QFETCH(int, modifiedSecsAgo);
        QFETCH(int, daysLater);
        QFETCH(bool, kept);

        DpkgAdminDir dpkg;
        QVERIFY(dpkg.write(installed.isEmpty() ? QString() : kArch, installed));
        dpkg.activate();
        QTemporaryDir cache;
        const QString cacheDir = cache.path() + u'/';
        const QString path =
            cacheDir +
            (partial ? QStringLiteral("archives/partial/") : QStringLiteral("archives/")) +
            QStringLiteral("twk-test-arch_%1_all.deb").arg(file);
        if (file == QLatin1String("junk")) {
            QVERIFY(writeJunk(path));
        } else {
            QDir().mkpath(QFileInfo(path).absolutePath());
            QVERIFY(QFile::copy(m_repository.debPath(kArch, file), path));
        }
        const QDateTime start = QDateTime::currentDateTime();
        QVERIFY(setModified(path, start.addSecs(-modifiedSecsAgo)));
        AptCache::setClock([=] { return start.addDays(daysLater); });

        AptCache::delTheInstallationPacakge(QString(), 3, cacheDir);
        QCOMPARE(QFileInfo::exists(path), kept);
    }

    void keepArchivesFlag()
    {
        SystemFileGuard guard({QStringLiteral("/var/cache/velkor")});
        QVERIFY2(guard.isValid(), qPrintable(guard.errorString()));
        const QString junk = DAEMON_CACHE_DIR + QStringLiteral("archives/twk-test-junk.deb");
        QVERIFY(writeJunk(junk));
        QVERIFY(setModified(junk, QDateTime::currentDateTime().addDays(-1)));

        AppStore::Utils::setKeepArchives(true);
        QVERIFY(AptCache::cleanPackagesCache());
        QVERIFY(QFileInfo::exists(junk));
        AppStore::Utils::setKeepArchives(false);
        QVERIFY(AptCache::cleanPackagesCache());
        QVERIFY(!QFileInfo::exists(junk));
    }

private:
    LocalAptRepository m_repository;
    QTemporaryDir m_state;
};

QTEST_GUILESS_MAIN(TestPackageArchives)
#include "tst_package_archives.moc"
