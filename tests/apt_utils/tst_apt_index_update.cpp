#include "apt_utils/aptcache.h"
#include "engine_test_setup.h"
#include "local_apt_repository.h"
#include "private_system_bus.h"
#include "server_process.h"
#include "system_file_guard.h"
#include "test_env.h"
#include "utils/process_runner.h"
#include "utils/proxy_system.h"
#include "utils/utils.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using AppStore::Utils;

namespace {

// dpkg's English output, without questions.
const QStringList kToolEnvironment = {QStringLiteral("DEBIAN_FRONTEND=noninteractive"),
                                      QStringLiteral("LC_ALL=C")};

} // namespace

// The daemon's state and apt directories lie in a temporary tree; apt-get is
// a stand-in first on PATH, or a wrapper around the real one; NetworkManager
// is a stand-in on a private bus.
class TestAptIndexUpdate : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void networkGate_data();
    void networkGate();
    void hungUpdateIsKilled();
    void updateWithProxyAndUpgradableList();

private:
    QString state(const QString &name = QString()) const
    {
        return m_dir.filePath(QStringLiteral("state/") + name);
    }
    void startNetworkManager(int state);
    void installAptGet(const QByteArray &body);
    void makeLists();

    PrivateSystemBus m_bus;
    ServerProcess m_networkManager;
    QTemporaryDir m_dir;
};

void TestAptIndexUpdate::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_bus.allowService(QStringLiteral("org.freedesktop.NetworkManager"));
    QVERIFY2(!m_bus.start().isEmpty(), qPrintable(m_bus.errorString()));
    AppStore::AptSources::setRoots(state(), m_dir.filePath(QStringLiteral("etc-apt")),
                                   m_dir.filePath(QStringLiteral("cache")));
    ProxySystem::setSettingsFilePath(m_dir.filePath(QStringLiteral("proxy.conf")));
    TestEnv::useStandins();
    qputenv("PATH",
            QFile::encodeName(m_dir.filePath(QStringLiteral("bin"))) + ':' + qgetenv("PATH"));
}

void TestAptIndexUpdate::cleanupTestCase()
{
    for (const char *name : {"http_proxy", "no_proxy", "TWK_IMMUTABLE_MODE"})
        qunsetenv(name);
    TestEnv::runTool(QStringLiteral("dpkg"),
                     {QStringLiteral("--purge"), QStringLiteral("twk-test-upgrade")},
                     kToolEnvironment);
}

// A negative state: no NetworkManager on the bus.
void TestAptIndexUpdate::startNetworkManager(int state)
{
    m_networkManager.stop();
    if (state >= 0)
        QVERIFY2(m_networkManager.start(qEnvironmentVariable("TWK_NM_STANDIN"),
                                        {QString::number(state)}, m_bus.environment()),
                 qPrintable(m_networkManager.errorString()));
}

void TestAptIndexUpdate::installAptGet(const QByteArray &body)
{
    QVERIFY(TestEnv::writeFile(m_dir.filePath(QStringLiteral("bin/apt-get")),
                               "#!/bin/sh\n" + body + '\n', true));
}

void TestAptIndexUpdate::makeLists()
{
    QVERIFY(QDir().mkpath(state(QStringLiteral("lists/partial"))));
}

void TestAptIndexUpdate::networkGate_data()
{
    QTest::addColumn<int>("networkState");
    QTest::addColumn<int>("aptGetExit");
    QTest::addColumn<bool>("expected");
    QTest::newRow("global connectivity") << 70 << 0 << true;
    QTest::newRow("site connectivity only") << 60 << 0 << false;
    QTest::newRow("no NetworkManager") << -1 << 0 << false;
    QTest::newRow("apt-get fails") << 70 << 100 << false;
}

void TestAptIndexUpdate::networkGate()
{
    QFETCH(int, networkState);
    QFETCH(int, aptGetExit);
    QFETCH(bool, expected);
    startNetworkManager(networkState);
    installAptGet("exit " + QByteArray::number(aptGetExit));
    const int failures = Utils::aptUpdateStatus().failCount;

    QCOMPARE(AptCache::AptUpdate(), expected);
    const AppStore::AptUpdateStatus status = Utils::aptUpdateStatus();
    QCOMPARE(status.state, int(AppStore::Finished));
    QCOMPARE(status.success, expected);
    QCOMPARE(status.failCount, expected ? 0 : failures + 1);
}

// A hung update ends as a failed one, and the lists it may be writing stay.
void TestAptIndexUpdate::hungUpdateIsKilled()
{
    startNetworkManager(70);
    installAptGet("exec sleep 600");
    makeLists();
    AptCache::setUpdateTimeLimit(1500);

    bool result = true;
    QElapsedTimer timer;
    timer.start();
    std::unique_ptr<QThread> update(QThread::create([&result] { result = AptCache::AptUpdate(); }));
    update->start();
    QVERIFY(
        TestEnv::waitFor([] { return Utils::aptUpdateStatus().state == AppStore::Running; }, 5000));
    AptCache::clearCustomSourceListsCache();
    QVERIFY(QFileInfo::exists(state(QStringLiteral("lists"))));
    QVERIFY(update->wait(20000));
    AptCache::setUpdateTimeLimit(0);

    QVERIFY(!result);
    QVERIFY(timer.elapsed() < 20000);
    QCOMPARE(Utils::aptUpdateStatus().state, int(AppStore::Finished));
    AptCache::clearCustomSourceListsCache();
    QVERIFY(QFileInfo::exists(state(QStringLiteral("lists"))));
}

// Both the private and the system index point at one loopback repository
// only; the machine's own sources are put back afterwards.
void TestAptIndexUpdate::updateWithProxyAndUpgradableList()
{
    const QString package = QStringLiteral("twk-test-upgrade");
    LocalAptRepository repository;
    QVERIFY2(repository.addPackage(package, QStringLiteral("1.0")) && repository.publish(),
             qPrintable(repository.errorString()));
    const QByteArray sourcesLine = repository.sourcesLine().toUtf8() + '\n';

    // The private sources mirror the store's list, with the shipped
    // configuration files moved into the temporary tree.
    QVERIFY(EngineTestSetup::writeSystemSources(m_dir.filePath(QStringLiteral("etc-apt")),
                                                repository.sourcesLine()));
    QVERIFY(Utils::updateSourceDir());
    QVERIFY(Utils::checkCustomCacheDir());
    for (const QString &name :
         {QStringLiteral("apt_default.conf"), QStringLiteral("apt_custom.conf"),
          QStringLiteral("apt_custom_v2.conf")}) {
        QFile file(TestEnv::sourceDir() + QStringLiteral("/data/apt/") + name);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QString text = QString::fromUtf8(file.readAll());
        text.replace(QStringLiteral("/var/lib/tarnwick-daemon/"), state());
        text.replace(QStringLiteral("/var/cache/velkor/tarnwick-daemon/"),
                     m_dir.filePath(QStringLiteral("cache/")));
        QVERIFY(TestEnv::writeFile(state(name), text.toUtf8()));
    }
    const QString config = Utils::aptConfigFilePath();
    QCOMPARE(config, state(QStringLiteral("apt_custom.conf")));

    SystemFileGuard guard({QStringLiteral("/etc/apt/sources.list"),
                           QStringLiteral("/etc/apt/sources.list.d"),
                           QStringLiteral("/var/lib/apt/lists")});
    QVERIFY2(guard.isValid(), qPrintable(guard.errorString()));
    QVERIFY(QDir(QStringLiteral("/etc/apt/sources.list.d")).removeRecursively());
    QVERIFY(QDir().mkpath(QStringLiteral("/etc/apt/sources.list.d")));
    QVERIFY(TestEnv::writeFile(QStringLiteral("/etc/apt/sources.list"), sourcesLine));

    const auto install =
        TestEnv::runTool(QStringLiteral("dpkg"),
                         {QStringLiteral("-i"), repository.debPath(package, QStringLiteral("1.0"))},
                         kToolEnvironment);
    QVERIFY2(install.succeeded(), qPrintable(install.errorText()));
    QVERIFY2(repository.addPackage(package, QStringLiteral("2.0")),
             qPrintable(repository.errorString()));

    // A proxy that does not answer: apt reaches the repository only because
    // no_proxy exempts loopback, so the entries must have arrived intact.
    ProxySystem::setSystemProxy(
        QStringLiteral("twk-tester"),
        QStringLiteral("{\"http_proxy\":\"http://127.0.0.1:9/\",\"no_proxy\":\"127.0.0.1\"}"));
    const QString childLog = m_dir.filePath(QStringLiteral("apt-get.log"));
    installAptGet("{ echo \"args: $*\"; /usr/bin/env; echo; } >>'" + QFile::encodeName(childLog) +
                  "'\nexec /usr/bin/apt-get \"$@\"");
    startNetworkManager(70);
    qputenv("TWK_IMMUTABLE_MODE", "true"); // the system's own index is updated too

    QVERIFY(AptCache::AptUpdate());

    QFile log(childLog);
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QStringList runs =
        QString::fromUtf8(log.readAll()).split(QStringLiteral("\n\n"), Qt::SkipEmptyParts);
    QCOMPARE(runs.size(), 2);
    QVERIFY2(
        runs.at(0).startsWith(QStringLiteral("args: -c ") + config + QStringLiteral(" update\n")),
        qPrintable(runs.at(0)));
    QVERIFY2(runs.at(1).startsWith(QStringLiteral("args: update\n")), qPrintable(runs.at(1)));
    for (const QString &run : runs) {
        const QStringList environment = run.split(u'\n').mid(1);
        for (const QString &entry :
             {QStringLiteral("LANGUAGE=en_US"), QStringLiteral("http_proxy=http://127.0.0.1:9/"),
              QStringLiteral("no_proxy=127.0.0.1")})
            QVERIFY2(environment.contains(entry), qPrintable(run));
        // The daemon's own environment stays out.
        QVERIFY2(!run.contains(QStringLiteral("TWK_SOURCE_DIR=")), qPrintable(run));
    }
    QVERIFY(!QDir(state(QStringLiteral("lists")))
                 .entryList({QStringLiteral("127.0.0.1*Packages*")}, QDir::Files)
                 .isEmpty());

    const auto upgradable = AptCache::getAptUpgradableList();
    QVERIFY(upgradable.first);
    QCOMPARE(upgradable.second, QList<QString>{package});

    QVERIFY(AptCache::isCandidateVersionAtLeast(package, QString()));
    QVERIFY(AptCache::isCandidateVersionAtLeast(package, QStringLiteral("2.0")));
    QVERIFY(!AptCache::isCandidateVersionAtLeast(package, QStringLiteral("2.0.1")));
    QVERIFY(!AptCache::isCandidateVersionAtLeast(QStringLiteral("twk-test-nothing"), QString()));
    QVERIFY(!AptCache::isCandidateVersionAtLeast(package + QStringLiteral(" --help"), QString()));

    // After an update the private lists are no longer thrown away.
    AptCache::clearCustomSourceListsCache();
    QVERIFY(QFileInfo::exists(state(QStringLiteral("lists"))));
    QVERIFY2(guard.restore(), qPrintable(guard.errorString()));
}

QTEST_GUILESS_MAIN(TestAptIndexUpdate)
#include "tst_apt_index_update.moc"
