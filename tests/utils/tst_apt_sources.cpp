#include "local_apt_repository.h"
#include "test_env.h"
#include "utils/apt_sources.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using AppStore::AptSources;

// Every path the class touches lies in a temporary tree: the machine's
// /etc/apt and /var/lib/tarnwick-daemon are never changed.
class TestAptSources : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void rebuild_data();
    void rebuild();
    void cacheDirectory();
    void configChoice_data();
    void configChoice();
    void plainCallPicksUpPrivateSourcesWithoutDpkg();
    void aptReadsOnlyPrivateSources();

private:
    QString state(const QString &name = QString()) const
    {
        return m_root->filePath(u"state/" + name);
    }
    QString etc(const QString &name = QString()) const
    {
        return m_root->filePath(u"etc-apt/" + name);
    }
    QString cache() const { return m_root->filePath(QStringLiteral("cache/")); }
    void writeSystemFiles(bool withSourcesList, const QStringList &lists,
                          const QString &content = QStringLiteral("# list\n"));
    // A dpkg that answers the probe as mode says, first on PATH; "missing"
    // leaves no dpkg on PATH at all.
    void installDpkg(const QString &mode);

    std::unique_ptr<QTemporaryDir> m_root;
    QByteArray m_path;
};

namespace {

QString withoutTrailingSlash(QString uri)
{
    while (uri.endsWith(u'/'))
        uri.chop(1);
    return uri;
}

// apt's English, for the texts the test looks for.
AppStore::ProcessResult runApt(const QString &program, const QStringList &arguments)
{
    return TestEnv::runTool(program, arguments,
                            {QStringLiteral("LANGUAGE=en_US"), QStringLiteral("LC_ALL=C")}, 120000);
}

} // namespace

void TestAptSources::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    AptSources::setRoots(state(), etc(), cache());
    m_path = qgetenv("PATH");
}

void TestAptSources::cleanup()
{
    qputenv("PATH", m_path);
}

void TestAptSources::writeSystemFiles(bool withSourcesList, const QStringList &lists,
                                      const QString &content)
{
    QVERIFY(QDir().mkpath(etc(QStringLiteral("sources.list.d"))));
    if (withSourcesList)
        QVERIFY(TestEnv::writeFile(etc(QStringLiteral("sources.list")), "# main\n"));
    for (const QString &name : lists)
        QVERIFY(TestEnv::writeFile(etc(u"sources.list.d/" + name), content.toUtf8()));
}

void TestAptSources::installDpkg(const QString &mode)
{
    const QString bin = m_root->filePath(QStringLiteral("bin"));
    QVERIFY(QDir().mkpath(bin));
    qputenv("PATH", QFile::encodeName(bin));
    if (mode == QLatin1String("missing"))
        return;
    const QMap<QString, QByteArray> bodies = {
        {QStringLiteral("rejects"),
         "echo 'dpkg: error: unknown option --script-ignore-error' >&2; exit 2"},
        {QStringLiteral("accepts"), "touch \"$0.ran\"; exit 0"},
        {QStringLiteral("crashes"), "kill -SEGV $$"},
    };
    QVERIFY(bodies.contains(mode));
    const QString dpkg = bin + QStringLiteral("/dpkg");
    QVERIFY(TestEnv::writeFile(dpkg, "#!/bin/sh\n" + bodies.value(mode) + '\n', true));
}

void TestAptSources::rebuild_data()
{
    QTest::addColumn<bool>("withSourcesList");
    QTest::addColumn<bool>("partsDirLinked");
    QTest::newRow("deb822 system, list directory linked away") << false << true;
    QTest::newRow("sources.list, dangling and stray lists") << true << false;
}

void TestAptSources::rebuild()
{
    QFETCH(bool, withSourcesList);
    QFETCH(bool, partsDirLinked);

    // hwe.list and the unstable list are missing and get skipped.
    const QStringList present = {QStringLiteral("appstore.list"), QStringLiteral("security.list"),
                                 QStringLiteral("sw.list")};
    writeSystemFiles(withSourcesList, present + QStringList{QStringLiteral("debian.sources")});
    const QString outside = m_root->filePath(QStringLiteral("outside"));
    // An earlier run on a system whose sources.list and hwe.list have gone
    // since, with a stray file beside them; or a list directory replaced by a
    // link, whose target must survive.
    QVERIFY(QDir().mkpath(outside) && QDir().mkpath(state(QStringLiteral("sources.list.d"))));
    QVERIFY(QFile::link(m_root->filePath(QStringLiteral("gone/sources.list")),
                        state(QStringLiteral("sources.list"))));
    if (partsDirLinked) {
        QVERIFY(QDir(state()).rmdir(QStringLiteral("sources.list.d")));
        QVERIFY(QFile::link(outside, state(QStringLiteral("sources.list.d"))));
    } else {
        QVERIFY(QFile::link(m_root->filePath(QStringLiteral("gone/hwe.list")),
                            state(QStringLiteral("sources.list.d/hwe.list"))));
        QVERIFY(TestEnv::writeFile(state(QStringLiteral("sources.list.d/stray.list")), "# old\n"));
    }
    QVERIFY(TestEnv::writeFile(outside + QStringLiteral("/keep.list"), "# not ours\n"));

    for (int run = 0; run < 2; ++run) {
        QVERIFY(AptSources::updateSourceDir());

        // Without a system list there is no private one, not even an empty
        // stand-in: the store's lists alone would hide the distribution's.
        const QFileInfo list(state(QStringLiteral("sources.list")));
        QCOMPARE(list.symLinkTarget(),
                 withSourcesList ? etc(QStringLiteral("sources.list")) : QString());
        QCOMPARE(list.isSymLink() || list.exists(), withSourcesList);
        const QFileInfo parts(state(QStringLiteral("sources.list.d")));
        QVERIFY(parts.isDir() && !parts.isSymLink());
        QCOMPARE(
            QDir(parts.filePath())
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                           QDir::Name),
            present);
        for (const QString &name : present)
            QCOMPARE(QFileInfo(parts.filePath() + u'/' + name).symLinkTarget(),
                     etc(u"sources.list.d/" + name));
        // No temporary entries and no dangling links anywhere.
        QStringList stateEntries{QStringLiteral("sources.list.d")};
        if (withSourcesList)
            stateEntries.prepend(QStringLiteral("sources.list"));
        QCOMPARE(QDir(state()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                         QDir::NoDotAndDotDot),
                 stateEntries);
        QDirIterator it(state(), QDir::AllEntries | QDir::System | QDir::Hidden,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo entry(it.next());
            QVERIFY2(!entry.isSymLink() || entry.exists(), qPrintable(entry.filePath()));
        }
        QCOMPARE(AptSources::hasPrivateSources(), withSourcesList);
    }
    QVERIFY(QFile::exists(outside + QStringLiteral("/keep.list")));

    // The store's list going away takes the private sources with it.
    QVERIFY(QFile::remove(etc(QStringLiteral("sources.list.d/appstore.list"))));
    QVERIFY(AptSources::updateSourceDir());
    QVERIFY(!QFileInfo(state(QStringLiteral("sources.list.d/appstore.list"))).isSymLink());
    QVERIFY(!AptSources::hasPrivateSources());
}

void TestAptSources::cacheDirectory()
{
    QVERIFY(AptSources::checkCustomCacheDir());
    QVERIFY(QFileInfo(cache() + QStringLiteral("archives")).isDir());
    QVERIFY(AptSources::checkCustomCacheDir());

    const QString blocked = m_root->filePath(QStringLiteral("blocked/"));
    QVERIFY(TestEnv::writeFile(blocked + QStringLiteral("archives"), "not a directory"));
    AptSources::setRoots(state(), etc(), blocked);
    QVERIFY(!AptSources::checkCustomCacheDir());
}

void TestAptSources::configChoice_data()
{
    QTest::addColumn<QString>("dpkg");
    QTest::addColumn<bool>("sourcesList"); // the system's classic list
    QTest::addColumn<bool>("storeList");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QString>("file");

    const QString defaultConf = QStringLiteral("apt_default.conf");
    const QString custom = QStringLiteral("apt_custom.conf");
    const QString v2 = QStringLiteral("apt_custom_v2.conf");
    QTest::newRow("rejects, no private sources") << "rejects" << false << false << 0 << defaultConf;
    QTest::newRow("rejects, private sources") << "rejects" << true << true << 1 << custom;
    // The store's list alone would leave the distribution's packages unseen.
    QTest::newRow("rejects, deb822 system") << "rejects" << false << true << 0 << defaultConf;
    QTest::newRow("accepts, no private sources") << "accepts" << false << false << 2 << v2;
    // A probe that did not run proves no support.
    QTest::newRow("crashes") << "crashes" << true << true << 1 << custom;
    QTest::newRow("missing") << "missing" << true << true << 1 << custom;
    QTest::newRow("this system's dpkg") << "" << true << true << 1 << custom;
}

void TestAptSources::configChoice()
{
    QFETCH(QString, dpkg);
    QFETCH(bool, sourcesList);
    QFETCH(bool, storeList);
    QFETCH(int, expected);
    QFETCH(QString, file);

    if (storeList) {
        writeSystemFiles(sourcesList, {QStringLiteral("appstore.list")});
        QVERIFY(AptSources::updateSourceDir());
    }
    if (!dpkg.isEmpty())
        installDpkg(dpkg);
    QCOMPARE(int(AptSources::aptConfigVersion(true)), expected);
    QCOMPARE(int(AptSources::aptConfigVersion(false)), expected);
    QCOMPARE(AptSources::aptConfigFilePath(), state(file));
    // The choice needs the package cache and makes it when it is missing.
    QCOMPARE(QFileInfo(cache() + QStringLiteral("archives")).isDir(), sourcesList && storeList);
}

void TestAptSources::plainCallPicksUpPrivateSourcesWithoutDpkg()
{
    installDpkg(QStringLiteral("rejects"));
    QCOMPARE(int(AptSources::aptConfigVersion(true)), 0);
    QCOMPARE(AptSources::aptConfigFilePath(), state(QStringLiteral("apt_default.conf")));

    installDpkg(QStringLiteral("accepts"));
    writeSystemFiles(true, {QStringLiteral("appstore.list")});
    QVERIFY(AptSources::updateSourceDir());
    QCOMPARE(AptSources::aptConfigFilePath(), state(QStringLiteral("apt_custom.conf")));
    QVERIFY(!QFile::exists(m_root->filePath(QStringLiteral("bin/dpkg.ran"))));
}

void TestAptSources::aptReadsOnlyPrivateSources()
{
    LocalAptRepository repository;
    QVERIFY2(repository.addStandardPackages() && repository.publish(),
             qPrintable(repository.errorString()));

    // A system whose only list with entries is the store's, next to the
    // machine's own sources, which the daemon's apt runs must not see.
    writeSystemFiles(true, {QStringLiteral("appstore.list")}, repository.sourcesLine() + u'\n');
    QVERIFY(AptSources::updateSourceDir());
    QVERIFY(AptSources::checkCustomCacheDir());

    const QDir shipped(TestEnv::sourceDir() + QStringLiteral("/data/apt"));
    for (const QString &name :
         {QStringLiteral("apt_default.conf"), QStringLiteral("apt_custom.conf"),
          QStringLiteral("apt_custom_v2.conf")}) {
        QFile file(shipped.filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QString text = QString::fromUtf8(file.readAll());
        text.replace(QStringLiteral("/var/lib/tarnwick-daemon/"), state());
        text.replace(QStringLiteral("/var/cache/velkor/tarnwick-daemon/"), cache());
        QVERIFY(TestEnv::writeFile(state(name), text.toUtf8()));
        const auto dump = runApt(QStringLiteral("apt-config"),
                                 {QStringLiteral("-c"), state(name), QStringLiteral("dump")});
        QVERIFY2(dump.succeeded(), qPrintable(dump.errorText()));
        QCOMPARE(dump.outputText().contains(QStringLiteral("--script-ignore-error")),
                 name == QLatin1String("apt_custom_v2.conf"));
    }
    const QString conf = state(QStringLiteral("apt_custom.conf"));

    const auto update =
        runApt(QStringLiteral("apt-get"), {QStringLiteral("-c"), conf, QStringLiteral("update")});
    QVERIFY2(update.succeeded(), qPrintable(update.outputText() + update.errorText()));

    const auto policy =
        runApt(QStringLiteral("apt-cache"), {QStringLiteral("-c"), conf, QStringLiteral("policy"),
                                             QStringLiteral("twk-test-hello")});
    QVERIFY2(policy.succeeded(), qPrintable(policy.errorText()));
    QVERIFY2(policy.outputText().contains(QStringLiteral("Candidate: 1.0")),
             qPrintable(policy.outputText()));

    // Every package source apt knows through the configuration is the test repository.
    const auto sources =
        runApt(QStringLiteral("apt-cache"), {QStringLiteral("-c"), conf, QStringLiteral("policy")});
    QVERIFY2(sources.succeeded(), qPrintable(sources.errorText()));
    const QString repositoryUri = withoutTrailingSlash(repository.uri());
    int repositoryLines = 0;
    const QStringList lines = sources.outputText().split(u'\n');
    for (const QString &line : lines) {
        if (!line.contains(QStringLiteral("://")))
            continue;
        QVERIFY2(line.contains(repositoryUri), qPrintable(line));
        ++repositoryLines;
    }
    QVERIFY2(repositoryLines > 0, qPrintable(sources.outputText()));

    // Archives land in the daemon's cache directory.
    const auto download =
        runApt(QStringLiteral("apt-get"),
               {QStringLiteral("-c"), conf, QStringLiteral("-y"), QStringLiteral("install"),
                QStringLiteral("-d"), QStringLiteral("twk-test-hello")});
    QVERIFY2(download.succeeded(), qPrintable(download.outputText() + download.errorText()));
    QCOMPARE(QDir(cache() + QStringLiteral("archives"))
                 .entryList({QStringLiteral("twk-test-hello_*.deb")})
                 .size(),
             1);
}

QTEST_GUILESS_MAIN(TestAptSources)
#include "tst_apt_sources.moc"
