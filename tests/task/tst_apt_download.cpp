#include "database/appstoredb.h"
#include "engine_test_setup.h"
#include "task/aptdownload.h"
#include "task/pre_download_command.h"
#include "test_env.h"
#include "utils/proxy_system.h"
#include "utils/utils.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using AppStore::Utils;

namespace {

// What one worker run told its owner.
struct RunRecord
{
    int updateRequests = 0;
    int pauses = 0;
    QList<qlonglong> ends; // current size of each progress report
    QList<qlonglong> totals;
};

} // namespace

// The worker against stand-ins for apt-get, apt-cache and dpkg that only log
// their runs: apt-get answers with the texts and exit code the case puts in
// files, so every end of a run can be had without a repository.
class TestAptDownload : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void commandAndEnvironment();
    void endsOfARun_data();
    void endsOfARun();
    void refusesHostileTasks_data();
    void refusesHostileTasks();
    void endRequestBeforeTheStart_data();
    void endRequestBeforeTheStart();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    Apt_Task makeTask(const QString &name, const QString &version = QString()) const;
    RunRecord runToEnd(AptDownload &worker, const Apt_Task &task,
                       const std::function<void()> &afterStart = {}, bool reported = true);
    QStringList lines(const QString &name) const;

    QTemporaryDir m_dir;
};

void TestAptDownload::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir::setCurrent(m_dir.path()));
    AppStore::AptSources::setRoots(path(QStringLiteral("state/")), path(QStringLiteral("etc-apt")),
                                   path(QStringLiteral("cache/")));
    QVERIFY(Utils::checkCustomCacheDir());
    ProxySystem::setSettingsFilePath(path(QStringLiteral("proxy.conf")));
    AppstoreDb::setDatabasePath(path(QStringLiteral("appstore.db")));

    const QByteArray dir = QFile::encodeName(m_dir.path());
    QVERIFY(TestEnv::writeFile(path(QStringLiteral("bin/apt-get")),
                               "#!/bin/sh\nD='" + dir +
                                   "'\nprintf '%s\\n' \"$@\" >\"$D/apt-get.args\"\n"
                                   "/usr/bin/env >\"$D/apt-get.env\"\n"
                                   "cat \"$D/stdout\"\ncat \"$D/stderr\" >&2\n"
                                   "exit \"$(cat \"$D/exit\")\"\n",
                               true));
    QVERIFY(TestEnv::writeFile(path(QStringLiteral("bin/apt-cache")),
                               "#!/bin/sh\nD='" + dir +
                                   "'\necho \"$*\" >>\"$D/apt-cache.log\"\n"
                                   "while [ -e \"$D/hold\" ]; do sleep 0.05; done\nexit 100\n",
                               true));
    QVERIFY(TestEnv::writeFile(path(QStringLiteral("bin/dpkg")),
                               "#!/bin/sh\necho \"$*\" >>'" + dir + "/dpkg.log'\nexit 0\n", true));
    qputenv("PATH", QFile::encodeName(path(QStringLiteral("bin"))) + ':' + qgetenv("PATH"));
}

void TestAptDownload::init()
{
    for (const char *name :
         {"apt-get.args", "apt-get.env", "apt-cache.log", "dpkg.log", "stdout", "stderr"})
        QFile::remove(path(QString::fromLatin1(name)));
    QVERIFY(TestEnv::writeFile(path(QStringLiteral("exit")), "0\n"));
}

Apt_Task TestAptDownload::makeTask(const QString &name, const QString &version) const
{
    Apt_Task task;
    task.sourceId = QStringLiteral("upgrade");
    task.packageName = name;
    task.version = version;
    task.loginName = QStringLiteral("twk-tester");
    task.uid = 4242;
    return task;
}

QStringList TestAptDownload::lines(const QString &name) const
{
    return QString::fromUtf8(TestEnv::readFile(path(name))).split(u'\n', Qt::SkipEmptyParts);
}

RunRecord TestAptDownload::runToEnd(AptDownload &worker, const Apt_Task &task,
                                    const std::function<void()> &afterStart, bool reported)
{
    RunRecord record;
    connect(&worker, &AptDownload::sigAptUpdate, this, [&record] { ++record.updateRequests; });
    connect(&worker, &AptDownload::sigPauseFinished, this, [&record] { ++record.pauses; });
    connect(&worker, &AptDownload::sigDownloadProgress, this,
            [&record](QString id, QString name, qlonglong total, qlonglong current) {
                Q_UNUSED(id);
                Q_UNUSED(name);
                record.totals.append(total);
                record.ends.append(current);
            });
    worker.startDownload(task);
    if (afterStart)
        afterStart();
    TestEnv::waitFor([&] { return (!reported || !record.ends.isEmpty()) && !worker.isBusy(); },
                     30000);
    // Anything that would still come.
    QTest::qWait(200);
    disconnect(&worker, nullptr, this, nullptr);
    return record;
}

void TestAptDownload::commandAndEnvironment()
{
    ProxySystem::setSystemProxy(QStringLiteral("twk-tester"),
                                QStringLiteral("{\"http_proxy\":\"http://127.0.0.1:3128\"}"));
    const QStringList options = {QStringLiteral("-c"),      Utils::aptConfigFilePath(),
                                 QStringLiteral("-y"),      QStringLiteral("-m"),
                                 QStringLiteral("-o"),      QStringLiteral("Acquire::Retries=1"),
                                 QStringLiteral("-o"),      QStringLiteral("APT::Status-Fd=3"),
                                 QStringLiteral("-o"),      QStringLiteral("Debug::NoLocking=1"),
                                 QStringLiteral("install"), QStringLiteral("-d")};
    QCOMPARE(AppStore::PreDownloadCommand::arguments(QStringLiteral("twk-test-a.b+c"), QString()),
             options + QStringList{QStringLiteral("^twk-test-a\\.b\\+c$")});

    // The same list reaches apt-get, with nothing of the daemon's environment.
    AptDownload worker;
    const RunRecord record =
        runToEnd(worker, makeTask(QStringLiteral("twk-test-pin"), QStringLiteral("1:1.2-3")));
    QCOMPARE(record.ends, QList<qlonglong>{-1}); // no such archive in the cache
    QCOMPARE(lines(QStringLiteral("apt-get.args")),
             options + QStringList{QStringLiteral("^twk-test-pin$=1:1.2-3")});
    QStringList environment = lines(QStringLiteral("apt-get.env"));
    environment.removeIf([](const QString &entry) { return entry.startsWith(u"PWD="); });
    environment.sort();
    QCOMPARE(environment, (QStringList{QStringLiteral("LANGUAGE=en_US"),
                                       QStringLiteral("PACKAGEKIT_CALLER_UID=4242"),
                                       QStringLiteral("http_proxy=http://127.0.0.1:3128")}));
    ProxySystem::setSystemProxy(QStringLiteral("twk-tester"), QStringLiteral("{}"));
}

void TestAptDownload::endsOfARun_data()
{
    QTest::addColumn<QString>("errorText"); // a file of apt_error_texts/ or the text itself
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("refresh");

    const auto row = [](const char *name, const char *text, int exitCode, bool refresh,
                        const char *version = "") {
        QTest::newRow(name) << QString::fromUtf8(text) << exitCode << QString::fromLatin1(version)
                            << refresh;
    };
    row("no such version", "version-not-found.txt", 100, true);
    row("no such package", "unable-to-locate.txt", 100, true);
    row("locate after a warning", "W: an aside\nE: Unable to locate package x\n", 100, false);
    row("version without not found", "E: Version '9.9' for 'x' is odd\n", 100, false);
    row("lower case", "e: unable to locate package x\n", 100, false);
    row("held broken", "held-broken-packages.txt", 100, false);
    row("fix broken", "unmet-dependencies.txt", 100, false);
    row("needs reinstall", "needs-reinstall.txt", 100, false);
    row("both repairs",
        "E: Try 'apt --fix-broken install'.\nE: The package x needs to be reinstalled, but I "
        "can't find an archive for it.\n",
        100, false);
    row("clean exit, pinned version not fetched", "", 0, true, "9.9");
    row("clean exit", "", 0, false);
}

// Only a missing package or version acts (a refresh of the lists); the
// repairs the texts call for are left to the install, and every end tells the
// queue to drop the task.
void TestAptDownload::endsOfARun()
{
    QFETCH(QString, errorText);
    QFETCH(int, exitCode);
    QFETCH(QString, version);
    QFETCH(bool, refresh);

    if (errorText.endsWith(QLatin1String(".txt")))
        errorText = QString::fromUtf8(TestEnv::readFile(
            TestEnv::sourceDir() + QStringLiteral("/tests/task/apt_error_texts/") + errorText));
    QVERIFY(TestEnv::writeFile(path(QStringLiteral("stderr")), errorText.toUtf8()));
    QVERIFY(TestEnv::writeFile(path(QStringLiteral("exit")), QByteArray::number(exitCode)));
    // A broken archive as an unpack error names it: it stays.
    const QString archive = Utils::cacheDir() + QStringLiteral("archives/twk-test-x_1.0_all.deb");
    QVERIFY(TestEnv::writeFile(archive, "!<arch>\n"));
    QVERIFY(TestEnv::writeFile(path(QStringLiteral("stdout")), "dpkg: error processing archive " +
                                                                   QFile::encodeName(archive) +
                                                                   " (--unpack):\n"));

    AptDownload worker;
    const RunRecord record = runToEnd(worker, makeTask(QStringLiteral("twk-test-x"), version));
    QCOMPARE(record.updateRequests, refresh ? 1 : 0);
    QCOMPARE(record.ends.size(), 1);
    if (exitCode == 0 && !refresh)
        QCOMPARE(record.ends.first(), record.totals.first());
    else
        QCOMPARE(record.ends.first(), qlonglong(-1));
    QVERIFY(!worker.isBusy());
    QVERIFY(!QFile::exists(path(QStringLiteral("dpkg.log"))));
    QVERIFY(QFile::exists(archive));
}

void TestAptDownload::refusesHostileTasks_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("version");
    QTest::newRow("shell in name") << QStringLiteral("x;touch owned") << QString();
    QTest::newRow("option as name") << QStringLiteral("-oAPT::Get::Fix-Broken=1") << QString();
    QTest::newRow("shell in version") << QStringLiteral("twk-test-x") << QStringLiteral("1;id");
    QTest::newRow("upper case") << QStringLiteral("Twk-Test") << QString();
}

void TestAptDownload::refusesHostileTasks()
{
    QFETCH(QString, name);
    QFETCH(QString, version);

    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("refusing to pre-download")));
    AptDownload worker;
    const RunRecord record = runToEnd(worker, makeTask(name, version));
    QCOMPARE(record.ends, QList<qlonglong>{-1});
    QVERIFY(!worker.isBusy());
    QVERIFY(!QFile::exists(path(QStringLiteral("apt-get.args"))));
    QVERIFY(!QFile::exists(path(QStringLiteral("apt-cache.log"))));
    QVERIFY(!QFile::exists(path(QStringLiteral("owned"))));
}

void TestAptDownload::endRequestBeforeTheStart_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<bool>("duringQuery"); // while apt-cache is asked about the package
    QTest::newRow("stop") << QStringLiteral("stop") << false;
    QTest::newRow("pause") << QStringLiteral("pause") << false;
    QTest::newRow("delete") << QStringLiteral("delete") << false;
    QTest::newRow("delete during the query") << QStringLiteral("delete") << true;
}

// A user install withdraws the pre-download as soon as it is handed over:
// apt-get must not start afterwards.
void TestAptDownload::endRequestBeforeTheStart()
{
    QFETCH(QString, request);
    QFETCH(bool, duringQuery);

    if (duringQuery)
        QVERIFY(TestEnv::writeFile(path(QStringLiteral("hold")), ""));
    AptDownload worker;
    const RunRecord record = runToEnd(
        worker, makeTask(QStringLiteral("twk-test-ended")),
        [&] {
            if (duringQuery)
                QVERIFY(TestEnv::waitFor(
                    [&] { return QFile::exists(path(QStringLiteral("apt-cache.log"))); }, 30000));
            if (request == QLatin1String("stop"))
                worker.stop();
            else if (request == QLatin1String("pause"))
                worker.pause();
            else
                worker.prepareToDeleteTask();
            QFile::remove(path(QStringLiteral("hold")));
            QVERIFY(!worker.isBusy());
        },
        request != QLatin1String("stop"));
    // The queue drops a task before it stops its run: no report then.
    QCOMPARE(record.ends,
             request == QLatin1String("stop") ? QList<qlonglong>() : QList<qlonglong>{-1});
    QVERIFY(!QFile::exists(path(QStringLiteral("apt-get.args"))));
    QCOMPARE(record.pauses, request == QLatin1String("pause") ? 1 : 0);
    if (request == QLatin1String("pause"))
        QCOMPARE(EngineTestSetup::historyRow(QStringLiteral("twk-test-ended"),
                                             {QStringLiteral("operation")}),
                 QStringList{QStringLiteral("3")});
}

QTEST_GUILESS_MAIN(TestAptDownload)
#include "tst_apt_download.moc"
