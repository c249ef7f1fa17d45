#include "apt_utils/aptcache.h"
#include "apt_utils/dpkg_query.h"
#include "dpkg_listing.h"
#include "local_apt_repository.h"
#include "test_env.h"
#include "test_user.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kUser = QStringLiteral("twk-test-user");
const QString kHome = QStringLiteral("/home/twk-test-user");
const QString kDesktop = QStringLiteral("/home/twk-test-user/Desktop");
const QString kHello = QStringLiteral("twk-test-hello");
const QString kFiles = QStringLiteral("twk-test-files");
const QString kLaunch = QStringLiteral("twk-test-launch");
const QString kShortcut = QStringLiteral("/home/twk-test-user/Desktop/twk-test-hello.desktop");
const QString kShortcutTarget = QStringLiteral("/usr/share/applications/twk-test-hello.desktop");
const QString kOddPath = QStringLiteral("/usr/share/twk-test-files/with space 'quote'.txt");

QByteArray desktopEntry(const QString &exec, const QString &extra = QString())
{
    return QStringLiteral("[Desktop Entry]\nType=Application\nName=Test\nExec=%1\n%2")
        .arg(exec, extra)
        .toUtf8();
}

struct stat lstatOf(const QString &path)
{
    struct stat info = {};
    if (lstat(QFile::encodeName(path).constData(), &info) != 0)
        info.st_ino = 0;
    return info;
}

} // namespace

class TestPackageFiles : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_user.create());

        LocalAptRepository::PackageOptions files;
        files.desktopApplication = false;
        files.files = {{QStringLiteral("/usr/bin/twk-test-files"), "#!/bin/sh\n"},
                       {kOddPath, "odd\n"},
                       {QStringLiteral("/usr/share/doc/twk-test-files/notes"), "notes\n"},
                       {QStringLiteral("/usr/share/icons/twk-test-files/icon.png"), "png\n"},
                       {QStringLiteral("/usr/lib/twk-test-files/private"), "lib\n"}};

        // Programs in a folder of the test, named by the desktop files.
        const QString scripts = m_scripts.path();
        LocalAptRepository::PackageOptions launch;
        launch.desktopApplication = false;
        const QString applications = QStringLiteral("/usr/share/applications/twk-test-launch-");
        launch.files = {{applications + QStringLiteral("plain.desktop"),
                         desktopEntry(scripts + QStringLiteral("/plain.sh"),
                                      QStringLiteral("TryExec=twk-test-nowhere\n"))},
                        {applications + QStringLiteral("ready.desktop"),
                         desktopEntry(u'"' + scripts + QStringLiteral("/ready.sh\" %U"))},
                        {applications + QStringLiteral("link.desktop"),
                         desktopEntry(scripts + QStringLiteral("/link.sh"))},
                        {applications + QStringLiteral("bare.desktop"),
                         desktopEntry(QStringLiteral("twk-test-bare.sh"))},
                        {applications + QStringLiteral("theirs.desktop"),
                         desktopEntry(scripts + QStringLiteral("/theirs/theirs.sh"))}};

        QVERIFY2(m_repository.addPackage(kHello, QStringLiteral("1.0")) &&
                     m_repository.addPackage(kFiles, QStringLiteral("1.0"), files) &&
                     m_repository.addPackage(kLaunch, QStringLiteral("1.0"), launch) &&
                     m_repository.publish(LocalAptRepository::Transport::File),
                 qPrintable(m_repository.errorString()));
        QVERIFY(apt({QStringLiteral("update")}));
        QVERIFY(apt({QStringLiteral("install"), QStringLiteral("-y"), kHello, kFiles, kLaunch}));
    }

    void cleanupTestCase()
    {
        apt({QStringLiteral("purge"), QStringLiteral("-y"), kHello, kFiles, kLaunch});
        m_user.remove();
    }

    void init()
    {
        QDir(kDesktop).removeRecursively();
        QFile::remove(kDesktop);
        QVERIFY(QDir().mkdir(kDesktop));
        QCOMPARE(lchown(QFile::encodeName(kDesktop).constData(), m_user.uid, m_user.gid), 0);
    }

    void shortcutsAppearAndGoAway()
    {
        // Only renewing: nothing to renew yet.
        AptCache::createShortcuts(kHello, kUser, false, 1);
        QVERIFY(!QFileInfo(kShortcut).isSymLink());

        AptCache::createShortcuts(kHello, kUser, true, 1);
        QCOMPARE(QFileInfo(kShortcut).symLinkTarget(), kShortcutTarget);
        struct stat link = lstatOf(kShortcut);
        QVERIFY(S_ISLNK(link.st_mode));
        QCOMPARE(link.st_uid, m_user.uid);
        QCOMPARE(link.st_gid, m_user.gid);

        AptCache::createShortcuts(kHello, kUser, false, 1);
        QVERIFY(QFileInfo(kShortcut).isSymLink());
        QCOMPARE(QDir(kDesktop).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("twk-test-hello.desktop")});

        AptCache::removeShortcuts(kHello, kUser, 1);
        QVERIFY(!QFileInfo(kShortcut).isSymLink());
        QVERIFY(!QFileInfo::exists(kShortcut));
    }

    // Whatever else the user keeps under a shortcut's name is the user's.
    void usersOwnEntriesStay_data()
    {
        QTest::addColumn<QString>("target"); // empty: a regular file
        QTest::newRow("regular file") << QString();
        QTest::newRow("link to another entry")
            << QStringLiteral("/usr/share/applications/twk-test-launch-plain.desktop");
        QTest::newRow("link into the kapla folder")
            << QStringLiteral("/var/lib/kapla/entries/share/applications/twk-test-hello.desktop");
    }

    void usersOwnEntriesStay()
    {
        QFETCH(QString, target);
        if (target.isEmpty())
            QVERIFY(TestEnv::writeFile(kShortcut, "user's own\n"));
        else
            QVERIFY(QFile::link(target, kShortcut));

        const QRegularExpression warning(QStringLiteral("^not a shortcut to"));
        for (const bool createNew : {true, false}) {
            QTest::ignoreMessage(QtWarningMsg, warning);
            AptCache::createShortcuts(kHello, kUser, createNew, 1);
        }
        QTest::ignoreMessage(QtWarningMsg, warning);
        AptCache::removeShortcuts(kHello, kUser, 1);

        if (target.isEmpty()) {
            QVERIFY(!QFileInfo(kShortcut).isSymLink());
            QCOMPARE(TestEnv::readFile(kShortcut), QByteArray("user's own\n"));
        } else {
            QCOMPARE(QFileInfo(kShortcut).symLinkTarget(), target);
        }
    }

    void refusesDesktopsNotTheUsers_data()
    {
        QTest::addColumn<QString>("login");
        QTest::addColumn<bool>("desktopIsLink");
        // The folder it points at is the user's: only the link itself is wrong.
        QTest::newRow("Desktop links to another folder of the user") << kUser << true;
        QTest::newRow("Desktop owned by root") << kUser << false;
        QTest::newRow("empty login name") << QString() << false;
    }

    void refusesDesktopsNotTheUsers()
    {
        QFETCH(QString, login);
        QFETCH(bool, desktopIsLink);
        QTemporaryDir elsewhere;
        QString folder = kDesktop;
        if (desktopIsLink) {
            QCOMPARE(
                lchown(QFile::encodeName(elsewhere.path()).constData(), m_user.uid, m_user.gid), 0);
            QVERIFY(QDir(kDesktop).removeRecursively());
            QVERIFY(QFile::link(elsewhere.path(), kDesktop));
            folder = elsewhere.path();
        } else if (!login.isEmpty()) {
            QCOMPARE(lchown(QFile::encodeName(kDesktop).constData(), 0, 0), 0);
        }
        const auto entries = [&folder] {
            return QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
        };
        AptCache::createShortcuts(kHello, login, true, 1);
        QVERIFY2(entries().isEmpty(), qPrintable(entries().join(u' ')));

        const QString victim = folder + QStringLiteral("/twk-test-hello.desktop");
        QVERIFY(TestEnv::writeFile(victim, "not for root to touch\n"));
        AptCache::createShortcuts(kHello, login, true, 1);
        AptCache::removeShortcuts(kHello, login, 1);
        QVERIFY(!QFileInfo(victim).isSymLink());
        QCOMPARE(TestEnv::readFile(victim), QByteArray("not for root to touch\n"));
        QCOMPARE(entries(), QStringList{QStringLiteral("twk-test-hello.desktop")});
    }

    // Read as it arrives, in pieces that end anywhere, the whole database's
    // listing gives the lines the complete output gives.
    void streamedListingEqualsWholeOne()
    {
        const QStringList arguments{QStringLiteral("-W"),
                                    QStringLiteral("-f=${Package}\n${db-fsys:Files}")};
        QList<QByteArray> streamed;
        QVERIFY(AppStore::DpkgQuery::streamListing(
            arguments, [&streamed](QByteArrayView line) { streamed.append(line.toByteArray()); }));
        QList<QByteArray> whole;
        AppStore::DpkgQuery::forEachLine(
            AppStore::DpkgQuery::runListing(arguments).standardOutput,
            [&whole](QByteArrayView line) { whole.append(line.toByteArray()); });
        QVERIFY(whole.size() > 1000);
        QCOMPARE(streamed, whole);
    }

    void listsPackageFiles()
    {
        const QStringList expected{QStringLiteral("/usr/bin/twk-test-files"),
                                   QStringLiteral("/usr/share/doc/twk-test-files/notes"), kOddPath};
        QStringList files;
        QVERIFY(AptCache::getPackageBinaryFiles(kFiles, files));
        files.sort();
        QCOMPARE(files, expected);

        LocalPackageList packages;
        QVERIFY(AptCache::getAllPackageBinaryFiles(packages));
        const QString last = DpkgListing::lastPackageWithDocFile();
        QVERIFY(!last.isEmpty());
        QStringList listed;
        bool helloListed = false;
        bool lastListed = false;
        for (const LocalPackageEntry &entry : std::as_const(packages)) {
            QVERIFY(!entry.desktopFiles.isEmpty());
            if (entry.packageName == kFiles)
                listed = entry.desktopFiles;
            helloListed = helloListed || entry.packageName == kHello;
            lastListed = lastListed || entry.packageName == last;
        }
        listed.sort();
        QCOMPARE(listed, expected);
        QVERIFY(helloListed);
        QVERIFY2(lastListed, qPrintable(last));

        // Unknown to dpkg, or no name it could know: no files, no failure.
        for (const QString &name : {QStringLiteral("twk-test-absent"), QStringLiteral("x;ls")}) {
            QStringList none;
            QVERIFY(AptCache::getPackageBinaryFiles(name, none));
            QVERIFY(none.isEmpty());
        }
    }

    void makesScriptsLaunchable()
    {
        const QString scripts = m_scripts.path();
        const QString plain = scripts + QStringLiteral("/plain.sh");
        const QString ready = scripts + QStringLiteral("/ready.sh");
        const QString target = scripts + QStringLiteral("/target.sh");
        const QString bare = scripts + QStringLiteral("/second/twk-test-bare.sh");
        QVERIFY(QDir().mkpath(scripts + QStringLiteral("/first")));
        QVERIFY(QDir().mkpath(scripts + QStringLiteral("/second")));
        QVERIFY(TestEnv::writeFile(plain, "\n\n  echo plain\n\n"));
        QVERIFY(TestEnv::writeFile(ready, "\n\n#!/bin/sh\necho ready\n"));
        QVERIFY(TestEnv::writeFile(target, "echo target\n"));
        QVERIFY(TestEnv::writeFile(bare, "echo bare\n"));
        // In a folder its user may change, the script could become a link
        // to any file before the rewrite.
        const QString theirs = scripts + QStringLiteral("/theirs/theirs.sh");
        QVERIFY(TestEnv::writeFile(theirs, "echo theirs\n"));
        QCOMPARE(
            chown(QFile::encodeName(QFileInfo(theirs).path()).constData(), m_user.uid, m_user.gid),
            0);
        QVERIFY(QFile::link(target, scripts + QStringLiteral("/link.sh")));
        QCOMPARE(chmod(QFile::encodeName(plain).constData(), 0751), 0);
        QCOMPARE(chown(QFile::encodeName(plain).constData(), m_user.uid, m_user.gid), 0);
        const struct stat before = lstatOf(plain);

        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", (scripts + QStringLiteral("/first:") + scripts +
                         QStringLiteral("/second:") + QString::fromLocal8Bit(path))
                            .toLocal8Bit());
        AptCache::ensurePkgDesktopFilesLaunchable(kLaunch);
        qputenv("PATH", path);

        QCOMPARE(TestEnv::readFile(plain), QByteArray("#!/usr/bin/env bash\necho plain\n"));
        const struct stat after = lstatOf(plain);
        QVERIFY(after.st_ino != before.st_ino); // replaced, not rewritten in place
        QCOMPARE(after.st_mode, before.st_mode);
        QCOMPARE(after.st_uid, m_user.uid);
        QCOMPARE(after.st_gid, m_user.gid);
        QCOMPARE(TestEnv::readFile(bare), QByteArray("#!/usr/bin/env bash\necho bare\n"));
        QCOMPARE(TestEnv::readFile(ready), QByteArray("\n\n#!/bin/sh\necho ready\n"));
        QCOMPARE(TestEnv::readFile(theirs), QByteArray("echo theirs\n"));
        QCOMPARE(TestEnv::readFile(target), QByteArray("echo target\n"));
        QVERIFY(QFileInfo(scripts + QStringLiteral("/link.sh")).isSymLink());
        QVERIFY(!TestEnv::readFile(
                     QStringLiteral("/usr/share/applications/twk-test-launch-plain.desktop"))
                     .contains("TryExec"));
    }

private:
    bool apt(const QStringList &arguments)
    {
        return TestEnv::runTool(QStringLiteral("apt-get"), arguments, m_repository.environment())
            .succeeded();
    }

    TestUser m_user;
    QTemporaryDir m_scripts;
    LocalAptRepository m_repository;
};

QTEST_GUILESS_MAIN(TestPackageFiles)
#include "tst_package_files.moc"
