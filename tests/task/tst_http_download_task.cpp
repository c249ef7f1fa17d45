#include "appstoredb_test_file.h"
#include "local_https_server.h"
#include "store_test_setup.h"
#include "test_env.h"

#include "common/apt_task.h"
#include "database/appstoredb.h"
#include "service/service.h"
#include "service/thread_pool_manager.h"
#include "task/httpdownloadtask.h"
#include "utils/apt_sources.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <functional>
#include <limits>

using Route = LocalHttpsServer::Route;
using RangeAnswer = LocalHttpsServer::RangeAnswer;

namespace {

// What a download reported, recorded on the test's thread.
struct Outcome
{
    int finished = 0;
    int paused = 0;
    int cleared = 0; // sigAptOperationDataChange with an empty operation
    bool started = false;
    Apt_Task installTask;
    qlonglong lastTotal = 0;
    qlonglong lastSize = 0;
    int failureCode = 0;
};

QByteArray patterned(int size, char seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(seed + i * 7 + i / 251);
    return bytes;
}

QString sha256Of(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// How the server answers a row's request, or what is wrong with the task.
enum Road {
    Partial,
    Whole,
    Refused,
    Tar,
    Stall,
    NotFound,
    ToHttp,
    WrongHash,
    UpperHash,
    NoHash,
    Oversize,
    OversizeUnsized,
    OtherCa,
    BadName,
    Unsized,
    ZeroEpoch // the task names the archive's version with a zero epoch
};

} // namespace

class TestHttpDownloadTask : public QObject
{
    Q_OBJECT

private:
    QString cache(const QString &name = QString()) const
    {
        return m_dir.filePath(QStringLiteral("cache/")) + name;
    }
    QString archives(const QString &name) const
    {
        return cache(QStringLiteral("archives/") + name);
    }

    Apt_Task task(const QString &name, const QByteArray &contents, const QUrl &base) const
    {
        Apt_Task task;
        task.sourceId = QStringLiteral("velkor-app-store");
        task.packageName = name;
        task.version = QStringLiteral("1.0");
        task.appName = name;
        task.downloadLink =
            base.resolved(QUrl(QStringLiteral("pool/") + name + QStringLiteral(".bin"))).toString();
        task.sha256 = sha256Of(contents);
        task.needRedownload = false;
        return task;
    }

    void watch(HttpDownloadTask *download, Outcome &outcome)
    {
        connect(download, &HttpDownloadTask::sigFinished, this, [&] { ++outcome.finished; });
        connect(download, &HttpDownloadTask::sigPauseFinished, this, [&] { ++outcome.paused; });
        connect(download, &HttpDownloadTask::sigAptOperationDataChange, this,
                [&](const Apt_Task &, const QString &operation) {
                    outcome.cleared += operation.isEmpty();
                });
        connect(download, &HttpDownloadTask::sigStartInstallOperation, this,
                [&](const Apt_Task &task) {
                    outcome.started = true;
                    outcome.installTask = task;
                });
        connect(download, &HttpDownloadTask::sigDownloadProgress, this,
                [&](const QString &, const QString &, qlonglong total, qlonglong size,
                    const QString &status) {
                    outcome.lastTotal = total;
                    outcome.lastSize = size;
                    if (size < 0)
                        outcome.failureCode = QJsonDocument::fromJson(status.toUtf8())
                                                  .object()
                                                  .value(QLatin1String("code"))
                                                  .toInt();
                });
    }

    // Runs a watched task in the pool to its end.
    void run(HttpDownloadTask *download, Outcome &outcome,
             const std::function<void()> &meanwhile = {})
    {
        m_pool.start(download);
        if (meanwhile)
            meanwhile();
        m_pool.waitForDone(30000);
        // The signals were queued to this thread.
        TestEnv::waitFor([&] { return outcome.finished > 0; }, 5000);
        QCoreApplication::processEvents();
        delete download;
    }

    QStringList rangesFor(const LocalHttpsServer &server, const QString &name) const
    {
        QStringList ranges;
        for (const LocalHttpsServer::Request &request : server.requestLog()) {
            if (request.path.contains(name))
                ranges << request.headers.value(QStringLiteral("Range")) +
                              (request.headers.value(QStringLiteral("User-Agent"))
                                       .contains(QStringLiteral(" client_version/8.0.7 "))
                                   ? QString()
                                   : QStringLiteral(" without the client version"));
        }
        return ranges;
    }

    QTemporaryDir m_dir;
    LocalHttpsServer m_server;
    LocalHttpsServer m_otherCaServer{LocalHttpsServer::Certificate::FromOtherCa};
    QThreadPool m_pool;

    // An archive of package, which the download checks its task's name against.
    QByteArray debOf(const QString &package)
    {
        const QString root = m_dir.filePath(package);
        TestEnv::writeFile(root + QStringLiteral("/DEBIAN/control"),
                           "Package: " + package.toUtf8() +
                               "\nVersion: 1.0\nArchitecture: all\n"
                               "Maintainer: Tests <tests@localhost>\nDescription: test\n");
        TestEnv::writeFile(root + QStringLiteral("/usr/share/twk-test-http/data"),
                           patterned(20000, 3));
        TestEnv::runTool(QStringLiteral("dpkg-deb"),
                         {QStringLiteral("--build"), QStringLiteral("--root-owner-group"), root,
                          root + QStringLiteral(".deb")});
        return TestEnv::readFile(root + QStringLiteral(".deb"));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // The download writes history rows: into a file of the test's own,
        // never the machine's database that other tests watch.
        AppstoreDb::setDatabasePath(m_dir.filePath(QStringLiteral("appstore.db")));
        QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
        QVERIFY2(m_otherCaServer.start(), qPrintable(m_otherCaServer.errorString()));
        QVERIFY(StoreTestSetup::pointAt(m_server, m_dir.path()));
        Service::instance()->setClientVersion(QStringLiteral("8.0.7"));
        ThreadPoolManager::instance()->stopThread(); // statistics are looked at, never sent
        AppStore::AptSources::setRoots(m_dir.filePath(QStringLiteral("state")),
                                       m_dir.filePath(QStringLiteral("etc-apt")), cache());
        QVERIFY(QDir().mkpath(cache(QStringLiteral("archives"))));
    }

    // One row per road: what the server does, what the cache held before,
    // and where the file ends.
    void download_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("road");
        QTest::addColumn<QByteArray>("partial"); // the ".tmp" left by an earlier run
        QTest::addColumn<bool>("needRedownload");
        QTest::addColumn<QStringList>("ranges");
        QTest::addColumn<int>("code");     // 0: success
        QTest::addColumn<int>("tmpAfter"); // size of the ".tmp" afterwards, -1 gone

        const QByteArray junk = patterned(1000, 'x');
        const QStringList resume{QStringLiteral("bytes=1000-")};
        const QStringList fromZero{QStringLiteral("bytes=0-")};
        QTest::newRow("resume") << "twk-a" << int(Partial) << QByteArray("head") << false << resume
                                << 0 << -1;
        QTest::newRow("redownload")
            << "twk-b" << int(Partial) << junk << true << fromZero << 0 << -1;
        QTest::newRow("200 to a range")
            << "twk-c" << int(Whole) << junk << false << resume << 0 << -1;
        QTest::newRow("416 to a range")
            << "twk-d" << int(Refused) << junk << false
            << QStringList{QStringLiteral("bytes=1000-"), QStringLiteral("bytes=0-")} << 0 << -1;
        QTest::newRow("tar bundle")
            << "twk-e" << int(Tar) << QByteArray() << false << fromZero << 0 << -1;
        QTest::newRow("stall") << "twk-f" << int(Stall) << junk << false << resume << 503 << -1;
        QTest::newRow("404 keeps the partial")
            << "twk-g" << int(NotFound) << junk << false << resume << 503 << 1000;
        QTest::newRow("redirect to http")
            << "twk-h" << int(ToHttp) << QByteArray() << false << fromZero << 503 << 0;
        QTest::newRow("hash mismatch")
            << "twk-i" << int(WrongHash) << QByteArray() << false << fromZero << 503 << -1;
        QTest::newRow("upper-case sha256")
            << "twk-m" << int(UpperHash) << QByteArray() << false << fromZero << 0 << -1;
        QTest::newRow("empty sha256")
            << "twk-j" << int(NoHash) << QByteArray() << false << fromZero << 503 << -1;
        QTest::newRow("larger than announced")
            << "twk-k" << int(Oversize) << QByteArray() << false << fromZero << 503 << -1;
        QTest::newRow("larger than announced, no Content-Length")
            << "twk-n" << int(OversizeUnsized) << QByteArray() << false << fromZero << 503 << -1;
        QTest::newRow("another CA")
            << "twk-l" << int(OtherCa) << QByteArray() << false << QStringList() << 503 << 0;
        QTest::newRow("hostile name") << "x;touch owned" << int(BadName) << QByteArray() << false
                                      << QStringList() << 500 << -1;
        QTest::newRow("size never told")
            << "twk-o" << int(Unsized) << QByteArray() << false << fromZero << 505 << -1;
        QTest::newRow("version with a zero epoch")
            << "twk-p" << int(ZeroEpoch) << QByteArray() << false << fromZero << 0 << -1;
    }

    void download()
    {
        QFETCH(QString, name);
        QFETCH(int, road);
        QFETCH(QByteArray, partial);
        QFETCH(bool, needRedownload);
        QFETCH(QStringList, ranges);
        QFETCH(int, code);
        QFETCH(int, tmpAfter);

        const QByteArray served = road == Tar ? patterned(5000, 'q') : debOf(name);
        const QString path = QStringLiteral("/pool/") + name + QStringLiteral(".bin");
        QVERIFY(m_server.addFile(path.mid(1), served));
        QVERIFY(m_otherCaServer.addFile(path.mid(1), served));
        if (road == Stall) {
            Route route;
            route.stallSeconds = 3;
            QVERIFY(m_server.setRoute(path, route));
        } else if (road == NotFound) {
            QVERIFY(m_server.setRoute(path, Route{404, "not here", 0, false}));
        } else if (road == ToHttp) {
            QVERIFY(m_server.setRedirect(path, 302, QStringLiteral("http://127.0.0.1:9") + path));
        } else {
            QVERIFY(m_server.setFileRoute(path, road == Whole     ? RangeAnswer::Whole
                                                : road == Refused ? RangeAnswer::Refused
                                                : road == Unsized || road == OversizeUnsized
                                                    ? RangeAnswer::Unsized
                                                    : RangeAnswer::Partial));
        }
        if (partial == "head")
            partial = served.left(1000);
        if (!partial.isEmpty())
            QVERIFY(TestEnv::writeFile(archives(name + QStringLiteral(".tmp")), partial));

        Apt_Task request =
            task(name, served, road == OtherCa ? m_otherCaServer.baseUrl() : m_server.baseUrl());
        request.needRedownload = needRedownload;
        if (road == WrongHash)
            request.sha256 = sha256Of("something else");
        if (road == UpperHash)
            request.sha256 = request.sha256.toUpper();
        if (road == NoHash)
            request.sha256.clear();
        if (road == ZeroEpoch)
            request.version = QStringLiteral("0:1.0");
        const bool oversize = road == Oversize || road == OversizeUnsized;
        if (oversize)
            request.totalSize = 100;
        auto *download = new HttpDownloadTask(request);
        download->setInactivityInterval(500);
        if (oversize)
            download->setSizeMargin(0);
        if (road == Unsized)
            download->setUnsizedFreeFloor(std::numeric_limits<qint64>::max());
        Outcome outcome;
        watch(download, outcome);
        run(download, outcome);

        QCOMPARE(outcome.finished, 1);
        if (road != OtherCa && road != BadName)
            QCOMPARE(rangesFor(m_server, name), ranges);
        const QString deb = archives(name + QStringLiteral(".deb"));
        const QString tar = cache(name + QStringLiteral(".tar"));
        if (code == 0) {
            QVERIFY(outcome.started);
            QCOMPARE(outcome.cleared, 0);
            QCOMPARE(outcome.lastTotal, qlonglong(served.size()));
            QCOMPARE(outcome.lastSize, qlonglong(served.size()));
            QCOMPARE(outcome.installTask.isTarPkg, road == Tar);
            QCOMPARE(TestEnv::readFile(road == Tar ? tar : deb), served);
        } else {
            QVERIFY(!outcome.started);
            QCOMPARE(outcome.cleared, 1);
            QCOMPARE(outcome.failureCode, code);
            QVERIFY(!QFileInfo::exists(deb));
            QVERIFY(!QFileInfo::exists(tar));
            QVERIFY(!QFileInfo::exists(archives(name + QStringLiteral(".tar"))));
            // Its history row tells the size the file held.
            const QString row =
                AppstoreDbTestFile(AppstoreDb::databasePath())
                    .value(QStringLiteral("SELECT operation, result, content FROM "
                                          "application_history WHERE packageName = ?"),
                           {name});
            QVERIFY2(row.startsWith(QStringLiteral("4|%1|").arg(code)), qPrintable(row));
            if (tmpAfter >= 0)
                QCOMPARE(row.section(u'|', 2), QString::number(tmpAfter));
        }
        const QFileInfo tmp(archives(name + QStringLiteral(".tmp")));
        QCOMPARE(tmp.exists() ? int(tmp.size()) : -1, tmpAfter);
        QCOMPARE(QDir(cache()).entryList(QDir::Files | QDir::NoDotAndDotDot).size(),
                 road == Tar ? 1 : 0);
        QFile::remove(deb);
        QFile::remove(tar);
        QFile::remove(tmp.filePath());
    }

    // A request while the download runs ends it; one that meets the run's own
    // end (its last progress, a failure) is refused: one outcome each.
    void requests_data()
    {
        QTest::addColumn<bool>("pause"); // else delete
        QTest::addColumn<int>("road");   // Stall: while running
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QStringList>("statistics");
        QTest::newRow("pause while running") << true << int(Stall) << "3" << QStringList{"44"};
        QTest::newRow("delete while running") << false << int(Stall) << "3" << QStringList{};
        QTest::newRow("pause at the end") << true << int(Partial) << "" << QStringList{"42"};
        QTest::newRow("pause at a failure") << true << int(NotFound) << "4" << QStringList{};
    }

    void requests()
    {
        QFETCH(bool, pause);
        QFETCH(int, road);
        QFETCH(QString, operation);
        QFETCH(QStringList, statistics);
        const QString name = QStringLiteral("twk-q%1%2").arg(road).arg(pause);
        const QString path = QStringLiteral("/pool/") + name + QStringLiteral(".bin");
        const QByteArray deb = debOf(name);
        QVERIFY(m_server.addFile(path.mid(1), deb));
        QVERIFY(road == Partial ? m_server.setFileRoute(path, RangeAnswer::Partial)
                                : m_server.setRoute(path, Route{road == Stall ? 200 : 404, deb,
                                                                road == Stall ? 3 : 0, false}));
        Apt_Task request = task(name, deb, m_server.baseUrl());
        request.agreeSign = true;
        auto *download = new HttpDownloadTask(request);
        download->setInactivityInterval(10000);
        Outcome outcome;
        watch(download, outcome);
        QObject context;
        QStringList sent;
        connect(ThreadPoolManager::instance(), &ThreadPoolManager::sigAddUploadDownloadTask,
                &context, [&sent](const DownloadStateBiData &data) { sent << data.type; });
        const auto ask = [download, request, pause] {
            pause ? download->onPauseTaskSlot(request) : download->onPrepareToDeleteTask(request);
        };
        connect(
            download, &HttpDownloadTask::sigDownloadProgress, &context,
            [ask](const QString &, const QString &, qlonglong, qlonglong size,
                  const QString &status) {
                if (size < 0 || status.contains(QLatin1String("200")))
                    ask();
            },
            Qt::DirectConnection);
        run(download, outcome, [&] {
            if (road == Stall &&
                TestEnv::waitFor([&] { return !rangesFor(m_server, name).isEmpty(); }, 10000))
                ask();
        });

        QCOMPARE(outcome.finished, 1);
        QCOMPARE(outcome.paused, int(pause && road == Stall));
        QCOMPARE(outcome.started, road == Partial);
        QCOMPARE(outcome.cleared, int(road != Partial));
        QCOMPARE(sent, statistics);
        QCOMPARE(AppstoreDbTestFile(AppstoreDb::databasePath())
                     .value(QStringLiteral("SELECT operation FROM application_history WHERE "
                                           "packageName = ?"),
                            {name}),
                 operation);
    }

    // A task taken back before it ran ends at once, without a request.
    void stoppedBeforeRun()
    {
        const int before = m_server.requestLog().size();
        const Apt_Task request =
            task(QStringLiteral("twk-stop"), debOf(QStringLiteral("twk-stop")), m_server.baseUrl());
        for (int i = 0; i < 20; ++i) {
            auto *download = new HttpDownloadTask(request);
            Outcome outcome;
            watch(download, outcome);
            download->onStopTaskSlot(request);
            download->onPauseTaskSlot(request); // taken already: no second report
            run(download, outcome);
            QCOMPARE(outcome.finished, 1);
            QCOMPARE(outcome.cleared, 1);
        }
        QCOMPARE(m_server.requestLog().size(), before);
    }
};

QTEST_GUILESS_MAIN(TestHttpDownloadTask)
#include "tst_http_download_task.moc"
