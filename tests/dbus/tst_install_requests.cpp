#include "appstoredb_test_file.h"

#include "common/apt_task.h"
#include "database/appstoredb.h"
#include "dbus/app_store_interface.h"
#include "dbus/install_request_builder.h"
#include "dbus/package_history_queries.h"
#include "task/apt_install_manager.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using AppStore::InstallRequestBuilder;
using Kind = InstallRequestBuilder::Kind;
using Request = InstallRequestBuilder::Request;

Q_DECLARE_METATYPE(InstallRequestBuilder::Request)

namespace {

const QString kSha = QString(64, QLatin1Char('a'));

Request request(Kind kind)
{
    Request r;
    r.kind = kind;
    r.id = QStringLiteral("velkor-app-store");
    r.packageName = kind == Kind::Kapla ? QStringLiteral("com.example.Viewer")
                                        : QStringLiteral("twk-test-hello");
    r.version = QStringLiteral("1.0");
    r.name = QStringLiteral("Hello");
    r.packageMode = 1;
    r.iconUrl = QStringLiteral("https://icons.example/hello.png");
    r.appType = 7;
    r.size = QStringLiteral("5000000000");
    if (kind == Kind::Specific) {
        r.packageUrl = QStringLiteral("https://files.example/hello.deb");
        r.sha256 = kSha;
    }
    if (kind == Kind::Channel) {
        r.channelId = QStringLiteral("beta");
        r.channelPkgs = QStringLiteral("[{\"pkgChannel\":\"beta\",\"pkgVer\":\"1.0\","
                                       "\"pkgDlUrl\":\"https://files.example/b.deb\","
                                       "\"pkgSha256\":\"%1\",\"pkgSize\":5000000000}]")
                            .arg(kSha);
    }
    return r;
}

QJsonObject jsonOf(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

} // namespace

// Install requests as records, the history queries on a real database file,
// and the bus methods' answers to what they refuse.
class TestInstallRequests : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    AptInstallManager *m_engine = nullptr;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        AppstoreDb::setDatabasePath(m_dir.filePath(QStringLiteral("appstore.db")));
        AppstoreDb::instance();
    }

    void init() { AppstoreDb::instance()->clearApplicationHistoryTable(); }

    void refusesWhatMustNotReachATool_data()
    {
        QTest::addColumn<Request>("request");
        QTest::addColumn<QString>("refusal");
        const auto row = [](const char *name, Request r, const char *refusal) {
            QTest::newRow(name) << r << QString::fromLatin1(refusal);
        };
        for (Kind kind : {Kind::Plain, Kind::Kapla, Kind::Specific, Kind::Channel, Kind::Upgrade})
            row(qPrintable(QStringLiteral("accepted %1").arg(int(kind))), request(kind), "");

        Request r = request(Kind::Plain);
        r.packageName = QStringLiteral(" twk/test ");
        row("slash in the name", r, "Invalid PackageName:");
        r.packageName = QStringLiteral("-oDPkg::Pre-Invoke::=touch owned");
        row("option as the name", r, "Invalid PackageName:");
        r.packageName = QStringLiteral("x;touch owned");
        row("shell text as the name", r, "Invalid PackageName:");
        r = request(Kind::Kapla);
        r.packageName = QStringLiteral("com.example/../x");
        row("kapla id with a path", r, "Invalid PackageName:");
        r = request(Kind::Plain);
        r.version = QStringLiteral("$(id)");
        row("shell text as the version", r, "Params Invalid");
        r = request(Kind::Plain);
        r.name.clear();
        row("empty name", r, "Params Invalid");
        r.name = QStringLiteral("two\nlines");
        row("control character in the name", r, "Params Invalid");
        r = request(Kind::Plain);
        r.packageMode = 3;
        row("package mode 3", r, "");
        r.packageMode = 4;
        row("package mode beyond 3", r, "Params Invalid");
        r.packageMode = -1;
        row("negative package mode", r, "Params Invalid");
        r = request(Kind::Specific);
        r.packageUrl = QStringLiteral("file:///etc/passwd");
        row("specific file not on the web", r, "Params Invalid");
        r = request(Kind::Specific);
        r.sha256 = QStringLiteral("abc");
        row("specific checksum too short", r, "Params Invalid");
        r = request(Kind::Channel);
        r.channelId.clear();
        row("channel without id", r, "Params Invalid");
    }

    void refusesWhatMustNotReachATool()
    {
        QFETCH(Request, request);
        QFETCH(QString, refusal);
        QCOMPARE(InstallRequestBuilder::refusal(request), refusal);
    }

    void buildsTheTaskRecord_data()
    {
        QTest::addColumn<Request>("request");
        QTest::addColumn<QString>("sourceId");
        QTest::addColumn<int>("operation");
        QTest::addColumn<QString>("appType");
        QTest::addColumn<int>("packageMode");
        QTest::addColumn<qlonglong>("totalSize");
        QTest::addColumn<QStringList>("extraPackages");

        Request r = request(Kind::Plain);
        r.id = QStringLiteral("orvex-children-guard");
        QTest::newRow("plain, parental id") << r << QStringLiteral("velkor-app-store") << 1
                                            << QStringLiteral("7") << 1 << 0LL << QStringList();
        // Sizes beyond 2 GiB stay whole.
        QTest::newRow("kapla") << request(Kind::Kapla) << QStringLiteral("velkor-app-store") << 1
                               << QStringLiteral("7") << 1 << 5000000000LL << QStringList();
        QTest::newRow("specific") << request(Kind::Specific) << QStringLiteral("velkor-app-store")
                                  << 1 << QStringLiteral("7") << 1 << 5000000000LL << QStringList();
        r = request(Kind::Upgrade);
        r.packageMode = 3;
        QTest::newRow("upgrade, mode 3") << r << QStringLiteral("velkor-app-store") << 3
                                         << QStringLiteral("-1") << 0 << 0LL << QStringList();
        r = request(Kind::Plain);
        r.packageName = QStringLiteral("velkor-app-store");
        QTest::newRow("store itself")
            << r << QStringLiteral("velkor-app-store") << 1 << QStringLiteral("7") << 1 << 0LL
            << QStringList{QStringLiteral("tarnwick-client")};
        r.id = QStringLiteral("SilentUpgrade");
        QTest::newRow("store itself, silently") << r << QStringLiteral("SilentUpgrade") << 1
                                                << QStringLiteral("7") << 1 << 0LL << QStringList();
    }

    void buildsTheTaskRecord()
    {
        QFETCH(Request, request);
        QFETCH(QString, sourceId);
        QFETCH(int, operation);
        QFETCH(QString, appType);
        QFETCH(int, packageMode);
        QFETCH(qlonglong, totalSize);
        QFETCH(QStringList, extraPackages);
        const Apt_Task task = InstallRequestBuilder::task(request);
        QCOMPARE(task.sourceId, sourceId);
        QCOMPARE(task.operation, operation);
        QCOMPARE(task.appType, appType);
        QCOMPARE(task.packageMode, packageMode);
        QCOMPARE(task.totalSize, totalSize);
        // The download is held to it: only a specific package carries one.
        QCOMPARE(task.sha256, request.sha256);
        QCOMPARE(task.extraPackages, extraPackages);
        QCOMPARE(task.packageName, request.packageName);
    }

    void dispatchesByInstallMode_data()
    {
        QTest::addColumn<int>("pkgInstallMode");
        QTest::addColumn<int>("isSpecificPkg");
        QTest::addColumn<bool>("withChannelLink");
        QTest::addColumn<bool>("handled");
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("fromStore"); // the download's link and checksum
        QTest::newRow("channel link wins") << 1 << 1 << true << true << int(Kind::Channel) << true;
        QTest::newRow("specific") << 1 << 1 << false << true << int(Kind::Specific) << true;
        QTest::newRow("kapla by flag") << 1 << 2 << false << true << int(Kind::Kapla) << false;
        QTest::newRow("plain") << 1 << 0 << false << true << int(Kind::Plain) << false;
        QTest::newRow("kapla by mode") << 2 << 0 << true << true << int(Kind::Kapla) << false;
        QTest::newRow("unhandled mode") << 3 << 0 << false << false << 0 << false;
    }

    void dispatchesByInstallMode()
    {
        QFETCH(int, pkgInstallMode);
        QFETCH(int, isSpecificPkg);
        QFETCH(bool, withChannelLink);
        QFETCH(bool, handled);
        QFETCH(int, kind);
        QFETCH(bool, fromStore);
        QJsonObject object{{QStringLiteral("package_name"), QStringLiteral("twk-test-hello")},
                           {QStringLiteral("pkgInstallMode"), pkgInstallMode},
                           {QStringLiteral("isSpecificPkg"), isSpecificPkg},
                           {QStringLiteral("channelId"), QStringLiteral("beta")}};
        if (withChannelLink)
            object.insert(QStringLiteral("channelPkgs"), request(Kind::Channel).channelPkgs);
        Request r;
        QCOMPARE(InstallRequestBuilder::requestFor(QStringLiteral("id"),
                                                   StoreService::AppBriefInfo(object), r),
                 handled);
        if (handled)
            QCOMPARE(int(r.kind), kind);
        QCOMPARE(InstallRequestBuilder::namesDownload(StoreService::AppBriefInfo(object)),
                 fromStore);
    }

    void takesOnlyAUsableChannelPackage_data()
    {
        QTest::addColumn<QString>("channelPkgs");
        QTest::addColumn<bool>("filled");
        const QString good = request(Kind::Channel).channelPkgs;
        QTest::newRow("usable") << good << true;
        QTest::newRow("other channel")
            << QString(good).replace(QStringLiteral("\"beta\""), QStringLiteral("\"stable\""))
            << false;
        QTest::newRow("no checksum")
            << QString(good).replace(QStringLiteral("pkgSha256"), QStringLiteral("x")) << false;
        QTest::newRow("link not on the web")
            << QString(good).replace(QStringLiteral("https://files.example/b.deb"),
                                     QStringLiteral("/etc/passwd"))
            << false;
        QTest::newRow("not an array") << QStringLiteral("{}") << false;
    }

    void takesOnlyAUsableChannelPackage()
    {
        QFETCH(QString, channelPkgs);
        QFETCH(bool, filled);
        Apt_Task task;
        QCOMPARE(
            InstallRequestBuilder::fillChannelPkgInfo(task, QStringLiteral("beta"), channelPkgs),
            filled);
        if (filled) {
            QCOMPARE(task.downloadLink, QStringLiteral("https://files.example/b.deb"));
            QCOMPARE(task.sha256, kSha);
            QCOMPARE(task.totalSize, 5000000000LL);
            QCOMPARE(task.channelData, channelPkgs);
        } else {
            QVERIFY(task.downloadLink.isEmpty());
        }
    }

    void answersFromTheHistory()
    {
        AppstoreDb *db = AppstoreDb::instance();
        ApplicationHistoryRow row;
        row.packageName = QStringLiteral("twk-test-failed");
        row.operation = QStringLiteral("4");
        row.fileSize = QStringLiteral("5000000000");
        db->updateApplicationHistoryInfo(row);
        row.packageName = QStringLiteral("twk-test-removed");
        row.operation = QStringLiteral("2");
        db->updateApplicationHistoryInfo(row);

        const QJsonObject failed = jsonOf(
            AppStore::PackageHistoryQueries::operationInfo(QStringLiteral("twk-test-failed")));
        QCOMPARE(failed.value(QStringLiteral("operation")).toString(),
                 QStringLiteral("downloaderror"));
        QCOMPARE(failed.value(QStringLiteral("packageSize")).toInteger(), 5000000000LL);
        const QJsonObject unknown =
            jsonOf(AppStore::PackageHistoryQueries::operationInfo(QStringLiteral("twk-test-none")));
        QCOMPARE(unknown.value(QStringLiteral("packagename")).toString(), QString());
        QCOMPARE(unknown.value(QStringLiteral("pkgInstallMode")).toInt(), 1);

        const QStringList history = AppStore::PackageHistoryQueries::historyList();
        QCOMPARE(history.size(), 1);
        QCOMPARE(jsonOf(history.first()).value(QStringLiteral("operation")).toString(),
                 QStringLiteral("4"));
    }

    // Without the engine (a daemon that did not get the name) and with
    // refused arguments, nothing is changed; an install request is answered.
    void refusedCallsChangeNothing()
    {
        AppStoreInterface *appstore = AppStoreInterface::instance();
        ApplicationHistoryRow row;
        row.packageName = QStringLiteral("twk-test-kept");
        row.operation = QStringLiteral("3");
        AppstoreDb::instance()->updateApplicationHistoryInfo(row);
        QSignalSpy started(appstore, &AppStoreInterface::sigStartInstall);
        QSignalSpy cancelled(appstore, &AppStoreInterface::sigCancelInstall);
        QSignalSpy wide(appstore, qOverload<QString, QString, int, qlonglong, qlonglong, QString>(
                                      &AppStoreInterface::sigIntallProgress));

        appstore->CancelInstall(QStringLiteral("velkor-app-store"),
                                QStringLiteral("twk-test-kept"));
        appstore->ClearPartHistoryInstalledPackageList(QString(),
                                                       {QStringLiteral("twk-test-kept")});
        appstore->ClearPartHistoryInstalledPackageList(QStringLiteral("velkor-app-store"),
                                                       {QStringLiteral("x' OR '1'='1")});
        // The refused text goes to every listener, so only its head does.
        appstore->IntallPackage(QStringLiteral("velkor-app-store"),
                                QStringLiteral("x;touch owned").repeated(1000));
        QVERIFY(appstore->GetLocalPackageInfo(QStringLiteral("$(id)")).isEmpty());

        QCOMPARE(cancelled.count(), 0);
        QCOMPARE(started.count(), 0);
        QCOMPARE(wide.count(), 1);
        QCOMPARE(wide.first().at(1).toString(),
                 QStringLiteral("x;touch owned").repeated(20).left(256));
        QCOMPARE(wide.first().at(4).toLongLong(), -1LL);
        QCOMPARE(jsonOf(wide.first().at(5).toString()).value(QStringLiteral("code")).toInt(), 500);
        QCOMPARE(AppStore::PackageHistoryQueries::historyList().size(), 1);
    }

    void controlsReachTheirOwnOperation_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("operation");
        QTest::newRow("stop") << "StopInstallPackage"
                              << "stop";
        QTest::newRow("pause") << "PauseInstallPackage"
                               << "pause";
        QTest::newRow("prepare to delete") << "prepareToDeletePackage"
                                           << "delete";
        QTest::newRow("pause part") << "PausePartAptTasks"
                                    << "pause part";
    }

    // Last: from here on the bus object has an engine. A parental client's
    // controls act on the store's tasks.
    void controlsReachTheirOwnOperation()
    {
        QFETCH(QString, method);
        QFETCH(QString, operation);
        AppStoreInterface *appstore = AppStoreInterface::instance();
        if (!m_engine)
            appstore->adoptInstallManager(m_engine = new AptInstallManager);
        QStringList reached;
        QObject context;
        const auto note = [&reached](const QString &what) {
            return [&reached, what](const Apt_Task &t) {
                reached << what + ' ' + t.sourceId + ' ' + t.packageName;
            };
        };
        connect(m_engine, &AptInstallManager::sigStopTask, &context, note("stop"));
        connect(m_engine, &AptInstallManager::sigPauseTask, &context, note("pause"));
        connect(m_engine, &AptInstallManager::sigPrepareToDeleteTask, &context, note("delete"));
        connect(m_engine, &AptInstallManager::sigPausePartAptTasks, &context,
                [&reached](const QString &id, const QStringList &names) {
                    reached << "pause part " + id + ' ' + names.join(' ');
                });
        const QString parental = QStringLiteral("orvex-children-guard");
        const QString package = QStringLiteral("twk-test-hello");
        if (method == QLatin1String("PausePartAptTasks"))
            appstore->PausePartAptTasks(parental, {package});
        else
            QVERIFY(QMetaObject::invokeMethod(appstore, qPrintable(method),
                                              Q_ARG(QString, parental), Q_ARG(QString, package)));
        QCOMPARE(reached, QStringList{operation + " velkor-app-store twk-test-hello"});
    }

    void cleanupTestCase() { AppStoreInterface::instance()->stopWorkers(); }
};

QTEST_GUILESS_MAIN(TestInstallRequests)
#include "tst_install_requests.moc"
