#include "dpkg_admin_dir.h"
#include "private_system_bus.h"
#include "server_process.h"
#include "test_env.h"

#include "common/apt_task.h"
#include "database/appstoredb.h"
#include "task/kaplapkginstandrmtask.h"
#include "utils/utils.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <limits>
#include <memory>

namespace {

const QString kService = QStringLiteral("org.velkor.kapla.PackageManager");
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

QJsonObject jsonObject(const QByteArray &text)
{
    return QJsonDocument::fromJson(text).object();
}

// The stand-in tool's script for one run; without apply the application is
// left as it was unless the run succeeds.
QJsonObject script(int exitCode = 0, const QStringList &output = {}, bool apply = false,
                   int sleepSeconds = 0)
{
    QJsonObject run{{QStringLiteral("exit"), exitCode},
                    {QStringLiteral("output"), QJsonArray::fromStringList(output)},
                    {QStringLiteral("sleep"), sleepSeconds}};
    if (apply)
        run.insert(QStringLiteral("apply"), true);
    return run;
}

} // namespace

class TestKaplaPkgInstAndRmTask : public QObject
{
    Q_OBJECT

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }

    // The stand-in tool's applications and scripted runs.
    void writeToolData(const QString &installedId, const QString &installedVersion,
                       const QString &runKey, const QJsonObject &run)
    {
        QJsonObject data;
        QJsonArray apps;
        if (!installedId.isEmpty())
            apps.append(QJsonObject{{QStringLiteral("id"), installedId},
                                    {QStringLiteral("version"), installedVersion},
                                    {QStringLiteral("kind"), QStringLiteral("app")}});
        data.insert(QStringLiteral("apps"), apps);
        data.insert(QStringLiteral("runs"), QJsonObject{{runKey, run}});
        QVERIFY(TestEnv::writeFile(path(QStringLiteral("kapla.json")),
                                   QJsonDocument(data).toJson(QJsonDocument::Compact)));
    }

    // The install and uninstall runs the stand-in tool recorded.
    QList<QJsonObject> toolRuns() const
    {
        QList<QJsonObject> runs;
        const QByteArray text = TestEnv::readFile(path(QStringLiteral("kapla-runs")));
        for (const QByteArray &line : text.split('\n')) {
            if (!line.isEmpty())
                runs.append(jsonObject(line));
        }
        return runs;
    }

    QByteArray cancels() const { return TestEnv::readFile(path(QStringLiteral("cancels"))); }

    std::unique_ptr<KaplaPkgInstAndRmTask> watched(const Apt_Task &task, Outcome &outcome)
    {
        auto kapla = std::make_unique<KaplaPkgInstAndRmTask>(task);
        QStringList &events = outcome.events;
        QObject *context = &outcome.context;
        using K = KaplaPkgInstAndRmTask;
        connect(kapla.get(), &K::sigDownloadProgress, context,
                [&events](const QString &, const QString &, qlonglong total, qlonglong size) {
                    events << QStringLiteral("progress %1/%2").arg(size).arg(total);
                });
        connect(kapla.get(), &K::sigStartInstall, context,
                [&events] { events << QStringLiteral("start install"); });
        connect(kapla.get(), &K::sigStartUninstall, context,
                [&events] { events << QStringLiteral("start uninstall"); });
        connect(kapla.get(), &K::sigInstallFinished, context, [&events](const Apt_Task &, bool ok) {
            events << QStringLiteral("installed ") + (ok ? "true" : "false");
        });
        connect(kapla.get(), &K::sigUninstallFinished, context,
                [&events](const Apt_Task &, bool ok) {
                    events << QStringLiteral("uninstalled ") + (ok ? "true" : "false");
                });
        connect(kapla.get(), &K::sigPkgOperationDataChange, context,
                [&events](const Apt_Task &, const QString &operation) {
                    events << (operation.isEmpty() ? QStringLiteral("cleared") : operation);
                });
        connect(kapla.get(), &K::sigPauseFinished, context,
                [&events] { events << QStringLiteral("paused"); });
        connect(kapla.get(), &K::sigFinished, context,
                [&events] { events << QStringLiteral("finished"); });
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
        // The daemon lists kapla applications only with a kapla runtime.
        QVERIFY(m_dpkg.write(QStringLiteral("kapla-bin"), QStringLiteral("1.5")));
        m_dpkg.activate();
        QVERIFY(AppStore::Utils::isKaplaSupported(true));
        m_bus.allowService(kService);
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
        const qint64 huge = std::numeric_limits<qint64>::max();
        QTest::newRow("half, rounded up") << qint64(1001) << 50.0 << qint64(501);
        QTest::newRow("above 100") << qint64(1001) << 150.0 << qint64(1001);
        QTest::newRow("negative") << qint64(1001) << -5.0 << qint64(0);
        QTest::newRow("not a number")
            << qint64(1001) << std::numeric_limits<double>::quiet_NaN() << qint64(0);
        QTest::newRow("infinite") << qint64(1001) << infinity << qint64(1001);
        QTest::newRow("minus infinity") << qint64(1001) << -infinity << qint64(0);
        QTest::newRow("largest total") << huge << 99.99999999 << huge;
        QTest::newRow("unknown total") << qint64(0) << 50.0 << qint64(0);
    }

    void progressSizeStaysWithinTotal()
    {
        QFETCH(qint64, total);
        QFETCH(double, percentage);
        QFETCH(qint64, size);
        const qint64 result = KaplaPkgInstAndRmTask::progressSize(total, percentage);
        QVERIFY(result >= 0 && result <= total);
        if (total != std::numeric_limits<qint64>::max())
            QCOMPARE(result, size);
    }

    // One row per road: what the tool does, and what the task reports.
    void runEndsAsTheToolLeftTheApplication_data()
    {
        QTest::addColumn<int>("taskType");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("installedBefore"); // version, empty: not installed
        QTest::addColumn<QJsonObject>("run");         // the stand-in's script
        QTest::addColumn<bool>("toolOnPath");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QStringList>("arguments"); // of the one tool run, empty: none

        const QString app = QStringLiteral("org.example.App");
        const QStringList install{"--json", "install", "org.example.App/1.0"};
        const QStringList uninstall{"--json", "uninstall", "org.example.App", "--all", "--prune"};
        const QStringList installed{"progress 1001/1001", "start install", "installed true",
                                    "finished"};
        const QStringList notInstalled{"installed false", "finished", "cleared"};
        const QStringList uninstalled{"start uninstall", "purging", "uninstalled true", "finished",
                                      "cleared"};
        const QStringList notUninstalled{"uninstalled false", "finished", "cleared"};

        QTest::newRow("install with progress and noise")
            << 0 << app << "1.0" << QString()
            << script(0,
                      {QStringLiteral("{\"percentage\": 50}"),
                       QStringLiteral("Fetching \x1b[1m50%"), QStringLiteral("[1]"),
                       QStringLiteral("{\"percentage\": 250}"), QStringLiteral("{\"state\": 1}")})
            << true
            << QStringList{"progress 501/1001", "progress 1001/1001", "progress 0/1001"} + installed
            << install;
        QTest::newRow("failed install, left at the task's version")
            << 0 << app << "1.0" << QString() << script(1, {}, true) << true << installed
            << install;
        QTest::newRow("failed install, another version there")
            << 0 << app << "1.0"
            << "0.9" << script(1) << true
            << QStringList{"progress 1001/1001", "start install", "installed false", "finished"}
            << install;
        QTest::newRow("install without kapla-cli")
            << 0 << app << "1.0" << QString() << script() << false << notInstalled << QStringList();
        QTest::newRow("uninstall") << 1 << app << "1.0"
                                   << "1.0" << script() << true << uninstalled << uninstall;
        QTest::newRow("failed uninstall, application gone")
            << 1 << app << "1.0"
            << "1.0" << script(1, {}, true) << true << uninstalled << uninstall;
        QTest::newRow("failed uninstall, application kept")
            << 1 << app << "1.0"
            << "1.0" << script(2) << true
            << QStringList{"start uninstall", "purging", "uninstalled false", "finished", "cleared"}
            << uninstall;
        QTest::newRow("uninstall without kapla-cli")
            << 1 << app << "1.0"
            << "1.0" << script() << false
            << QStringList{"start uninstall", "purging", "uninstalled false", "finished", "cleared"}
            << QStringList();
        QTest::newRow("shell text as id")
            << 0 << "x;touch owned"
            << "1.0" << QString() << script() << true << notInstalled << QStringList();
        QTest::newRow("command substitution as id")
            << 1 << "$(id)"
            << "1.0" << QString() << script() << true << notUninstalled << QStringList();
        QTest::newRow("option as id")
            << 0 << "-oAPT::x"
            << "1.0" << QString() << script() << true << notInstalled << QStringList();
        QTest::newRow("option as version") << 0 << app << "-oAPT::x" << QString() << script()
                                           << true << notInstalled << QStringList();
    }

    void runEndsAsTheToolLeftTheApplication()
    {
        QFETCH(int, taskType);
        QFETCH(QString, id);
        QFETCH(QString, version);
        QFETCH(QString, installedBefore);
        QFETCH(QJsonObject, run);
        QFETCH(bool, toolOnPath);
        QFETCH(QStringList, events);
        QFETCH(QStringList, arguments);

        const QString verb =
            taskType == 0 ? QStringLiteral("install ") : QStringLiteral("uninstall ");
        writeToolData(installedBefore.isEmpty() ? QString() : id, installedBefore, verb + id, run);
        const QByteArray pathBefore = qgetenv("PATH");
        if (!toolOnPath)
            qputenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin");

        Outcome outcome;
        std::unique_ptr<KaplaPkgInstAndRmTask> task =
            watched(kaplaTask(taskType, id, version), outcome);
        const bool ended = runToEnd(task.get());
        qputenv("PATH", pathBefore);
        QVERIFY(ended);
        QCOMPARE(outcome.events, events);

        const QList<QJsonObject> runs = toolRuns();
        QCOMPARE(runs.size(), arguments.isEmpty() ? 0 : 1);
        if (!arguments.isEmpty()) {
            QCOMPARE(runs.first().value(QLatin1String("args")).toVariant().toStringList(),
                     arguments);
            // Its standard input was at its end from the start.
            QCOMPARE(runs.first().value(QLatin1String("stdin")).toString(), QString());
        }
        QVERIFY(!QFile::exists(QStringLiteral("owned")));
    }

    void fetchStageStopInterruptsTheTool()
    {
        const QString app = QStringLiteral("org.example.Slow");
        writeToolData(QString(), QString(), QStringLiteral("install ") + app,
                      script(0, {QStringLiteral("{\"percentage\": 10}")}, false, 60));
        Outcome outcome;
        const Apt_Task request = kaplaTask(0, app, QStringLiteral("2.0"));
        std::unique_ptr<KaplaPkgInstAndRmTask> task = watched(request, outcome);
        m_pool.start(task.get());
        QVERIFY(TestEnv::waitFor([&] { return !outcome.events.isEmpty(); }, 20000));

        // Another client's request for the same name is not this task's.
        Apt_Task other = request;
        other.sourceId = QStringLiteral("another-client");
        task->slotPauseTask(other);
        task->slotPausePartTasks(kClient, {QStringLiteral("org.example.Other")});
        QVERIFY(task->isInterruptible());

        task->slotStopTask(request);
        QVERIFY(m_pool.waitForDone(15000));
        QVERIFY(TestEnv::waitFor([&] { return !cancels().isEmpty(); }, 10000));
        QCoreApplication::processEvents();

        QCOMPARE(outcome.events, (QStringList{"progress 101/1001", "finished", "cleared"}));
        QCOMPARE(cancels(), QByteArray("Cancel org.example.Slow\n"));
        const QList<QJsonObject> runs = toolRuns();
        QCOMPARE(runs.size(), 2);
        QCOMPARE(runs.last().value(QLatin1String("signal")).toString(), QStringLiteral("SIGINT"));
    }

    // The install stage begins when the tool's run ends; from then on stop
    // and pause are no longer this task's to take.
    void installStageIgnoresRequests()
    {
        const QString app = QStringLiteral("org.example.Quick");
        writeToolData(QString(), QString(), QStringLiteral("install ") + app, script());
        Outcome outcome;
        const Apt_Task request = kaplaTask(0, app, QStringLiteral("1.0"));
        std::unique_ptr<KaplaPkgInstAndRmTask> task = watched(request, outcome);
        KaplaPkgInstAndRmTask *raw = task.get();
        bool interruptible = true;
        connect(
            raw, &KaplaPkgInstAndRmTask::sigStartInstall, raw,
            [raw, request, &interruptible] {
                interruptible = raw->isInterruptible();
                raw->slotStopTask(request);
                raw->slotPauseTask(request);
                raw->slotPrepareToDeleteTask(request);
            },
            Qt::DirectConnection);

        QVERIFY(runToEnd(raw));
        QVERIFY(!interruptible);
        QCOMPARE(outcome.events, (QStringList{"progress 1001/1001", "start install",
                                              "installed true", "finished"}));
        QVERIFY(cancels().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestKaplaPkgInstAndRmTask)
#include "tst_kapla_pkg_inst_and_rm_task.moc"
