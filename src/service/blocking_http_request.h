#pragma once

#include <QByteArray>
#include <QNetworkRequest>
#include <QString>

// One HTTP(S) exchange that blocks the calling thread until it ends: a
// network access manager, an event loop, a timer and a short-lived thread of
// its own, so no connection or state is shared between requests and nothing
// queued to the caller runs while it waits. A request that has not
// finished when the time limit ends is aborted and counts as failed; a body
// larger than the bound is refused, so a hostile server cannot exhaust
// memory. A caller whose thread is asked to stop (requestInterruption) has
// its exchange fail at once.
class BlockingHttpRequest
{
public:
    struct Outcome
    {
        bool ok = false;
        int httpStatus = 0;
        QByteArray body;
        QString error; // empty when ok
    };

    // Bodies the store replies need are well below this.
    static constexpr qint64 kDefaultMaxBodyBytes = 8 * 1024 * 1024;

    static Outcome get(const QNetworkRequest &request, int timeoutMs,
                       qint64 maxBodyBytes = kDefaultMaxBodyBytes);
    static Outcome post(const QNetworkRequest &request, const QByteArray &body, int timeoutMs,
                        qint64 maxBodyBytes = kDefaultMaxBodyBytes);

private:
    static Outcome exchange(const QNetworkRequest &request, const QByteArray &verb,
                            const QByteArray &body, int timeoutMs, qint64 maxBodyBytes);
    static Outcome run(const QNetworkRequest &request, const QByteArray &verb,
                       const QByteArray &body, int timeoutMs, qint64 maxBodyBytes);
};
