#include "common/common.h"
#include "database/appstoredb.h"
#include "engine_test_setup.h"
#include "local_apt_repository.h"
#include "task/aptdownloadtask.h"
#include "task/aptfixtask.h"
#include "test_env.h"
#include "utils/process_runner.h"
#include "utils/proxy_system.h"
#include "utils/utils.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

using AppStore::Utils;

namespace {

struct Progress
{
    qlonglong total = 0;
    qlonglong current = 0;
    QJsonObject status;
};

// What a task told the manager, collected on the test's thread.
struct Recorder
{
    QList<Progress> progress;
    QList<Apt_Task> handedOver;
    QStringList operationChanges;
    QStringList notifications;
    int pauses = 0;
    int finished = 0;
    int updateRequests = 0;

    void attach(AptDownloadTask *task, QObject *context)
    {
        QObject::connect(
            task, &AptDownloadTask::sigDownloadProgress, context,
            [this](QString, QString, qlonglong total, qlonglong current, QString status) {
                progress.append(
                    {total, current, QJsonDocument::fromJson(status.toUtf8()).object()});
            });
        QObject::connect(task, &AptDownloadTask::sigStartInstallOperation, context,
                         [this](Apt_Task task) { handedOver.append(task); });
        QObject::connect(task, &AptDownloadTask::sigAptOperationDataChange, context,
                         [this](Apt_Task, QString word) { operationChanges.append(word); });
        QObject::connect(task, &AptDownloadTask::sigSendSystemNotification, context,
                         [this](QString json) { notifications.append(json); });
        QObject::connect(task, &AptDownloadTask::sigFinished, context, [this] { ++finished; });
        QObject::connect(task, &AptDownloadTask::sigPauseFinished, context, [this] { ++pauses; });
        // Stands in for the apt-update thread: the request is served at once.
        QObject::connect(
            task, &AptDownloadTask::sigAptUpdate, task,
            [this] {
                ++updateRequests;
                Utils::startAptUpdateTask();
                QThread::msleep(5);
                Utils::AptUpdateFinish(QDateTime::currentDateTime(), true);
            },
            Qt::DirectConnection);
    }
};

} // namespace

// The daemon's state, apt and cache directories lie in a temporary tree whose
// private sources name one loopback repository; apt-get is the real one,
// behind a wrapper that logs each run.
class TestAptDownloadTask : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void downloadsIntoCacheWithProgress();
    void missingPackageIsRetriedThenClassified_data();
    void missingPackageIsRetriedThenClassified();
    void requestsEndTheTask();
    void fixTaskReportsCleanSystem();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QStringList aptRuns() const;
    void runToEnd(AptDownloadTask *task, Recorder &recorder);
    Apt_Task makeTask(const QString &packageName) const;

    QTemporaryDir m_dir;
    LocalAptRepository m_repository;
    QThreadPool m_pool;
};

void TestAptDownloadTask::initTestCase()
{
    QVERIFY(m_dir.isValid());
    AppStore::AptSources::setRoots(path(QStringLiteral("state/")), path(QStringLiteral("etc-apt")),
                                   path(QStringLiteral("cache/")));
    ProxySystem::setSettingsFilePath(path(QStringLiteral("proxy.conf")));
    AppstoreDb::setDatabasePath(path(QStringLiteral("appstore.db")));

    LocalAptRepository::PackageOptions options;
    options.fillerBytes = 3 * 1000 * 1000;
    QVERIFY2(
        m_repository.addPackage(QStringLiteral("twk-test-fetch"), QStringLiteral("1.0"), options) &&
            m_repository.publish(LocalAptRepository::Transport::Http, 2 * 1000 * 1000),
        qPrintable(m_repository.errorString()));

    QVERIFY(EngineTestSetup::writeSystemSources(path(QStringLiteral("etc-apt")),
                                                m_repository.sourcesLine()));
    QVERIFY(Utils::updateSourceDir());
    QVERIFY(Utils::checkCustomCacheDir());
    const QString configError =
        EngineTestSetup::writeAptConfigs(Utils::stateDir(), Utils::cacheDir());
    QVERIFY2(configError.isEmpty(), qPrintable(configError));
    QCOMPARE(Utils::aptConfigFilePath(), Utils::stateDir() + QStringLiteral("apt_custom.conf"));

    AppStore::ProcessSpec update;
    update.program = QStringLiteral("apt-get");
    update.arguments = {QStringLiteral("-c"), Utils::aptConfigFilePath(), QStringLiteral("update")};
    update.timeoutMs = 120000;
    const AppStore::ProcessResult updated = AppStore::ProcessRunner::run(update);
    QVERIFY2(updated.succeeded(), qPrintable(updated.errorText()));

    QVERIFY(TestEnv::writeFile(path(QStringLiteral("bin/apt-get")),
                               "#!/bin/sh\n{ echo \"args: $*\"; /usr/bin/env; echo; } >>'" +
                                   QFile::encodeName(path(QStringLiteral("apt-get.log"))) +
                                   "'\nexec /usr/bin/apt-get \"$@\"\n",
                               true));
    qputenv("PATH", QFile::encodeName(path(QStringLiteral("bin"))) + ':' + qgetenv("PATH"));
}

QStringList TestAptDownloadTask::aptRuns() const
{
    QFile log(path(QStringLiteral("apt-get.log")));
    if (!log.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(log.readAll()).split(QStringLiteral("\n\n"), Qt::SkipEmptyParts);
}

Apt_Task TestAptDownloadTask::makeTask(const QString &packageName) const
{
    Apt_Task task;
    task.sourceId = STORE_PACKAGE_NAME;
    task.packageName = packageName;
    task.appName = QStringLiteral("Fetch");
    task.loginName = QStringLiteral("twk-tester");
    task.uid = 4242;
    return task;
}

void TestAptDownloadTask::runToEnd(AptDownloadTask *task, Recorder &recorder)
{
    QFile::remove(path(QStringLiteral("apt-get.log")));
    recorder.attach(task, this);
    m_pool.start(task);
    QVERIFY(TestEnv::waitFor([&] { return recorder.finished > 0; }, 120000));
    QVERIFY(m_pool.waitForDone(10000));
    QCoreApplication::processEvents();
    // The pool does not delete it.
    delete task;
}

void TestAptDownloadTask::downloadsIntoCacheWithProgress()
{
    const QString package = QStringLiteral("twk-test-fetch");
    Recorder recorder;
    runToEnd(new AptDownloadTask(makeTask(package)), recorder);

    // The total is the archive's exact size, in bytes.
    const qint64 size = QFileInfo(m_repository.debPath(package, QStringLiteral("1.0"))).size();
    QVERIFY(!recorder.progress.isEmpty());
    const Progress last = recorder.progress.takeLast();
    QCOMPARE(last.total, size);
    QCOMPARE(last.current, size);
    QCOMPARE(last.status.value(QStringLiteral("code")).toInt(), 200);
    QVERIFY2(!recorder.progress.isEmpty(), "no progress while the download ran");
    for (const Progress &step : std::as_const(recorder.progress)) {
        QCOMPARE(step.total, size);
        QVERIFY(step.current >= 0 && step.current < size);
        QCOMPARE(step.status.value(QStringLiteral("code")).toInt(), 0);
    }
    QCOMPARE(recorder.handedOver.size(), 1);
    QCOMPARE(recorder.handedOver.first().packageName, package);
    QCOMPARE(recorder.finished, 1);
    QVERIFY(recorder.operationChanges.isEmpty());
    QVERIFY(recorder.notifications.isEmpty());
    QVERIFY(!QDir(Utils::cacheDir() + QStringLiteral("archives"))
                 .entryList({package + QStringLiteral("_1.0_*.deb")}, QDir::Files)
                 .isEmpty());

    const QStringList runs = aptRuns();
    QCOMPARE(runs.size(), 1);
    QVERIFY2(runs.first().startsWith(QStringLiteral("args: -c ") + Utils::aptConfigFilePath()),
             qPrintable(runs.first()));
    QVERIFY2(runs.first().contains(QStringLiteral(" install -- ^twk-test-fetch$\n")),
             qPrintable(runs.first()));
    const QStringList environment = runs.first().split(u'\n').mid(1);
    QVERIFY(environment.contains(QStringLiteral("LANGUAGE=en_US")));
    QVERIFY(environment.contains(QStringLiteral("PACKAGEKIT_CALLER_UID=4242")));
    QVERIFY2(!runs.first().contains(QStringLiteral("TWK_SOURCE_DIR=")), qPrintable(runs.first()));
}

void TestAptDownloadTask::missingPackageIsRetriedThenClassified_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("error");
    QTest::newRow("unknown package") << QStringLiteral("twk-test-absent") << QString()
                                     << QStringLiteral("E: Unable to locate package");
    // apt-get exits 0 here without fetching anything.
    QTest::newRow("unknown version")
        << QStringLiteral("twk-test-fetch") << QStringLiteral("9.9")
        << QStringLiteral("E: Version '9.9' for 'twk-test-fetch' was not found");
    QTest::newRow("refused name") << QStringLiteral("-oAPT::Get::Fix=1") << QString()
                                  << QStringLiteral("E: Unable to locate package");
}

// One retry after an index update, then the failure is classified, recorded
// in the history and announced.
void TestAptDownloadTask::missingPackageIsRetriedThenClassified()
{
    QFETCH(QString, package);
    QFETCH(QString, version);
    QFETCH(QString, error);
    Apt_Task task = makeTask(package);
    task.version = version;
    Recorder recorder;
    runToEnd(new AptDownloadTask(task), recorder);

    const bool refused = package.startsWith(u'-');
    QCOMPARE(aptRuns().size(), refused ? 0 : 2);
    QVERIFY(refused || recorder.updateRequests >= 1);
    QVERIFY(recorder.handedOver.isEmpty());
    QVERIFY(!recorder.progress.isEmpty());
    const Progress last = recorder.progress.last();
    QCOMPARE(last.current, -1);
    QCOMPARE(last.status.value(QStringLiteral("code")).toInt(), 504);
    QVERIFY2(last.status.value(QStringLiteral("error")).toString().contains(error),
             qPrintable(last.status.value(QStringLiteral("error")).toString()));
    QCOMPARE(recorder.finished, 1);
    QCOMPARE(recorder.operationChanges, QStringList{QString()});
    QCOMPARE(recorder.notifications.size(), 1);
    const QJsonObject notice =
        QJsonDocument::fromJson(recorder.notifications.first().toUtf8()).object();
    QCOMPARE(notice.value(QStringLiteral("opt")).toInt(), 2);
    QCOMPARE(notice.value(QStringLiteral("packageName")).toString(), package);

    AppStore::PackageOperation row;
    QVERIFY(AppstoreDb::instance()->selectApplicationHistoryInfoByName(package, row));
    QCOMPARE(row.operation, QStringLiteral("4"));
}

// A pause in the middle of a download kills apt-get and ends the run from
// the requesting thread; a stop before the run starts leaves nothing to run.
void TestAptDownloadTask::requestsEndTheTask()
{
    const QString package = QStringLiteral("twk-test-fetch");
    for (const QString &archive :
         QDir(Utils::cacheDir() + QStringLiteral("archives")).entryList({QStringLiteral("*.deb")}))
        QVERIFY(QFile::remove(Utils::cacheDir() + QStringLiteral("archives/") + archive));
    QFile::remove(path(QStringLiteral("apt-get.log")));

    Recorder recorder;
    auto *task = new AptDownloadTask(makeTask(package));
    recorder.attach(task, this);
    m_pool.start(task);
    QVERIFY(TestEnv::waitFor([&] { return !recorder.progress.isEmpty(); }, 60000));
    task->onPauseTaskSlot(makeTask(package));
    task->onStopTaskSlot(makeTask(package)); // a second request changes nothing
    QVERIFY(m_pool.waitForDone(15000));
    QCoreApplication::processEvents();
    delete task;

    QCOMPARE(recorder.pauses, 1);
    QCOMPARE(recorder.finished, 1);
    QCOMPARE(recorder.operationChanges, QStringList{QString()});
    QVERIFY(recorder.handedOver.isEmpty());
    QVERIFY(recorder.notifications.isEmpty());
    for (const Progress &step : std::as_const(recorder.progress))
        QCOMPARE(step.status.value(QStringLiteral("code")).toInt(), 0);
    QCOMPARE(aptRuns().size(), 1);
    AppStore::PackageOperation row;
    QVERIFY(AppstoreDb::instance()->selectApplicationHistoryInfoByName(package, row));
    QCOMPARE(row.operation, QStringLiteral("3"));

    QFile::remove(path(QStringLiteral("apt-get.log")));
    Recorder early;
    task = new AptDownloadTask(makeTask(package));
    early.attach(task, this);
    task->onStopTaskSlot(makeTask(package));
    m_pool.start(task);
    QVERIFY(m_pool.waitForDone(5000));
    QCoreApplication::processEvents();
    delete task;
    QCOMPARE(early.finished, 1);
    QCOMPARE(early.pauses, 0);
    QVERIFY(aptRuns().isEmpty());
}

// Nothing to repair on this machine: the repair reports success, and it runs
// with the PATH dpkg needs but nothing else of the daemon's environment.
void TestAptDownloadTask::fixTaskReportsCleanSystem()
{
    QFile::remove(path(QStringLiteral("apt-get.log")));
    AptFixTask *fix = new AptFixTask(QStringLiteral("twk-test-fetch"));
    QList<QPair<QString, bool>> results;
    connect(fix, &AptFixTask::sigAptFixTaskSucceeded, this, [&results](QString name, bool ok) {
        results.append({name, ok});
    });
    m_pool.start(fix);
    QVERIFY(m_pool.waitForDone(600000));
    QCoreApplication::processEvents();
    delete fix;

    QCOMPARE(results.size(), 1);
    QCOMPARE(results.first().first, QStringLiteral("twk-test-fetch"));
    QVERIFY(results.first().second);
    const QStringList runs = aptRuns();
    QCOMPARE(runs.size(), 1);
    QVERIFY2(runs.first().startsWith(QStringLiteral("args: -y -c ") + Utils::aptConfigFilePath() +
                                     QStringLiteral(" -o Dpkg::Options::=--force-confdef -o "
                                                    "Dpkg::Options::=--force-confold install -f -o "
                                                    "APT::Get::AutomaticRemove=false -o "
                                                    "APT::Get::Remove=false\n")),
             qPrintable(runs.first()));
    QVERIFY(runs.first().contains(QStringLiteral("\nPATH=")));
    QVERIFY(!runs.first().contains(QStringLiteral("LANGUAGE=")));
    QVERIFY(!runs.first().contains(QStringLiteral("TWK_SOURCE_DIR=")));
}

QTEST_GUILESS_MAIN(TestAptDownloadTask)
#include "tst_apt_download_task.moc"
