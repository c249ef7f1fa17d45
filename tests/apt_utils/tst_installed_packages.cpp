#include "apt_utils/aptcache.h"
#include "apt_utils/dpkg_query.h"
#include "dpkg_admin_dir.h"
#include "local_apt_repository.h"
#include "test_env.h"
#include "utils/utils.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kHello = QStringLiteral("twk-test-hello");
const QString kDesktops = QStringLiteral("twk-test-desktops");
const QString kApplications = QStringLiteral("/usr/share/applications/");
const QString kForgingPath =
    QStringLiteral("/usr/share/twk-test-desktops/a\ttwk-test-forged 6.6 1 installed misc  /y");
const QString kKaplaEntry =
    QStringLiteral("/var/lib/kapla/entries/share/applications/twk-test-hello.desktop");

QByteArray desktopEntry(const QString &exec)
{
    return QStringLiteral("[Desktop Entry]\nType=Application\nName=Test\nExec=%1\n")
        .arg(exec)
        .toUtf8();
}

// The installed size as dpkg itself prints it.
QString dpkgInstalledSize(const QString &package)
{
    const QString size =
        TestEnv::runTool(QStringLiteral("dpkg-query"),
                         {QStringLiteral("-W"), QStringLiteral("-f=${Installed-Size}"), package})
            .outputText();
    return size.isEmpty() ? QStringLiteral("0") : size;
}

} // namespace

class TestInstalledPackages : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        TestEnv::useStandins();
        qunsetenv("TWK_KAPLA_DATA");

        // Desktop files that qualify (one with a blank in its path), one whose
        // program is missing and one outside the application folders.
        LocalAptRepository::PackageOptions desktops;
        desktops.desktopApplication = false;
        desktops.files = {{QStringLiteral("/usr/bin/twk-test-desktops"), "#!/bin/sh\n"},
                          {QStringLiteral("/usr/bin/twk-test-other"), "#!/bin/sh\n"},
                          {kApplications + QStringLiteral("twk-test-desktops.desktop"),
                           desktopEntry(QStringLiteral("/usr/bin/twk-test-desktops"))},
                          {kApplications + QStringLiteral("twk test spaced.desktop"),
                           desktopEntry(QStringLiteral("twk-test-other %U"))},
                          {kApplications + QStringLiteral("twk-test-gone.desktop"),
                           desktopEntry(QStringLiteral("/usr/bin/twk-test-missing"))},
                          {QStringLiteral("/usr/share/twk-test-desktops/elsewhere.desktop"),
                           desktopEntry(QStringLiteral("/usr/bin/twk-test-desktops"))},
                          // A TAB in a path must not start a listing record.
                          {kForgingPath, "x\n"}};
        // With a maintainer script, a removal leaves the package's record.
        desktops.postrm = QStringLiteral("#!/bin/sh\nexit 0\n");
        QVERIFY2(m_repository.addPackage(kHello, QStringLiteral("1.0")) &&
                     m_repository.addPackage(kDesktops, QStringLiteral("1.0"), desktops) &&
                     m_repository.publish(LocalAptRepository::Transport::File),
                 qPrintable(m_repository.errorString()));
        QVERIFY(apt({QStringLiteral("update")}));
        QVERIFY(apt({QStringLiteral("install"), QStringLiteral("-y"), kHello, kDesktops}));

        // Open the kapla gate against a private dpkg database with the runtime.
        DpkgAdminDir runtime;
        QVERIFY(runtime.write(QStringLiteral("kapla-bin"), QStringLiteral("1.5")));
        runtime.activate();
        QVERIFY(AppStore::Utils::isKaplaSupported(true));
    }

    void cleanupTestCase()
    {
        apt({QStringLiteral("purge"), QStringLiteral("-y"), kHello, kDesktops});
    }

    void init() { qunsetenv("TWK_KAPLA_DATA"); }

    void listsDebianPackages()
    {
        QStringList lines;
        QVERIFY(AptCache::getLocalPackages(lines));
        // Desktop files ordered by their Exec text; the rest left out.
        QVERIFY(
            lines.contains(QStringLiteral("{twk-test-desktops 1.0 %1 [%2twk-test-desktops.desktop "
                                          "%2twk test spaced.desktop]}")
                               .arg(dpkgInstalledSize(kDesktops), kApplications)));
        QVERIFY(lines.contains(QStringLiteral("{twk-test-hello 1.0 %1 [%2twk-test-hello.desktop]}")
                                   .arg(dpkgInstalledSize(kHello), kApplications)));
        QVERIFY(!lines.join(QLatin1Char(' ')).contains(QStringLiteral("twk-test-forged")));
        const int count = lines.size();
        QVERIFY(AptCache::getLocalPackages(lines));
        QCOMPARE(lines.size(), 2 * count);

        QStringList all;
        QVERIFY(AptCache::getLocalDebianPkgs(all));
        QVERIFY(!all.join(QLatin1Char(' ')).contains(QStringLiteral("twk-test-forged")));
        QVERIFY(
            all.contains(QStringLiteral("{twk-test-desktops 1.0 %1 [%2twk-test-desktops.desktop]}")
                             .arg(dpkgInstalledSize(kDesktops), kApplications)));
    }

    // Read line by line while dpkg-query prints, the machine's whole listing
    // gives what parsing each complete record gives.
    void lineByLineReadingEqualsWholeRecords()
    {
        const AppStore::ProcessResult listing = AppStore::DpkgQuery::runListing(
            {QStringLiteral("-W"),
             QStringLiteral("-f=${Package} ${Version} ${Installed-Size} ${db:Status-Status} "
                            "${Section} ${XB-channel} ${db-fsys:Files}\n")});
        QVERIFY(listing.succeeded());
        QStringList expected;
        QStringList record;
        const auto finish = [&expected, &record] {
            AppStore::DpkgQuery::Record parsed;
            if (record.isEmpty() ||
                !AppStore::DpkgQuery::parseRecord(record.join(u'\n'), 5, true, parsed) ||
                parsed.status != QLatin1String("installed") || parsed.files.isEmpty())
                return;
            QStringList desktopFiles = AppStore::DpkgQuery::applicationDesktopFiles(parsed.files);
            AptCache::removeRepeatedDesktops(desktopFiles);
            expected.append(QStringList{parsed.name, parsed.version,
                                        QString::number(parsed.installedSize.toLongLong()),
                                        parsed.channel, desktopFiles.join(u',')}
                                .join(u'|'));
        };
        AppStore::DpkgQuery::forEachLine(listing.standardOutput, [&](QByteArrayView line) {
            const QString text = QString::fromUtf8(line);
            if (!text.startsWith(u' ') && !text.startsWith(u'\t')) {
                finish();
                record = QStringList{text};
            } else if (!record.isEmpty()) {
                record.append(text);
            }
        });
        finish();

        LocalPackageList plain;
        LocalPackageList withDesktop;
        LocalPackageList channel;
        QVERIFY(AptCache::getLocalDebianPkgs(plain, withDesktop, channel));
        QStringList read;
        for (const LocalPackageEntry &entry : plain + channel)
            read.append(QStringList{entry.packageName, entry.version,
                                    QString::number(entry.installedSize), entry.channel,
                                    entry.desktopFiles.join(u',')}
                            .join(u'|'));
        expected.sort();
        read.sort();
        QVERIFY(read.size() > 100);
        QCOMPARE(read, expected);
    }

    // A listing dpkg-query could not finish is no list of what is installed.
    void failedListingIsNoList()
    {
        DpkgAdminDir broken;
        QVERIFY(broken.writeUnparsable());
        broken.activate();
        QStringList lines;
        QVERIFY(!AptCache::getLocalDebianPkgs(lines));
        LocalPackageList packages;
        QVERIFY(!AptCache::getAllPackageBinaryFiles(packages));
        QVERIFY(lines.isEmpty() && packages.isEmpty());
    }

    void describesDebianPackages()
    {
        Package_Info info;
        QVERIFY(AptCache::getLocalPackageInfo(kHello, info, 0));
        QCOMPARE(info.packageName, kHello);
        QCOMPARE(info.version, QStringLiteral("1.0"));
        QCOMPARE(info.architecture, QStringLiteral("all"));
        QCOMPARE(QString::number(info.installedSize), dpkgInstalledSize(kHello));
        QVERIFY(info.channel.isEmpty());

        QString line;
        QVERIFY(AptCache::getLocalPackageInfo(kDesktops, line, 0));
        // Of several desktop files, the one named after the package.
        QCOMPARE(line, QStringLiteral("twk-test-desktops 1.0 %1[%2twk-test-desktops.desktop]")
                           .arg(dpkgInstalledSize(kDesktops), kApplications));

        Package_Info missing;
        missing.version = QStringLiteral("9");
        QVERIFY(!AptCache::getLocalPackageInfo(QStringLiteral("twk-test-absent"), missing, 0));
        QCOMPARE(missing.packageName, QStringLiteral("twk-test-absent"));
        QVERIFY(missing.version.isEmpty());
        QString untouched = QStringLiteral("kept");
        QVERIFY(!AptCache::getLocalPackageInfo(QStringLiteral("twk-test-absent"), untouched, 0));
        QCOMPARE(untouched, QStringLiteral("kept"));
        QVERIFY(AptCache::isInstalledPackage(kDesktops, 0));
        QVERIFY(!AptCache::isInstalledPackage(QStringLiteral("twk-test-absent"), 0));
    }

    // A package's record read from its own file list equals what the whole
    // file database gives: diversions and dpkg's notes are no files. dash
    // diverts the shell on every Debian system.
    void recordEqualsFileDatabaseRecord()
    {
        for (const QString &name : {kHello, kDesktops, QStringLiteral("dash")})
            compareWithFileDatabase(name);

        const QString diverting = QStringLiteral("twk-test-diverting");
        DpkgAdminDir database;
        QVERIFY(database.write(diverting, QStringLiteral("2:1.0-1")));
        QVERIFY(database.writeFileList(
            diverting, {QStringLiteral("/."), QStringLiteral("/usr"), QStringLiteral("/usr/bin"),
                        QStringLiteral("/usr/bin/twk a b"), QStringLiteral("/usr/bin/twk-other"),
                        QStringLiteral("/usr/bin/twk-local"), QStringLiteral("/usr/bin/twk-own")}));
        QVERIFY(database.writeDiversions(
            {{QStringLiteral("/usr/bin/twk-other"), QStringLiteral("/usr/bin/twk-other.real"),
              QStringLiteral("twk-test-else")},
             {QStringLiteral("/usr/bin/twk-local"), QStringLiteral("/usr/bin/twk-local.real"),
              QStringLiteral(":")},
             {QStringLiteral("/usr/bin/twk-own"), QStringLiteral("/usr/bin/twk-own.real"),
              diverting}}));
        database.activate();
        compareWithFileDatabase(diverting);
    }

    void findsDesktopFiles()
    {
        QStringList files{QStringLiteral("replaced")};
        QVERIFY(AptCache::getPackageDesktopFiles(kDesktops, files, 0));
        QCOMPARE(files, QStringList({kApplications + QStringLiteral("twk-test-desktops.desktop"),
                                     kApplications + QStringLiteral("twk test spaced.desktop")}));

        QVERIFY(AptCache::getDebDesktopFiles(kDesktops, files, 1));
        files.sort();
        QCOMPARE(files, QStringList({QStringLiteral("elsewhere.desktop"),
                                     QStringLiteral("twk test spaced.desktop"),
                                     QStringLiteral("twk-test-desktops.desktop"),
                                     QStringLiteral("twk-test-gone.desktop")}));

        QVERIFY(!AptCache::getPackageDesktopFiles(QStringLiteral("twk-test-absent"), files, 0));
        QVERIFY(files.isEmpty());
    }

    void kaplaAnswerWins()
    {
        useKaplaData(QJsonObject{
            {QStringLiteral("apps"),
             QJsonArray{app(kHello, "1.5", 9000, {}, {}),
                        app(kHello, "2.0", 5000, {QStringLiteral("arm64")},
                            {kKaplaEntry, kApplications + QStringLiteral("elsewhere.desktop")}),
                        QJsonObject{{QStringLiteral("appid"), QStringLiteral("org.example.Viewer")},
                                    {QStringLiteral("version"), QStringLiteral("1.0")},
                                    {QStringLiteral("kind"), QStringLiteral("app")},
                                    {QStringLiteral("size"), QStringLiteral("2048")}},
                        QJsonObject{{QStringLiteral("id"), QStringLiteral("org.example.Base")},
                                    {QStringLiteral("kind"), QStringLiteral("runtime")}}}}});

        LocalPackageList kapla;
        QVERIFY(AptCache::getLocalKaplaPkgsWithCli(kapla));
        QCOMPARE(kapla.size(), 2);
        QCOMPARE(kapla.at(0).packageName, QStringLiteral("org.example.Viewer"));
        QCOMPARE(kapla.at(0).installedSize, 2);
        QCOMPARE(kapla.at(1).version, QStringLiteral("2.0"));
        QCOMPARE(kapla.at(1).desktopFiles, QStringList{kKaplaEntry});

        QStringList lines;
        QVERIFY(AptCache::getLocalPackages(lines));
        QVERIFY(lines.contains(QStringLiteral("{twk-test-hello 2.0 4 [%1]}").arg(kKaplaEntry)));
        QVERIFY(lines.contains(QStringLiteral("{org.example.Viewer 1.0 2 []}")));
        QVERIFY(!lines.contains(QStringLiteral("{twk-test-hello 1.0 %1 [%2twk-test-hello.desktop]}")
                                    .arg(dpkgInstalledSize(kHello), kApplications)));

        Package_Info info;
        QVERIFY(AptCache::getLocalPackageInfo(kHello, info, 0));
        QCOMPARE(info.version, QStringLiteral("2.0"));
        QCOMPARE(info.installedSize, 4);
        QCOMPARE(info.architecture, QSysInfo::currentCpuArchitecture());
        QVERIFY(AptCache::getLocalPackageInfo(kHello, info, 2));
        QCOMPARE(info.architecture, QStringLiteral("arm64"));
        QVERIFY(AptCache::getLocalPackageInfo(kHello, info, 1));
        QCOMPARE(info.version, QStringLiteral("1.0"));
        QCOMPARE(info.architecture, QStringLiteral("all"));

        QString line;
        QVERIFY(AptCache::getLocalPackageInfo(kHello, line, 0));
        QCOMPARE(line, QStringLiteral("twk-test-hello 2.0 4[%1]").arg(kKaplaEntry));
        line.clear();
        QVERIFY(AptCache::getLocalPackageInfo(kHello, line, 1));
        QCOMPARE(line, QStringLiteral("twk-test-hello 1.0 %1[%2twk-test-hello.desktop]")
                           .arg(dpkgInstalledSize(kHello), kApplications));
        for (int mode : {0, 1, 2})
            QVERIFY(AptCache::isInstalledPackage(kHello, mode));

        QStringList files;
        QVERIFY(AptCache::getPackageDesktopFiles(kHello, files, 0));
        QCOMPARE(files, QStringList{kKaplaEntry});
        QVERIFY(AptCache::getPackageDesktopFiles(kHello, files, 1));
        QCOMPARE(files, QStringList{kApplications + QStringLiteral("twk-test-hello.desktop")});
    }

    // A kapla tool that exits 0 without a JSON object must not blank out
    // what dpkg knows.
    void unusableKaplaAnswerLeavesDebian()
    {
        useKaplaData(QJsonObject{
            {QStringLiteral("raw"),
             QJsonObject{{QStringLiteral("info ") + kHello, QStringLiteral("not json")},
                         {QStringLiteral("content ") + kHello, QStringLiteral("[]")}}}});
        Package_Info info;
        QVERIFY(AptCache::getLocalPackageInfo(kHello, info, 0));
        QCOMPARE(info.version, QStringLiteral("1.0"));
        QCOMPARE(info.architecture, QStringLiteral("all"));
        QVERIFY(!AptCache::getLocalPackageInfo(kHello, info, 2));

        QStringList files;
        QVERIFY(AptCache::getPackageDesktopFiles(kHello, files, 0));
        QCOMPARE(files, QStringList{kApplications + QStringLiteral("twk-test-hello.desktop")});
    }

    void channelPackageHidesOthers()
    {
        const auto entry = [](const QString &name, const QString &version) {
            LocalPackageEntry e;
            e.packageName = name;
            e.version = version;
            return e;
        };
        const QMap<QString, LocalPackageEntry> merged = AptCache::mergeLocalPkgLists(
            {entry(QStringLiteral("a"), QStringLiteral("2")), entry(QStringLiteral("c"), "1")},
            {entry(QStringLiteral("a"), QStringLiteral("1")), entry(QStringLiteral("b"), "1"),
             entry(QStringLiteral("b"), QStringLiteral("2")), entry(QStringLiteral("c"), "2")},
            {entry(QStringLiteral("c"), QStringLiteral("3"))});
        QCOMPARE(merged.keys(), QStringList({QStringLiteral("a"), QStringLiteral("b")}));
        QCOMPARE(merged.value(QStringLiteral("a")).version, QStringLiteral("2"));
        QCOMPARE(merged.value(QStringLiteral("b")).version, QStringLiteral("1"));
    }

    void hostileNamesAreRefused()
    {
        useKaplaData(QJsonObject{{QStringLiteral("apps"), QJsonArray{}}});
        QTemporaryDir dir;
        const QString marker = dir.filePath(QStringLiteral("owned"));
        const QStringList names{
            QStringLiteral("x;touch ") + marker, QStringLiteral("$(touch ") + marker + u')',
            QStringLiteral("`touch ") + marker + u'`', QStringLiteral("--admindir=/tmp")};
        for (const QString &name : names) {
            Package_Info info;
            QString line;
            QStringList files;
            QVERIFY(!AptCache::getLocalPackageInfo(name, info, 0));
            QVERIFY(!AptCache::getLocalPackageInfo(name, line, 0));
            QVERIFY(!AptCache::isInstalledPackage(name, 0));
            QVERIFY(!AptCache::getPackageDesktopFiles(name, files, 0));
            QVERIFY(!AptCache::getDebDesktopFiles(name, files, 0));
            QVERIFY(!AptCache::getDependsDesktopFiles(name, files));
            QVERIFY(!AptCache::isPackageRunning(name, files));
            QVERIFY(files.isEmpty());
        }
        QVERIFY(!QFile::exists(marker));
    }

    // Removed without a purge, dpkg keeps the package's record: it is no
    // longer installed for any query.
    void removedPackageIsGone()
    {
        QVERIFY(apt({QStringLiteral("remove"), QStringLiteral("-y"), kDesktops}));
        QCOMPARE(TestEnv::runTool(
                     QStringLiteral("dpkg-query"),
                     {QStringLiteral("-W"), QStringLiteral("-f=${db:Status-Status}"), kDesktops})
                     .outputText(),
                 QStringLiteral("config-files"));
        Package_Info info;
        QString line;
        QStringList lines;
        QVERIFY(!AptCache::getLocalPackageInfo(kDesktops, info, 0));
        QVERIFY(!AptCache::getLocalPackageInfo(kDesktops, line, 0));
        QVERIFY(!AptCache::isInstalledPackage(kDesktops, 0));
        QVERIFY(AptCache::getLocalPackages(lines));
        QVERIFY(!lines.filter(QStringLiteral("{twk-test-desktops ")).size());
    }

    // Held, then purged with --force-hold: dpkg knows the package only as
    // a selection, which no query takes for installed.
    void selectionOnlyIsAbsent()
    {
        DpkgAdminDir database;
        QVERIFY(
            database.write(kHello, QStringLiteral("1.0"), QStringLiteral("hold ok not-installed")));
        database.activate();
        QCOMPARE(AptCache::presence(kHello, 0), AppStore::PackageDetails::Presence::Absent);
    }

private:
    static void compareWithFileDatabase(const QString &name)
    {
        const AppStore::ProcessResult whole = TestEnv::runTool(
            QStringLiteral("dpkg-query"),
            {QStringLiteral("-W"),
             QStringLiteral("-f=${Package} ${Version} ${Installed-Size} ${db:Status-Status} "
                            "${db-fsys:Files}"),
             name});
        QVERIFY(whole.succeeded());
        AppStore::DpkgQuery::Record expected;
        QVERIFY(AppStore::DpkgQuery::parseRecord(whole.outputText(), 4, false, expected));
        AppStore::DpkgQuery::Record record;
        QCOMPARE(AppStore::DpkgQuery::lookUpPackage(name, record),
                 AppStore::DpkgQuery::Lookup::Found);
        QVERIFY(!record.files.isEmpty());
        QCOMPARE(record.files, expected.files);
        QCOMPARE(QStringList({record.name, record.version, record.installedSize, record.status}),
                 QStringList(
                     {expected.name, expected.version, expected.installedSize, expected.status}));
    }

    bool apt(const QStringList &arguments)
    {
        return TestEnv::runTool(QStringLiteral("apt-get"), arguments, m_repository.environment())
            .succeeded();
    }

    static QJsonObject app(const QString &id, const char *version, int size,
                           const QStringList &arch, const QStringList &content)
    {
        return QJsonObject{{QStringLiteral("id"), id},
                           {QStringLiteral("version"), QLatin1String(version)},
                           {QStringLiteral("kind"), QStringLiteral("app")},
                           {QStringLiteral("size"), size},
                           {QStringLiteral("arch"), QJsonArray::fromStringList(arch)},
                           {QStringLiteral("content"), QJsonArray::fromStringList(content)}};
    }

    void useKaplaData(const QJsonObject &data)
    {
        QFile file(m_kaplaDir.filePath(QStringLiteral("kapla.json")));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QJsonDocument(data).toJson());
        qputenv("TWK_KAPLA_DATA", file.fileName().toLocal8Bit());
    }

    LocalAptRepository m_repository;
    QTemporaryDir m_kaplaDir;
};

QTEST_GUILESS_MAIN(TestInstalledPackages)
#include "tst_installed_packages.moc"
