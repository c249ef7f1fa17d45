#include "dpkg_listing.h"
#include "engine_test_setup.h"
#include "local_apt_repository.h"
#include "task/aptdownload.h"
#include "task/predownloadmanager.h"
#include "test_env.h"
#include "utils/process_runner.h"
#include "utils/proxy_system.h"
#include "utils/utils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using AppStore::Utils;

namespace {

const QString kPackage = QStringLiteral("twk-test-predl");
const QString kSlowPackage = QStringLiteral("twk-test-predl-slow");

Apt_Task upgradeTask(const QString &name, const QString &version = QString())
{
    Apt_Task task;
    task.sourceId = QStringLiteral("upgrade");
    task.packageName = name;
    task.version = version;
    task.uid = 0;
    return task;
}

} // namespace

// Real download-only apt-get runs from a throttled loopback repository into
// the daemon's cache in a temporary tree; one package is installed in the
// machine's dpkg database at its older version and purged afterwards.
class TestPreDownloadRuns : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void fetchesTheUpgradeWithoutInstalling();
    void missingVersionAsksForRefreshAndLeavesTheQueue();
    void noAptGetOutlivesAnEnd();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    // Download-only apt-get runs anywhere on the machine with the daemon's
    // apt configuration of this test (the package query before each has it
    // too).
    int aptRuns() const;

    QTemporaryDir m_dir;
    LocalAptRepository m_repository;
    QString m_aptConfig;
};

void TestPreDownloadRuns::initTestCase()
{
    QVERIFY(m_dir.isValid());
    AppStore::AptSources::setRoots(path(QStringLiteral("state/")), path(QStringLiteral("etc-apt")),
                                   path(QStringLiteral("cache/")));
    ProxySystem::setSettingsFilePath(path(QStringLiteral("proxy.conf")));

    LocalAptRepository::PackageOptions slow;
    slow.fillerBytes = 4 * 1000 * 1000;
    QVERIFY2(m_repository.addPackage(kPackage, QStringLiteral("1.0")) &&
                 m_repository.addPackage(kPackage, QStringLiteral("1.1")) &&
                 m_repository.addPackage(kSlowPackage, QStringLiteral("1.0"), slow) &&
                 m_repository.publish(LocalAptRepository::Transport::Http, 400 * 1000),
             qPrintable(m_repository.errorString()));
    QVERIFY(EngineTestSetup::writeSystemSources(path(QStringLiteral("etc-apt")),
                                                m_repository.sourcesLine()));
    QVERIFY(Utils::updateSourceDir());
    QVERIFY(Utils::checkCustomCacheDir());
    const QString configError =
        EngineTestSetup::writeAptConfigs(Utils::stateDir(), Utils::cacheDir());
    QVERIFY2(configError.isEmpty(), qPrintable(configError));
    m_aptConfig = Utils::aptConfigFilePath();
    QVERIFY(TestEnv::runTool(QStringLiteral("apt-get"),
                             {QStringLiteral("-c"), m_aptConfig, QStringLiteral("update")})
                .succeeded());
    QVERIFY(TestEnv::runTool(
                QStringLiteral("dpkg"),
                {QStringLiteral("-i"), m_repository.debPath(kPackage, QStringLiteral("1.0"))},
                m_repository.environment())
                .succeeded());
}

void TestPreDownloadRuns::cleanupTestCase()
{
    TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("-P"), kPackage},
                     m_repository.environment());
}

int TestPreDownloadRuns::aptRuns() const
{
    const QByteArray config = QFile::encodeName(m_aptConfig);
    int runs = 0;
    for (const qint64 pid : TestEnv::processIds()) {
        const QByteArray commandLine =
            TestEnv::readFile(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (commandLine.contains(config) && commandLine.contains(QByteArray("\0install\0-d\0", 12)))
            ++runs;
    }
    return runs;
}

void TestPreDownloadRuns::fetchesTheUpgradeWithoutInstalling()
{
    AptDownload worker;
    QSignalSpy progress(&worker, &AptDownload::sigDownloadProgress);
    QSignalSpy updates(&worker, &AptDownload::sigAptUpdate);
    worker.startDownload(upgradeTask(kPackage));
    QVERIFY(progress.wait(60000));

    const qint64 size = QFileInfo(m_repository.debPath(kPackage, QStringLiteral("1.1"))).size();
    QCOMPARE(progress.first().at(2).toLongLong(), size);
    QCOMPARE(progress.first().at(3).toLongLong(), size);
    QVERIFY(updates.isEmpty());
    QVERIFY(!worker.isBusy());
    QVERIFY(!QDir(Utils::cacheDir() + QStringLiteral("archives"))
                 .entryList({kPackage + QStringLiteral("_1.1_*.deb")}, QDir::Files)
                 .isEmpty());
    QCOMPARE(DpkgListing::field(kPackage, QStringLiteral("Version")), QStringLiteral("1.0"));
}

void TestPreDownloadRuns::missingVersionAsksForRefreshAndLeavesTheQueue()
{
    PreDownloadManager manager(nullptr, {}, 2);
    QSignalSpy updates(&manager, &PreDownloadManager::sigAptUpdate);
    manager.start();
    manager.addTask(upgradeTask(kPackage, QStringLiteral("9.9")));
    QVERIFY(TestEnv::waitFor([&] { return updates.size() == 1; }, 60000));
    QCOMPARE(updates.first().first().toBool(), false);

    // Only a task that left the queue can be queued again.
    manager.addTask(upgradeTask(kPackage, QStringLiteral("9.9")));
    QVERIFY(TestEnv::waitFor([&] { return updates.size() == 2; }, 60000));
    manager.stop();
}

// A user install withdraws a running pre-download, and stop() returns with
// nothing left running.
void TestPreDownloadRuns::noAptGetOutlivesAnEnd()
{
    PreDownloadManager manager(nullptr, {}, 4);
    manager.start();
    manager.addTask(upgradeTask(kSlowPackage));
    QVERIFY(TestEnv::waitFor([&] { return aptRuns() == 1; }, 30000));
    manager.removeTask(upgradeTask(kSlowPackage));
    QVERIFY(TestEnv::waitFor([&] { return aptRuns() == 0; }, 10000));

    manager.addTask(upgradeTask(kSlowPackage));
    QVERIFY(TestEnv::waitFor([&] { return aptRuns() == 1; }, 30000));
    manager.stop();
    QCOMPARE(aptRuns(), 0);
    QVERIFY(!manager.isRunning());
}

QTEST_GUILESS_MAIN(TestPreDownloadRuns)
#include "tst_pre_download_runs.moc"
