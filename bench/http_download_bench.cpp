// A large package file from a local HTTPS server, fetched once through the
// HTTP download task (cache file, SHA-256 check, placement) and once through
// a plain QNetworkAccessManager GET that keeps nothing: MB/s of each, their
// ratio, and the peak resident memory of each run.
// Usage: http_download_bench [MiB, default 256]

#include "local_https_server.h"
#include "store_test_setup.h"

#include "common/apt_task.h"
#include "task/httpdownloadtask.h"
#include "utils/apt_sources.h"
#include "utils/tls_trust.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QThreadPool>

#include <cstdio>

namespace {

struct Run
{
    double seconds = 0;
    qint64 peakKiB = 0;
    bool ok = false;
};

// The kernel forgets the peak so far, so that each run reports its own.
void resetPeakMemory()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

qint64 peakMemoryKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Written in pieces so that the file never sits in this process's memory.
QString writePayload(const QString &path, qint64 bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray chunk(1 << 20, '\0');
    for (qint64 written = 0; written < bytes; written += chunk.size()) {
        for (int i = 0; i < chunk.size(); i += 64)
            chunk[i] = char((written / chunk.size() + i) & 0xff);
        file.write(chunk);
        hash.addData(chunk);
    }
    return QString::fromLatin1(hash.result().toHex());
}

void waitUntil(const std::function<bool()> &done)
{
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

Run throughTask(const QUrl &url, const QString &sha256)
{
    Apt_Task task;
    task.sourceId = QStringLiteral("velkor-app-store");
    task.packageName = QStringLiteral("twk-bench-http");
    task.version = QStringLiteral("1.0");
    task.downloadLink = url.toString();
    task.sha256 = sha256;
    task.needRedownload = true;

    Run run;
    bool ended = false;
    auto *download = new HttpDownloadTask(task);
    QObject::connect(download, &HttpDownloadTask::sigStartInstallOperation,
                     [&](const Apt_Task &) { run.ok = true; });
    QObject::connect(download, &HttpDownloadTask::sigFinished, [&] { ended = true; });
    resetPeakMemory();
    QElapsedTimer timer;
    timer.start();
    QThreadPool pool;
    pool.start(download);
    waitUntil([&] { return ended; });
    run.seconds = timer.nsecsElapsed() / 1e9;
    pool.waitForDone();
    run.peakKiB = peakMemoryKiB();
    // Not the pool's to delete: its owner deletes it once its run ended.
    delete download;
    return run;
}

Run throughPlainGet(const QUrl &url)
{
    Run run;
    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    request.setSslConfiguration(AppStore::TlsTrust::configuration());
    resetPeakMemory();
    QElapsedTimer timer;
    timer.start();
    QNetworkReply *reply = manager.get(request);
    qint64 received = 0;
    QObject::connect(reply, &QIODevice::readyRead, [&] { received += reply->readAll().size(); });
    waitUntil([&] { return reply->isFinished(); });
    received += reply->readAll().size();
    run.seconds = timer.nsecsElapsed() / 1e9;
    run.ok = reply->error() == QNetworkReply::NoError && received > 0;
    run.peakKiB = peakMemoryKiB();
    reply->deleteLater();
    return run;
}

void print(const char *name, const Run &run, qint64 bytes)
{
    std::printf("%-26s %s %8.1f MB/s  %6.2f s  peak RSS %lld KiB\n", name, run.ok ? "ok " : "FAIL",
                bytes / 1e6 / run.seconds, run.seconds, static_cast<long long>(run.peakKiB));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false"));
    const int mebibytes = qMax(1, app.arguments().value(1).toInt());
    const qint64 bytes = qint64(app.arguments().size() > 1 ? mebibytes : 256) << 20;

    QTemporaryDir dir;
    LocalHttpsServer server;
    if (!dir.isValid() || !server.start() || !StoreTestSetup::pointAt(server, dir.path())) {
        std::fprintf(stderr, "cannot start the local server: %s\n",
                     qPrintable(server.errorString()));
        return 1;
    }
    const QString cache = dir.filePath(QStringLiteral("cache/"));
    AppStore::AptSources::setRoots(dir.filePath(QStringLiteral("state/")),
                                   dir.filePath(QStringLiteral("etc-apt")), cache);
    QDir().mkpath(cache + QStringLiteral("archives"));
    const QString sha256 =
        writePayload(server.documentRoot() + QStringLiteral("/payload.bin"), bytes);
    const QUrl url = server.baseUrl().resolved(QUrl(QStringLiteral("payload.bin")));

    const Run plain = throughPlainGet(url);
    const Run task = throughTask(url, sha256);
    print("plain GET", plain, bytes);
    print("download task (+SHA-256)", task, bytes);
    std::printf("task / plain throughput: %.2f\n", plain.seconds / task.seconds);
    return plain.ok && task.ok ? 0 : 1;
}
