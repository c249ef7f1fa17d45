#include "blocking_http_request.h"

#include "utils/proxy_system.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QThread>
#include <QTimer>

#include <memory>

namespace {

// How often a waiting caller looks whether it is told to stop.
constexpr int kStopCheckMs = 50;

} // namespace

BlockingHttpRequest::Outcome BlockingHttpRequest::get(const QNetworkRequest &request, int timeoutMs,
                                                      qint64 maxBodyBytes)
{
    return run(request, QByteArrayLiteral("GET"), {}, timeoutMs, maxBodyBytes);
}

BlockingHttpRequest::Outcome BlockingHttpRequest::post(const QNetworkRequest &request,
                                                       const QByteArray &body, int timeoutMs,
                                                       qint64 maxBodyBytes)
{
    return run(request, QByteArrayLiteral("POST"), body, timeoutMs, maxBodyBytes);
}

BlockingHttpRequest::Outcome BlockingHttpRequest::run(const QNetworkRequest &request,
                                                      const QByteArray &verb,
                                                      const QByteArray &body, int timeoutMs,
                                                      qint64 maxBodyBytes)
{
    // A thread being stopped sends nothing more.
    if (QThread::currentThread()->isInterruptionRequested()) {
        Outcome outcome;
        outcome.error = QStringLiteral("the thread is stopping");
        return outcome;
    }
    // The exchange waits in an event loop on a thread of its own: a loop on
    // the caller's thread would deliver the caller's queued work in the
    // middle of whatever the caller is doing. The exchange ends by itself
    // within its time limit, so the wait for it is bounded too.
    Outcome outcome;
    std::unique_ptr<QThread> worker(
        QThread::create([&] { outcome = exchange(request, verb, body, timeoutMs, maxBodyBytes); }));
    worker->setObjectName(QStringLiteral("HttpRequest"));
    worker->start();
    // A caller told to stop does not wait out the time limit: the exchange's
    // event loop is told to quit, which fails the request.
    QThread *caller = QThread::currentThread();
    while (!worker->wait(QDeadlineTimer(kStopCheckMs))) {
        if (caller->isInterruptionRequested())
            worker->quit();
    }
    return outcome;
}

BlockingHttpRequest::Outcome BlockingHttpRequest::exchange(const QNetworkRequest &request,
                                                           const QByteArray &verb,
                                                           const QByteArray &body, int timeoutMs,
                                                           qint64 maxBodyBytes)
{
    QNetworkAccessManager manager;
    // The user's manual proxy, as the package tools get it.
    ProxySystem::applyNetworkProxy(&manager, request.url().toString());
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);

    std::unique_ptr<QNetworkReply> reply(verb == "POST" ? manager.post(request, body)
                                                        : manager.get(request));
    bool timedOut = false;
    bool tooLarge = false;
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    QObject::connect(reply.get(), &QNetworkReply::downloadProgress, &loop,
                     [&](qint64 received, qint64 total) {
                         if (received > maxBodyBytes || total > maxBodyBytes) {
                             tooLarge = true;
                             loop.quit();
                         }
                     });
    timer.start(timeoutMs);
    if (!reply->isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    timer.stop();

    Outcome outcome;
    outcome.httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // Whatever ended the wait early (the time limit, a body too large, the
    // thread's event loops told to quit), an unfinished reply is a failure.
    if (timedOut || tooLarge || !reply->isFinished()) {
        reply->abort();
        outcome.error = timedOut   ? QStringLiteral("no answer within %1 ms").arg(timeoutMs)
                        : tooLarge ? QStringLiteral("reply larger than %1 bytes").arg(maxBodyBytes)
                                   : QStringLiteral("interrupted");
        return outcome;
    }
    if (reply->error() != QNetworkReply::NoError) {
        // Qt's text names the whole address, whose query holds what a caller
        // asked for: the address without it says enough.
        outcome.error = reply->errorString();
        for (const QUrl &url : {reply->url(), request.url()})
            outcome.error.replace(url.toString(), url.adjusted(QUrl::RemoveQuery).toString());
        return outcome;
    }
    outcome.body = reply->read(maxBodyBytes + 1);
    if (outcome.body.size() > maxBodyBytes) {
        outcome.body.clear();
        outcome.error = QStringLiteral("reply larger than %1 bytes").arg(maxBodyBytes);
        return outcome;
    }
    outcome.ok = true;
    return outcome;
}
