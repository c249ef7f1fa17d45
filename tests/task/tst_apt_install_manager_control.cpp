#include "common/apt_task.h"
#include "common/common.h"
#include "common/download_state_bi_data.h"
#include "common/operation_codes.h"
#include "database/appstoredb.h"
#include "database/cachedatabase.h"
#include "dpkg_listing.h"
#include "engine_recorder.h"
#include "engine_test_setup.h"
#include "service/thread_pool_manager.h"
#include "task/apt_install_manager.h"
#include "task/hookcachedata.h"
#include "test_env.h"
#include "utils/utils.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using AppStore::Utils;

namespace {

const QString kStore = QStringLiteral("velkor-app-store");
const QString kUser = QStringLiteral("twk-tester");
const QString kHello = QStringLiteral("twk-test-hello");
const QString kBroken = QStringLiteral("twk-test-broken");
const QString kSlow = QStringLiteral("twk-test-slow");
const QString kLocal = QStringLiteral("twk-test-local");

using Progress = EngineProgress;

Apt_Task storeTask(const QString &name)
{
    return EngineTestSetup::storeTask(name, kUser);
}

QStringList historyRow(const QString &package)
{
    return EngineTestSetup::historyRow(
        package, {QStringLiteral("operation"), QStringLiteral("result"), QStringLiteral("content"),
                  QStringLiteral("sessionId"), QStringLiteral("appSize")});
}

QJsonObject jsonOf(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

} // namespace

// The client's control over tasks in work, the operation lists, the start-up
// settling of cut-off installs and the install of a local package file, all
// driven from this thread: control calls straight from it, new tasks queued
// by name (the bus object queues both to the manager's thread).
class TestAptInstallManagerControl : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void startupSettlesInterruptedInstalls();
    void queuedTasksComeOutOfThePool();
    void repeatedRequestIsDropped();
    void requestBehindTheManagersOwnSteps_data();
    void requestBehindTheManagersOwnSteps();
    void requestsRaceTheEndOfManyTasks();
    void runningDownloadPausedStoppedDeletedResumed();
    void localPackageFile();
    void localPackageFileRefused_data();
    void localPackageFileRefused();

private:
    void addTask(const Apt_Task &task);
    void settleManager();
    QStringList operationNames() const;

    EngineTestSetup m_setup;
    AptInstallManager *m_manager = nullptr;
    EngineRecorder m_recorded;
    QStringList m_events; // control-side signals, in the order they came
    std::unique_ptr<HookCacheData> m_hookCache = std::make_unique<HookCacheData>();
    QStringList m_hookTasks;
    QList<DownloadStateBiData> m_statistics;
    QTemporaryDir m_localDir;
    QString m_localDeb; // twk-test-local 2.0, writable by everyone
};

void TestAptInstallManagerControl::initTestCase()
{
    LocalAptRepository &repository = m_setup.repository();
    QVERIFY(repository.addStandardPackages());
    // About seven seconds at the throttled rate: long enough to be caught
    // running several times over.
    LocalAptRepository::PackageOptions slow;
    slow.desktopApplication = false;
    slow.fillerBytes = 60000;
    QVERIFY(repository.addPackage(kSlow, QStringLiteral("1.0"), slow));
    QVERIFY2(m_setup.start(qEnvironmentVariable("TWK_CHILDRENGUARD_STANDIN"),
                           {kUser + QStringLiteral("=2")}, 8192),
             qPrintable(m_setup.errorString()));
    QString agree = QStringLiteral("1");
    AppstoreDb::instance()->updateSettingByColumnName(QStringLiteral("agreeSign"), agree);

    const QString tree = m_localDir.filePath(QStringLiteral("tree"));
    QVERIFY(TestEnv::writeFile(tree + QStringLiteral("/DEBIAN/control"),
                               "Package: twk-test-local\nVersion: 2.0\nArchitecture: all\n"
                               "Maintainer: Test <test@localhost>\n"
                               "Description: local test package\n"));
    QVERIFY(TestEnv::writeFile(tree + QStringLiteral("/usr/share/twk-test-local/marker"), "x"));
    m_localDeb = m_localDir.filePath(QStringLiteral("local.deb"));
    QVERIFY(
        TestEnv::runTool(QStringLiteral("dpkg-deb"), {QStringLiteral("--root-owner-group"),
                                                      QStringLiteral("--build"), tree, m_localDeb})
            .succeeded());
    QVERIFY(QFile::setPermissions(m_localDeb, QFile::ReadOwner | QFile::WriteOwner |
                                                  QFile::ReadGroup | QFile::WriteGroup |
                                                  QFile::ReadOther | QFile::WriteOther));

    m_manager = new AptInstallManager;
    m_recorded.attach(m_manager);
    // The dpkg hook reports the store's own install before its end reaches the cache.
    connect(
        m_manager, &AptInstallManager::sigIntallProgress, this,
        [this](QString, QString name, int, qlonglong, qlonglong, QString status) {
            if (name == kSlow && status.contains(QLatin1String("[Session Complete...]")))
                emit m_hookCache->sigDpkgHookOpt(name, QStringLiteral("1.0"), "install");
        },
        Qt::DirectConnection);
    m_hookCache->followEngine(m_manager);
    connect(m_hookCache.get(), &HookCacheData::sigAptInstRm, this,
            [this](QString name) { m_hookTasks.append(name); });
    m_hookCache->startThread();
    connect(m_manager, &AptInstallManager::sigPauseFinished, this,
            [this](QString id, QString package) {
                m_events.append(QStringLiteral("paused ") + id + u' ' + package);
            });
    connect(m_manager, &AptInstallManager::sigPauseRunningTasks, this,
            [this](QString id, QStringList names) {
                m_events.append(QStringLiteral("pause running ") + id + u' ' + names.join(u','));
            });
    connect(m_manager, &AptInstallManager::sigRemoveHookCacheData, this, [this](QStringList names) {
        m_events.append(QStringLiteral("release ") + names.join(u','));
    });
    const auto running = [this](const char *word) {
        return [this, word](Apt_Task task) {
            m_events.append(QLatin1String(word) + task.packageName);
        };
    };
    connect(m_manager, &AptInstallManager::sigStopRunningTask, this, running("stop running "));
    connect(m_manager, &AptInstallManager::sigPauseRunningTask, this, running("pause running "));
    connect(m_manager, &AptInstallManager::sigPrepareDeleteRunningTask, this,
            running("delete running "));
    connect(ThreadPoolManager::instance(), &ThreadPoolManager::sigAddUploadDownloadTask, this,
            [this](DownloadStateBiData data) { m_statistics.append(data); });
}

void TestAptInstallManagerControl::cleanupTestCase()
{
    Utils::setWineInstalling(false);
    if (m_manager) {
        m_manager->stopThread();
        delete m_manager;
    }
    QCoreApplication::removePostedEvents(this);
    CacheDatabase::instance()->stop();
    TestEnv::runTool(
        QStringLiteral("dpkg"),
        {QStringLiteral("--purge"), QStringLiteral("--force-all"), kHello, kBroken, kSlow, kLocal});
}

void TestAptInstallManagerControl::addTask(const Apt_Task &task)
{
    Apt_Task copy = task;
    QVERIFY(QMetaObject::invokeMethod(m_manager, "addDownloadPoolTask", Qt::QueuedConnection,
                                      Q_ARG(Apt_Task &, copy)));
}

// Whatever the manager's thread has queued for itself so far has run.
void TestAptInstallManagerControl::settleManager()
{
    for (int i = 0; i < 2; ++i)
        QVERIFY(QMetaObject::invokeMethod(
            m_manager, [] {}, Qt::BlockingQueuedConnection));
}

QStringList TestAptInstallManagerControl::operationNames() const
{
    QStringList names;
    for (const QString &text : m_manager->getAptOperationList())
        names.append(jsonOf(text).value(QLatin1String("packagename")).toString());
    return names;
}

// Rows a crash left "installing": a package dpkg has fully installed counts
// as done; one left half-configured, or missing, is an interrupted install.
void TestAptInstallManagerControl::startupSettlesInterruptedInstalls()
{
    const QStringList environment = m_setup.repository().environment();
    TestEnv::runTool(
        QStringLiteral("dpkg"),
        {QStringLiteral("-i"), m_setup.repository().debPath(kHello, QStringLiteral("1.0"))},
        environment);
    TestEnv::runTool(
        QStringLiteral("dpkg"),
        {QStringLiteral("-i"), m_setup.repository().debPath(kBroken, QStringLiteral("1.0"))},
        environment);
    QCOMPARE(DpkgListing::field(kHello, QStringLiteral("Status")),
             QStringLiteral("install ok installed"));
    QCOMPARE(DpkgListing::field(kBroken, QStringLiteral("Status")),
             QStringLiteral("install ok half-configured"));

    const QString absent = QStringLiteral("twk-test-absent");
    const QString paused = QStringLiteral("twk-test-paused");
    const auto row = [](const QString &name, const QString &operation, const QString &result) {
        AppstoreDb::instance()->updateApplicationHistoryInfo(
            name, QStringLiteral("1.0"), QStringLiteral("0"), operation,
            QStringLiteral("2024-01-01 00:00:00"), QStringLiteral("0"), result, name, QString(),
            QStringLiteral("99"), QString(), QString(), QStringLiteral("0"), QString(), QString(),
            QString(), QString(), QStringLiteral("99"), QStringLiteral("0"),
            QStringLiteral("s-") + name);
    };
    row(kHello, QStringLiteral("6"), QStringLiteral("0"));
    row(kBroken, QStringLiteral("6"), QStringLiteral("1"));
    row(absent, QStringLiteral("6"), QStringLiteral("0"));
    row(paused, QStringLiteral("3"), QStringLiteral("0"));
    m_statistics.clear();

    m_manager->syncLastInstallingTaskToPauseImply();

    const QString installedKiB =
        QString::number(DpkgListing::field(kHello, QStringLiteral("Installed-Size")).toLongLong());
    QCOMPARE(historyRow(kHello).mid(0, 2), (QStringList{"1", "0"}));
    QCOMPARE(historyRow(kHello).value(4), installedKiB);
    QCOMPARE(historyRow(kBroken).mid(0, 2), (QStringList{"7", "0"}));
    QCOMPARE(historyRow(absent).mid(0, 2), (QStringList{"7", "0"}));
    QCOMPARE(historyRow(paused).mid(0, 2), (QStringList{"3", "0"}));

    QTRY_COMPARE(m_statistics.size(), 2);
    QMap<QString, QString> typeOf;
    for (const DownloadStateBiData &data : std::as_const(m_statistics)) {
        QCOMPARE(data.code, QStringLiteral("500"));
        QCOMPARE(data.package_version, QStringLiteral("1.0"));
        QCOMPARE(data.session_id, QStringLiteral("s-") + data.package_name);
        typeOf.insert(data.package_name, data.type);
    }
    QCOMPARE(typeOf, (QMap<QString, QString>{{kBroken, "49"}, {absent, "44"}}));

    TestEnv::runTool(QStringLiteral("dpkg"),
                     {QStringLiteral("--purge"), QStringLiteral("--force-all"), kHello, kBroken},
                     environment);
}

// With every download thread held by a running task, later tasks wait in the
// pool: control requests take them back out, and they never run.
void TestAptInstallManagerControl::queuedTasksComeOutOfThePool()
{
    // A running download waits for a wine install to end before it fetches.
    Utils::setWineInstalling(true);
    QStringList holders;
    for (int i = 0; i < m_manager->downloadThreadCount(); ++i)
        holders.append(QStringLiteral("twk-test-hold-%1").arg(i));
    const QStringList queued{QStringLiteral("twk-test-q-paused"), QStringLiteral("twk-test-q-gone"),
                             QStringLiteral("twk-test-q-deleted"),
                             QStringLiteral("twk-test-q-part")};
    for (const QString &name : holders + queued)
        addTask(storeTask(name));
    settleManager();
    QStringList all = holders + queued;
    all.sort();
    QCOMPARE(operationNames(), all);
    const QJsonObject operation =
        jsonOf(m_manager->getPackageAptOperationInfo(QStringLiteral("twk-test-q-paused")));
    QCOMPARE(operation.value(QLatin1String("operation")).toString(), QStringLiteral("download"));
    const QString sessionId = operation.value(QLatin1String("sessionId")).toString();
    QVERIFY(!sessionId.isEmpty());
    QVERIFY(m_manager->getPackageAptOperationInfo(QStringLiteral("twk-test-paused")).isEmpty());

    m_events.clear();
    m_statistics.clear();
    Apt_Task request = storeTask(QStringLiteral("twk-test-q-paused"));
    m_manager->pauseTask(request);
    QCOMPARE(m_events, (QStringList{"release twk-test-q-paused",
                                    "paused velkor-app-store twk-test-q-paused"}));
    QCOMPARE(historyRow(request.packageName).mid(0, 4), (QStringList{"3", "0", "0", sessionId}));
    QCOMPARE(m_statistics.size(), 1);
    QCOMPARE(m_statistics.first().type, QStringLiteral("44"));
    QCOMPARE(m_statistics.first().code, QStringLiteral("200"));
    QCOMPARE(m_statistics.first().session_id, sessionId);

    m_events.clear();
    request = storeTask(QStringLiteral("twk-test-q-gone"));
    m_manager->stopTask(request);
    QCOMPARE(m_events, QStringList{"release twk-test-q-gone"});
    QVERIFY(historyRow(request.packageName).isEmpty());

    m_events.clear();
    request = storeTask(QStringLiteral("twk-test-q-deleted"));
    m_manager->prepareToDeleteTask(request);
    QCOMPARE(m_events, QStringList{"release twk-test-q-deleted"});
    QCOMPARE(historyRow(request.packageName).value(0), QStringLiteral("6"));

    // One queued, one running, one unknown; another requester is ignored.
    m_events.clear();
    const QStringList part{QStringLiteral("twk-test-q-part"), holders.first(),
                           QStringLiteral("twk-test-none")};
    m_manager->pausePartAptTasks(QStringLiteral("SilentUpgrade"), part);
    QVERIFY(m_events.isEmpty());
    m_manager->pausePartAptTasks(kStore, part);
    QCOMPARE(m_events,
             (QStringList{"release twk-test-q-part", "paused velkor-app-store twk-test-q-part",
                          "pause running velkor-app-store " + holders.first(),
                          "release twk-test-none"}));
    QCOMPARE(historyRow(QStringLiteral("twk-test-q-part")).value(0), QStringLiteral("3"));
    // The running one pauses itself.
    QTRY_VERIFY(m_events.contains("paused velkor-app-store " + holders.first()));
    QTRY_COMPARE(historyRow(holders.first()).value(0), QStringLiteral("3"));
    m_manager->pausePartAptTasks(kStore, {});
    QCOMPARE(m_events.last(), QStringLiteral("pause running velkor-app-store "));

    // Only the holders still run; nothing taken back is left behind.
    QTRY_COMPARE(operationNames(), holders.mid(1));
    for (const QString &name : holders.mid(1)) {
        Apt_Task stop = storeTask(name);
        m_manager->stopTask(stop);
    }
    QTRY_VERIFY(operationNames().isEmpty());
    Utils::setWineInstalling(false);
    QTest::qWait(1500);
    for (const QString &name : holders + queued)
        QVERIFY2(!m_recorded.hasProgress(name, 0) && !m_recorded.hasProgress(name, 1),
                 qPrintable(name));
}

// A second request for a package whose download is in work is dropped
// whole: no new session, row, statistics record or message, and the task in
// work keeps its operation entry.
void TestAptInstallManagerControl::repeatedRequestIsDropped()
{
    // Holds the download before it fetches anything.
    Utils::setWineInstalling(true);
    const QString name = QStringLiteral("twk-test-repeated");
    addTask(storeTask(name));
    settleManager();
    const QString operation = m_manager->getPackageAptOperationInfo(name);
    const QStringList row = historyRow(name);
    QCOMPARE(row.value(0), QStringLiteral("6"));
    QTest::qWait(200);
    m_recorded.progress.clear();
    m_statistics.clear();

    addTask(storeTask(name));
    settleManager();
    QTest::qWait(200);
    QCOMPARE(m_manager->getPackageAptOperationInfo(name), operation);
    QCOMPARE(historyRow(name), row);
    QVERIFY(m_statistics.isEmpty());
    QVERIFY(m_recorded.progress.isEmpty());

    Apt_Task stop = storeTask(name);
    m_manager->stopTask(stop);
    QTRY_VERIFY(operationNames().isEmpty());
    Utils::setWineInstalling(false);
}

// A request queued to the busy manager's thread, as the bus does, behind a
// step handed over before it: a store install's intake (every download thread
// held, so that the install waits in the pool), then a pause; the start of a
// silent upgrade's install (of a package no repository has), then a stop.
void TestAptInstallManagerControl::requestBehindTheManagersOwnSteps_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("operation");
    QTest::newRow("pause behind an intake") << kStore << "3";
    QTest::newRow("stop in a silent upgrade's install") << "SilentUpgrade"
                                                        << "1";
}

void TestAptInstallManagerControl::requestBehindTheManagersOwnSteps()
{
    QFETCH(QString, source);
    QFETCH(QString, operation);
    const bool store = source == kStore;
    Utils::setWineInstalling(true);
    QStringList holders;
    for (int i = 0; i < m_manager->downloadThreadCount(); ++i)
        addTask(storeTask(holders.emplaceBack(QStringLiteral("twk-test-behind-%1").arg(i))));
    Apt_Task task = storeTask(QStringLiteral("twk-test-behind"));
    m_manager->addTaskToDb(OPERATION_INSTALL, task);
    task.sourceId = source;
    QAtomicInt held = 1;
    const auto queue = [this](auto step) {
        QMetaObject::invokeMethod(m_manager, step, Qt::QueuedConnection);
    };
    queue([&held] {
        while (held.loadAcquire())
            QThread::msleep(10);
    });
    queue([this, task, store]() mutable {
        store ? m_manager->addDownloadPoolTask(task) : m_manager->startInstallOrRemoveTask(task);
    });
    queue([this, task, store]() mutable {
        task.sourceId = kStore;
        store ? m_manager->pauseTask(task) : m_manager->stopTask(task);
    });
    m_events.clear();
    held.storeRelease(0);
    settleManager();
    QCoreApplication::processEvents();
    QCOMPARE(historyRow(task.packageName).value(0), operation);
    QVERIFY(m_manager->getPackageAptOperationInfo(task.packageName).isEmpty());
    QCOMPARE(m_events.contains("release " + task.packageName), store);

    for (const QString &holder : std::as_const(holders)) {
        Apt_Task stop = storeTask(holder);
        m_manager->stopTask(stop);
    }
    QTRY_VERIFY(operationNames().isEmpty());
    Utils::setWineInstalling(false);
    QVERIFY(store || m_recorded.waitForFinal(task.packageName));
}

// Pause, stop and delete requests and prompt answers keep coming while many
// short tasks end (downloads held before they fetch, removals of a package
// that is not installed). A task goes on its own thread once it has ended,
// never while a request is being delivered to it (the sanitizer suite
// watches), and leaves the task map with it: the package is taken again.
void TestAptInstallManagerControl::requestsRaceTheEndOfManyTasks()
{
    constexpr int kRounds = 3;
    constexpr int kPurgesPerRound = 6;
    QStringList names;
    for (int i = 0; i < 12; ++i)
        names.append(QStringLiteral("twk-test-race-%1").arg(i, 2, 10, QLatin1Char('0')));
    Apt_Task purge = storeTask(kHello);
    purge.taskType = 1;
    int purgesFinished = 0;
    const QMetaObject::Connection counter = connect(m_manager, &AptInstallManager::sigPurgeFinished,
                                                    this, [&purgesFinished] { ++purgesFinished; });
    QRandomGenerator random(20261209);
    Utils::setWineInstalling(true);

    for (int round = 1; round <= kRounds; ++round) {
        for (const QString &name : std::as_const(names))
            addTask(storeTask(name));
        for (int i = 0; i < kPurgesPerRound; ++i)
            m_manager->addPurgeTask(purge);
        settleManager();
        const QDeadlineTimer deadline(120000);
        while ((!operationNames().isEmpty() || purgesFinished < round * kPurgesPerRound) &&
               !deadline.hasExpired()) {
            Apt_Task request = storeTask(names.at(int(random.bounded(names.size()))));
            switch (random.bounded(3)) {
            case 0:
                m_manager->pauseTask(request);
                break;
            case 1:
                m_manager->stopTask(request);
                break;
            case 2:
                m_manager->prepareToDeleteTask(request);
                break;
            default:
                break;
            }
            // Enough answers to keep the manager's thread delivering them
            // to the removals all the time, never more than it can take.
            for (int i = 0; i < 20; ++i)
                m_manager->sendAptInput(purge, QStringLiteral("y"));
            settleManager();
            QCoreApplication::processEvents();
        }
        QVERIFY2(!deadline.hasExpired(), qPrintable(operationNames().join(u' ')));
    }
    disconnect(counter);

    QStringList taken;
    QVERIFY(TestEnv::waitFor(
        [&] {
            for (const QString &name : std::as_const(names))
                addTask(storeTask(name));
            settleManager();
            taken = operationNames();
            return taken == names;
        },
        30000));
    for (const QString &name : std::as_const(names)) {
        Apt_Task stop = storeTask(name);
        m_manager->stopTask(stop);
    }
    QTRY_VERIFY(operationNames().isEmpty());
    Utils::setWineInstalling(false);
    m_events.clear();
    m_recorded.progress.clear();
}

// A download in progress is asked, not taken: it ends itself and reports
// through its own signals. A new request starts it again from the intake,
// also one that comes while the ended task still winds down.
void TestAptInstallManagerControl::runningDownloadPausedStoppedDeletedResumed()
{
    const Apt_Task task = storeTask(kSlow);
    QString session;
    // A new session starts only once the task before is gone: all it sent
    // has reached this thread, and the progress after that is the new one's.
    const auto startedAgain = [&] {
        const auto sessionOf = [this] {
            return jsonOf(m_manager->getPackageAptOperationInfo(kSlow))
                .value(QLatin1String("sessionId"))
                .toString();
        };
        const QString before = session;
        if (!TestEnv::waitFor([&] { return !sessionOf().isEmpty() && sessionOf() != before; },
                              30000))
            return false;
        session = sessionOf();
        QCoreApplication::processEvents();
        // Whatever the task before sent was download progress, never a failure.
        for (const Progress &p : std::as_const(m_recorded.progress)) {
            if (p.package == kSlow && (p.state != 0 || p.progress < 0))
                return false;
        }
        m_recorded.progress.clear();
        return TestEnv::waitFor([&] { return m_recorded.hasProgress(kSlow, 0); }, 60000);
    };
    const auto ended = [&] {
        return TestEnv::waitFor(
            [&] { return m_manager->getPackageAptOperationInfo(kSlow).isEmpty(); }, 30000);
    };
    // The manager's thread waits until held is cleared: what is sent
    // meanwhile reaches it in one go, as requests queued by the bus do.
    QAtomicInt held = 0;
    const auto hold = [&] {
        held.storeRelease(1);
        QMetaObject::invokeMethod(
            m_manager,
            [&held] {
                while (held.loadAcquire())
                    QThread::msleep(10);
            },
            Qt::QueuedConnection);
    };

    addTask(task);
    QVERIFY(startedAgain());
    m_events.clear();
    Apt_Task request = task;
    m_manager->pauseTask(request);
    QCOMPARE(m_events, QStringList{"pause running " + kSlow});
    QTRY_VERIFY(m_events.contains("paused velkor-app-store " + kSlow));
    QVERIFY(m_events.contains("release " + kSlow));
    QVERIFY(ended());
    QCOMPARE(historyRow(kSlow).value(0), QStringLiteral("3"));

    addTask(task);
    QVERIFY(startedAgain());
    QCOMPARE(historyRow(kSlow).value(0), QStringLiteral("6"));
    // A resume right behind a pause waits, and the pause lets go of nothing.
    m_events.clear();
    hold();
    m_manager->pauseTask(request);
    addTask(task);
    held.storeRelease(0);
    QVERIFY(startedAgain());
    QVERIFY(!m_events.contains("release " + kSlow));
    m_events.clear();
    // The task takes the stop; a pause right behind it does not undo it.
    hold();
    m_manager->stopTask(request);
    m_manager->pauseTask(request);
    held.storeRelease(0);
    QCOMPARE(m_events, (QStringList{"stop running " + kSlow, "pause running " + kSlow}));
    QTRY_VERIFY(historyRow(kSlow).isEmpty());
    QTRY_VERIFY(m_events.contains("release " + kSlow));
    QVERIFY(ended());

    addTask(task);
    QVERIFY(startedAgain());
    m_events.clear();
    // A resume from the bus queued behind what the delete queues, entered first.
    hold();
    m_manager->prepareToDeleteTask(request);
    emit m_hookCache->sigInsertData(HookData{kSlow, 0});
    QMetaObject::invokeMethod(
        m_manager, [this, task] { addTask(task); }, Qt::QueuedConnection);
    held.storeRelease(0);
    QCOMPARE(m_events, QStringList{"delete running " + kSlow});
    QVERIFY(startedAgain());
    QVERIFY(m_events.contains("release " + kSlow));
    QCOMPARE(historyRow(kSlow).value(0), QStringLiteral("6"));

    // Resumed: the download runs to its end and the package is installed. A
    // pause that comes once the download has ended is refused: the install
    // stays the store's own until it ends; no second request is taken.
    hold();
    addTask(task);
    // The download's success is written once the task has owned its end.
    QVERIFY(
        TestEnv::waitFor([&] { return historyRow(kSlow).value(1) == HISTORY_RESULT_YES; }, 60000));
    m_events.clear();
    m_manager->pauseTask(request);
    held.storeRelease(0);
    settleManager();
    // So is a stop once the install stage has the package.
    m_manager->stopTask(request);
    addTask(task);
    settleManager();
    QCOMPARE(m_events, QStringList{"pause running " + kSlow});
    QVERIFY(m_recorded.waitForFinal(kSlow));
    QVERIFY2(m_recorded.finalOf(kSlow).progress != -1,
             qPrintable(m_recorded.finalOf(kSlow).status));
    QTRY_COMPARE(historyRow(kSlow).mid(0, 2), (QStringList{"1", "1"}));
    QCOMPARE(DpkgListing::field(kSlow, QStringLiteral("Status")),
             QStringLiteral("install ok installed"));
    const auto installing = std::find_if(m_recorded.progress.cbegin(), m_recorded.progress.cend(),
                                         [](const Progress &p) { return p.state == 1; });
    QVERIFY(std::none_of(installing, m_recorded.progress.cend(),
                         [](const Progress &p) { return p.state == 0; }));
    // Nor was its dpkg run taken for an outside install.
    emit m_hookCache->sigDpkgHookOpt(QStringLiteral("twk-test-marker"), "1.0", "remove");
    QTRY_COMPARE(m_hookTasks, QStringList{"twk-test-marker"});
}

// A package file on this machine goes straight to the install stage as
// root's own copy, never the repository's package of that name; a file left
// at its cache place by an earlier run is replaced, not installed.
void TestAptInstallManagerControl::localPackageFile()
{
    const QString deb = m_localDeb;
    const QString cached = Utils::cacheDir() + QStringLiteral("archives/twk-test-local.deb");
    QVERIFY(TestEnv::writeFile(cached, "left over from an earlier run"));

    m_recorded.progress.clear();
    Apt_Task task = storeTask(kLocal);
    task.version = QStringLiteral("2.0");
    task.downloadLink = QStringLiteral("file://") + deb;
    m_manager->addLocalInstallTask(task);
    QCOMPARE(task.totalSize, QFileInfo(deb).size());
    QVERIFY(!task.isTarPkg);
    QCOMPARE(TestEnv::readFile(cached), TestEnv::readFile(deb));
    QCOMPARE(TestEnv::fileMode(cached), 0644);
    QCOMPARE(QFileInfo(cached).ownerId(), 0u);
    QCOMPARE(QFileInfo(cached).groupId(), 0u);

    QVERIFY(m_recorded.waitForFinal(kLocal));
    QVERIFY2(m_recorded.finalOf(kLocal).progress != -1,
             qPrintable(m_recorded.finalOf(kLocal).status));
    QVERIFY(!m_recorded.hasProgress(kLocal, 0));
    QCOMPARE(DpkgListing::field(kLocal, QStringLiteral("Version")), QStringLiteral("2.0"));
    QTRY_COMPARE(historyRow(kLocal).value(0), QStringLiteral("1"));
}

// Refused at once with one failed final message, and nothing installed.
void TestAptInstallManagerControl::localPackageFileRefused_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("link");
    QTest::newRow("missing file") << "twk-test-missing" << QString()
                                  << "file:///nonexistent/twk-test-missing.deb";
    QTest::newRow("prefix in upper case")
        << "twk-test-upper" << QString() << "FILE:///etc/hostname";
    QTest::newRow("name leaving the cache")
        << "../../twk-test-out" << QString() << "file:///etc/hostname";
    const QString deb = QStringLiteral("file://") + m_localDeb;
    QTest::newRow("archive of another package") << "twk-test-other" << QString() << deb;
    QTest::newRow("archive of another version") << "twk-test-local"
                                                << "3.0" << deb;
    const QString link = m_localDir.filePath(QStringLiteral("link.deb"));
    QFile::link(m_localDeb, link);
    QTest::newRow("link to an archive")
        << "twk-test-local" << QString() << QStringLiteral("file://") + link;
}

void TestAptInstallManagerControl::localPackageFileRefused()
{
    QFETCH(QString, name);
    QFETCH(QString, version);
    QFETCH(QString, link);
    // The case before installed it from here.
    QFile::remove(Utils::cacheDir() + QStringLiteral("archives/twk-test-local.deb"));
    m_recorded.progress.clear();
    Apt_Task task = storeTask(name);
    task.version = version;
    task.downloadLink = link;
    m_manager->addLocalInstallTask(task);
    QTest::qWait(500);
    QCOMPARE(m_recorded.progress.size(), 1);
    const Progress end = m_recorded.progress.first();
    QCOMPARE(end.id, kStore);
    QCOMPARE(end.package, link);
    QCOMPARE(end.state, 1);
    QCOMPARE(end.progress, -1);
    QVERIFY(end.status.isEmpty());
    QVERIFY(!QFileInfo::exists(Utils::cacheDir() + QStringLiteral("twk-test-out.tar")));
    QVERIFY(QDir(Utils::cacheDir()).entryList({QStringLiteral("*.tar")}, QDir::Files).isEmpty());
    // Neither the copy nor its draft stays behind.
    QVERIFY(!QFileInfo::exists(Utils::cacheDir() + QStringLiteral("archives/") + name +
                               QStringLiteral(".deb")));
    QVERIFY(QDir(Utils::cacheDir())
                .entryList({QStringLiteral(".*")}, QDir::Files | QDir::Hidden)
                .isEmpty());
}

QTEST_GUILESS_MAIN(TestAptInstallManagerControl)
#include "tst_apt_install_manager_control.moc"
