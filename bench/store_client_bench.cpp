// The store-server client and the statistics side against a local HTTPS
// server: time of one brief-info query (median and 95th percentile),
// statistics reports per second, and stored reports replayed per second.
// Usage: store_client_bench [queries, default 200] [reports, default 300]
//                           [stored rows, default 10000]

#include "local_https_server.h"
#include "store_test_setup.h"

#include "database/appstoredb.h"
#include "service/service.h"
#include "service/statistics_report.h"
#include "service/thread_pool_manager.h"
#include "utils/tls_trust.h"
#include "utils/utils.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {

int argument(int index, int fallback)
{
    bool ok = false;
    const int value = QCoreApplication::arguments().value(index).toInt(&ok);
    return ok && value > 0 ? value : fallback;
}

void waitUntil(const std::function<bool()> &done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
}

void briefInfoQueries(int count)
{
    QList<qint64> times;
    QElapsedTimer timer;
    for (int i = 0; i < count; ++i) {
        QVector<StoreService::AppBriefInfo> infos;
        timer.start();
        Service::instance()->getLocalPackagesInfo({QStringLiteral("twk-bench")}, infos);
        times.append(timer.nsecsElapsed() / 1000);
    }
    std::sort(times.begin(), times.end());
    std::printf("brief-info query: median %.2f ms, p95 %.2f ms (%d queries)\n",
                times.at(times.size() / 2) / 1000.0, times.at(times.size() * 95 / 100) / 1000.0,
                count);
}

void reports(int count)
{
    int results = 0;
    QObject::connect(ThreadPoolManager::instance(), &ThreadPoolManager::uploadDownloadTaskResult,
                     [&](bool) { ++results; });
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < count; ++i) {
        DownloadStateBiData data;
        data.package_name = QStringLiteral("twk-bench");
        data.type = QStringLiteral("42");
        data.code = QStringLiteral("0");
        ThreadPoolManager::instance()->addUploadDownloadTask(data);
    }
    waitUntil([&] { return results >= count; });
    std::printf("statistics reports: %.1f per second (%d reports)\n",
                count * 1000.0 / timer.elapsed(), count);
}

void replay(int rows, const QString &url)
{
    for (int i = 0; i < rows; ++i) {
        NetRetryData row;
        row.type = QStringLiteral("1");
        row.reportData = StatisticsReport::buildRetryReportData(
            1, url, QStringLiteral("type/42 device_id/d app_id/1 code/0"), QString(),
            QStringLiteral("twk-bench"));
        AppstoreDb::instance()->insertReportBiInfo(row);
    }
    bool finished = false;
    QObject::connect(ThreadPoolManager::instance(), &ThreadPoolManager::netRetryTaskFinish,
                     [&] { finished = true; });
    QElapsedTimer timer;
    timer.start();
    QMetaObject::invokeMethod(ThreadPoolManager::instance(), "onReportBiTask",
                              Qt::QueuedConnection);
    waitUntil([&] { return finished; });
    std::printf("replay: %.1f rows per second (%d rows, %u left)\n",
                rows * 1000.0 / timer.elapsed(), rows, AppstoreDb::instance()->getCountReportBi());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.warning=false"));
    QTemporaryDir dir;
    LocalHttpsServer server;
    if (!dir.isValid() || !server.start() ||
        !server.setRoute(QStringLiteral("/store-dist-app/getAppBriefInfo"),
                         {200,
                          "{\"status\":200,\"datas\":[{\"package_name\":\"twk-bench\",\"appid\":7,"
                          "\"package_version\":\"1.0\"}]}",
                          0, false}) ||
        !server.setRoute(QStringLiteral("/upload/downstat"), {200, "", 0, false})) {
        std::fprintf(stderr, "cannot start the local server: %s\n",
                     qPrintable(server.errorString()));
        return 1;
    }
    AppstoreDb::setDatabasePath(dir.filePath(QStringLiteral("appstore.db")));
    if (!StoreTestSetup::pointAt(server, dir.path())) {
        std::fprintf(stderr, "cannot point the store client at the local server\n");
        return 1;
    }
    const QString base = StoreTestSetup::baseUrl(server);

    briefInfoQueries(argument(1, 200));
    reports(argument(2, 300));
    replay(argument(3, 10000), base + QStringLiteral("/upload/downstat"));
    ThreadPoolManager::instance()->stopThread();
    return 0;
}
