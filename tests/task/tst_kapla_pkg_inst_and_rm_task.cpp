#include "appstoredb_test_file.h"
#include "dpkg_admin_dir.h"
#include "private_system_bus.h"
#include "server_process.h"
#include "test_env.h"

#include "common/apt_task.h"
#include "database/appstoredb.h"
#include "service/thread_pool_manager.h"
#include "task/kaplapkginstandrmtask.h"
#include "utils/utils.h"

#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QThreadPool>

#include <limits>
#include <memory>

namespace {

const QString kClient = QStringLiteral("twk-test-client");

// What a task reported, in order, received on the test's thread. The
// connections die with context, and with them any call still queued.
struct Outcome
{
    QObject context;
    QStringList events;
};

Apt_Task kaplaTask(int taskType, const QString &id, const QString &version)
{
    Apt_Task task;
    task.taskType = taskType;
    task.sourceId = kClient;
    task.packageName = id;
    task.version = version;
    task.totalSize = 1001;
    task.pkgInstallMode = 2;
    return task;
}

// JSON written with single quotes, for readable rows.
QByteArray json(QString text)
{
    return text.replace(QLatin1Char('\''), QLatin1Char('"')).toUtf8();
}

} // namespace

class TestKaplaPkgInstAndRmTask : public QObject
{
    Q_OBJECT

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }

    // The stand-in tool's state: the task's application at version before
    // when that is not empty, and run, the script of the task's install or
    // uninstall.
    void writeToolData(const Apt_Task &task, const QString &before, const QString &run)
    {
        const QString app = QStringLiteral("{'id': '%1', 'version': '%2', 'kind': 'app'}");
        const QString data =
            QStringLiteral("{'apps': [%1], 'runs': {'%2 %3': %4}}")
                .arg(before.isEmpty() ? QString() : app.arg(task.packageName, before),
                     task.taskType == 0 ? "install" : "uninstall", task.packageName, run);
        QVERIFY(TestEnv::writeFile(path(QStringLiteral("kapla.json")), json(data)));
    }

    // The install and uninstall runs the stand-in tool recorded, one JSON
    // object each.
    QList<QByteArray> toolRuns() const
    {
        QList<QByteArray> runs = TestEnv::readFile(path(QStringLiteral("kapla-runs"))).split('\n');
        runs.removeAll(QByteArray());
        return runs;
    }

    QByteArray cancels() const { return TestEnv::readFile(path(QStringLiteral("cancels"))); }

    std::unique_ptr<KaplaPkgInstAndRmTask> watched(const Apt_Task &task, Outcome &outcome)
    {
        using K = KaplaPkgInstAndRmTask;
        auto kapla = std::make_unique<K>(task);
        QStringList &events = outcome.events;
        const auto note = [&events](const QString &event) {
            return [&events, event] { events << event; };
        };
        const auto result = [&events](const QString &event) {
            return [&events, event](const Apt_Task &, bool ok) {
                events << event + (ok ? QStringLiteral(" true") : QStringLiteral(" false"));
            };
        };
        QObject *context = &outcome.context;
        connect(kapla.get(), &K::sigDownloadProgress, context,
                [&events](const QString &, const QString &, qlonglong total, qlonglong size) {
                    events << QStringLiteral("progress %1/%2").arg(size).arg(total);
                });
        connect(kapla.get(), &K::sigPkgOperationDataChange, context,
                [&events](const Apt_Task &, const QString &operation) {
                    events << (operation.isEmpty() ? QStringLiteral("cleared") : operation);
                });
        connect(kapla.get(), &K::sigStartInstall, context, note(QStringLiteral("start install")));
        connect(kapla.get(), &K::sigStartUninstall, context,
                note(QStringLiteral("start uninstall")));
        connect(kapla.get(), &K::sigPauseFinished, context, note(QStringLiteral("paused")));
        connect(kapla.get(), &K::sigFinished, context, note(QStringLiteral("finished")));
        connect(kapla.get(), &K::sigInstallFinished, context, result(QStringLiteral("installed")));
        connect(kapla.get(), &K::sigUninstallFinished, context,
                result(QStringLiteral("uninstalled")));
        connect(
            ThreadPoolManager::instance(), &ThreadPoolManager::sigAddUploadDownloadTask, context,
            [&events](const DownloadStateBiData &data) { events << "statistics " + data.type; });
        return kapla;
    }

    // Starts the task in the pool and waits for its run to end.
    bool runToEnd(KaplaPkgInstAndRmTask *task)
    {
        m_pool.start(task);
        const bool ended = m_pool.waitForDone(30000);
        QCoreApplication::processEvents();
        return ended;
    }

    QTemporaryDir m_dir;
    DpkgAdminDir m_dpkg;
    PrivateSystemBus m_bus;
    ServerProcess m_service;
    QThreadPool m_pool;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        TestEnv::useStandins();
        qputenv("TWK_KAPLA_DATA", QFile::encodeName(path(QStringLiteral("kapla.json"))));
        qputenv("TWK_KAPLA_RECORD", QFile::encodeName(path(QStringLiteral("kapla-runs"))));
        AppstoreDb::setDatabasePath(path(QStringLiteral("appstore.db")));
        ThreadPoolManager::instance()->stopThread(); // statistics are looked at, never sent
        // The daemon lists kapla applications only with a kapla runtime.
        QVERIFY(m_dpkg.write(QStringLiteral("kapla-bin"), QStringLiteral("1.5")));
        m_dpkg.activate();
        QVERIFY(AppStore::Utils::isKaplaSupported(true));
        m_bus.allowService(QStringLiteral("org.velkor.kapla.PackageManager"));
        QVERIFY2(!m_bus.start().isEmpty(), qPrintable(m_bus.errorString()));
        QVERIFY(TestEnv::writeFile(path(QStringLiteral("list.json")), "[]"));
        QVERIFY2(
            m_service.start(qEnvironmentVariable("TWK_KAPLA_PM_STANDIN"),
                            {path(QStringLiteral("list.json")), path(QStringLiteral("cancels"))},
                            m_bus.environment()),
            qPrintable(m_service.errorString()));
    }

    void init()
    {
        QFile::remove(path(QStringLiteral("kapla-runs")));
        QFile::remove(path(QStringLiteral("cancels")));
    }

    void progressSizeStaysWithinTotal_data()
    {
        QTest::addColumn<qint64>("total");
        QTest::addColumn<double>("percentage");
        QTest::addColumn<qint64>("size");
        const double infinity = std::numeric_limits<double>::infinity();
        QTest::newRow("half, rounded up") << qint64(1001) << 50.0 << qint64(501);
        QTest::newRow("above 100") << qint64(1001) << 150.0 << qint64(1001);
        QTest::newRow("negative") << qint64(1001) << -5.0 << qint64(0);
        QTest::newRow("not a number")
            << qint64(1001) << std::numeric_limits<double>::quiet_NaN() << qint64(0);
        QTest::newRow("infinite") << qint64(1001) << infinity << qint64(1001);
        QTest::newRow("largest total")
            << std::numeric_limits<qint64>::max() << 50.0 << (qint64(1) << 62);
        QTest::newRow("unknown total") << qint64(0) << 50.0 << qint64(0);
    }

    void progressSizeStaysWithinTotal()
    {
        QFETCH(qint64, total);
        QFETCH(double, percentage);
        QFETCH(qint64, size);
        QCOMPARE(KaplaPkgInstAndRmTask::progressSize(total, percentage), size);
    }

    // One row per road: the application before, the tool's script, what the
    // task reports and which tool run it made.
    void runEndsAsTheToolLeftTheApplication_data()
    {
        QTest::addColumn<int>("taskType");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("before"); // the installed version, empty: none
        QTest::addColumn<QString>("run");
        QTest::addColumn<bool>("toolOnPath");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QString>("toolRun"); // its arguments, empty: nothing ran

        const QString app = QStringLiteral("org.example.App");
        const QString v1 = QStringLiteral("1.0");
        const QString install = json("'--json', 'install', 'org.example.App/1.0'");
        const QString uninstall =
            json("'--json', 'uninstall', 'org.example.App', '--all', '--prune'");
        const QStringList installed{"progress 1001/1001", "start install", "installed true",
                                    "finished"};
        const QStringList refused{"installed false", "finished", "cleared"};
        const QStringList uninstalling{"start uninstall", "purging"};
        const QStringList uninstalled =
            uninstalling + QStringList{"uninstalled true", "finished", "cleared"};
        const QStringList notUninstalled{"uninstalled false", "finished", "cleared"};
        const QStringList kept = uninstalling + notUninstalled;

        QTest::newRow("install with progress and noise")
            << 0 << app << v1 << QString()
            << "{'output': ['{\\'percentage\\': 50}', 'Fetching \\u001b[1m50%', '[1]', "
               "'{\\'percentage\\': 250}', '{\\'state\\': 1}']}"
            << true
            << QStringList{"progress 501/1001", "progress 1001/1001", "progress 0/1001"} + installed
            << install;
        QTest::newRow("failed install, left at the task's version")
            << 0 << app << v1 << QString() << "{'exit': 1, 'apply': true}" << true << installed
            << install;
        QTest::newRow("failed install, another version there")
            << 0 << app << v1 << QStringLiteral("0.9") << "{'exit': 1}" << true
            << QStringList{"progress 1001/1001", "start install", "installed false", "finished"}
            << install;
        QTest::newRow("install without kapla-cli")
            << 0 << app << v1 << QString() << "{}" << false << refused << QString();
        QTest::newRow("uninstall")
            << 1 << app << v1 << v1 << "{}" << true << uninstalled << uninstall;
        QTest::newRow("failed uninstall, application gone")
            << 1 << app << v1 << v1 << "{'exit': 1, 'apply': true}" << true << uninstalled
            << uninstall;
        QTest::newRow("failed uninstall, application kept")
            << 1 << app << v1 << v1 << "{'exit': 2}" << true << kept << uninstall;
        QTest::newRow("uninstall without kapla-cli")
            << 1 << app << v1 << v1 << "{}" << false << kept << QString();
        QTest::newRow("shell text as id") << 0 << QStringLiteral("x;touch owned") << v1 << QString()
                                          << "{}" << true << refused << QString();
        QTest::newRow("command substitution as id")
            << 1 << QStringLiteral("$(id)") << v1 << QString() << "{}" << true << notUninstalled
            << QString();
        QTest::newRow("option as id") << 0 << QStringLiteral("-oAPT::x") << v1 << QString() << "{}"
                                      << true << refused << QString();
        QTest::newRow("option as version")
            << 0 << app << "-oAPT::x" << QString() << "{}" << true << refused << QString();
    }

    void runEndsAsTheToolLeftTheApplication()
    {
        QFETCH(int, taskType);
        QFETCH(QString, id);
        QFETCH(QString, version);
        QFETCH(QString, before);
        QFETCH(QString, run);
        QFETCH(bool, toolOnPath);
        QFETCH(QStringList, events);
        QFETCH(QString, toolRun);

        const Apt_Task kapla = kaplaTask(taskType, id, version);
        writeToolData(kapla, before, run);
        const QByteArray pathBefore = qgetenv("PATH");
        if (!toolOnPath)
            qputenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin");
        Outcome outcome;
        std::unique_ptr<KaplaPkgInstAndRmTask> task = watched(kapla, outcome);
        const bool ended = runToEnd(task.get());
        qputenv("PATH", pathBefore);

        QVERIFY(ended);
        QCOMPARE(outcome.events, events);
        // One run at most, its standard input at its end from the start.
        const QList<QByteArray> runs = toolRuns();
        QCOMPARE(runs, toolRun.isEmpty() ? QList<QByteArray>()
                                         : QList<QByteArray>{"{\"args\": [" + toolRun.toUtf8() +
                                                             "], \"stdin\": \"\"}"});
        QVERIFY(!QFile::exists(QStringLiteral("owned")));
    }

    // During the fetch a request interrupts the tool and ends the task, a
    // pause with its row "3" and statistics, also when the application was
    // at the task's version before; an uninstall takes none.
    void requestsDuringTheRun_data()
    {
        QTest::addColumn<int>("taskType");
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("before"); // the installed version, empty: none
        QTest::addColumn<QStringList>("events");
        const QStringList fetching{"progress 101/1001"};
        const QStringList ended{"finished", "cleared"};
        const QStringList paused = fetching + QStringList{"paused", "statistics 44"} + ended;
        QTest::newRow("stop") << 0 << "stop" << QString() << fetching + ended;
        QTest::newRow("delete") << 0 << "delete" << QString() << fetching + ended;
        QTest::newRow("pause") << 0 << "pause" << QString() << paused;
        QTest::newRow("pause of a reinstall") << 0 << "pause"
                                              << "2.0" << paused;
        QTest::newRow("pause of an uninstall")
            << 1 << "pause"
            << "1.0" << QStringList{"start uninstall", "purging", "uninstalled true"} + ended;
    }

    void requestsDuringTheRun()
    {
        QFETCH(int, taskType);
        QFETCH(QString, request);
        QFETCH(QString, before);
        QFETCH(QStringList, events);
        const QString app =
            QStringLiteral("org.example.Slow%1%2").arg(taskType).arg(request + before);
        const bool install = taskType == 0;
        Outcome outcome;
        Apt_Task task = kaplaTask(taskType, app, QStringLiteral("2.0"));
        task.sourceId = install ? QStringLiteral("velkor-app-store") : kClient;
        task.agreeSign = true;
        writeToolData(task, before,
                      install
                          ? QStringLiteral("{'output': ['{\\'percentage\\': 10}'], 'sleep': 60}")
                          : QStringLiteral("{'sleep': 1}"));
        std::unique_ptr<KaplaPkgInstAndRmTask> kapla = watched(task, outcome);
        m_pool.start(kapla.get());
        QVERIFY(TestEnv::waitFor([&] { return !outcome.events.isEmpty() && !toolRuns().isEmpty(); },
                                 20000));

        // Another client's request, or a list without the name, is not this task's.
        Apt_Task other = task;
        other.sourceId = QStringLiteral("another-client");
        kapla->slotPauseTask(other);
        kapla->slotPausePartTasks(task.sourceId, {QStringLiteral("org.example.Other")});
        request == "stop"    ? kapla->slotStopTask(task)
        : request == "pause" ? kapla->slotPauseTask(task)
                             : kapla->slotPrepareToDeleteTask(task);
        QVERIFY(m_pool.waitForDone(15000));
        QVERIFY(!install || TestEnv::waitFor([&] { return !cancels().isEmpty(); }, 10000));
        QCoreApplication::processEvents();

        QCOMPARE(outcome.events, events);
        QCOMPARE(cancels(), install ? "Cancel " + app.toUtf8() + '\n' : QByteArray());
        QCOMPARE(toolRuns().size(), install ? 2 : 1);
        QCOMPARE(toolRuns().last().contains("\"signal\": \"SIGINT\""), install);
        QCOMPARE(AppstoreDbTestFile(AppstoreDb::databasePath())
                     .value(QStringLiteral("SELECT operation FROM application_history WHERE "
                                           "packageName = ?"),
                            {app}),
                 QString(request == "pause" && install ? "3" : ""));
    }

    // Once the tool's run has ended, stop and pause are no longer this task's
    // to take: in the install stage, or when the tool had left before the
    // request was handled. The install is the one outcome.
    void requestsAfterTheToolsRun_data()
    {
        QTest::addColumn<bool>("toolGone"); // else at the start of the install stage
        QTest::newRow("install stage") << false;
        QTest::newRow("tool gone") << true;
    }

    void requestsAfterTheToolsRun()
    {
        QFETCH(bool, toolGone);
        const QString app = QStringLiteral("org.example.Quick%1").arg(toolGone);
        Outcome outcome;
        const Apt_Task request = kaplaTask(0, app, QStringLiteral("1.0"));
        writeToolData(request, QString(),
                      toolGone ? QStringLiteral("{'output': ['{\\'percentage\\': 100}']}")
                               : QStringLiteral("{}"));
        std::unique_ptr<KaplaPkgInstAndRmTask> task = watched(request, outcome);
        KaplaPkgInstAndRmTask *raw = task.get();
        bool interruptible = true;
        // At the first progress: the fetch stage's end, or the tool's last
        // line, the tool gone once its data shows the application.
        const auto requestNow = [this, raw, request, app, &interruptible] {
            while (!TestEnv::readFile(path(QStringLiteral("kapla.json")))
                        .contains(QByteArray("\"id\": \"").append(app.toUtf8())))
                QThread::msleep(20);
            QThread::msleep(300);
            interruptible = raw->isInterruptible();
            raw->slotStopTask(request);
            raw->slotPauseTask(request);
        };
        connect(raw, &KaplaPkgInstAndRmTask::sigDownloadProgress, raw, requestNow,
                static_cast<Qt::ConnectionType>(Qt::DirectConnection | Qt::SingleShotConnection));

        QVERIFY(runToEnd(raw));
        QCOMPARE(interruptible, toolGone);
        const QStringList progress(toolGone ? 2 : 1, QStringLiteral("progress 1001/1001"));
        QCOMPARE(outcome.events,
                 (progress + QStringList{"start install", "installed true", "finished"}));
        QCOMPARE(toolRuns().size(), 1);
        QVERIFY(toolGone || cancels().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestKaplaPkgInstAndRmTask)
#include "tst_kapla_pkg_inst_and_rm_task.moc"
