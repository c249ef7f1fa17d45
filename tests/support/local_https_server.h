#pragma once

#include "server_process.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>

// An HTTPS server on 127.0.0.1 with a certificate from a test CA of its own.
// It serves the files of documentRoot(); a POST or PUT gets the file at its
// path as the answer, and every request is logged for the test to inspect.
class LocalHttpsServer
{
public:
    struct Request
    {
        QString method;
        QString path; // with the query
        QMap<QString, QString> headers;
        QByteArray body;
    };

    // A canned answer for one path (with or without its query).
    struct Route
    {
        int status = 200;
        QByteArray body;
        int stallSeconds = 0;
        bool drop = false; // close the connection without answering
    };

    // How a file route answers "Range: bytes=N-": 206 with the file's tail
    // (Partial), 200 with the whole file (Whole), 416 when N > 0 (Refused),
    // 200 with the whole file and no Content-Length (Unsized).
    enum class RangeAnswer { Partial, Whole, Refused, Unsized };

    enum class Certificate { FromTestCa, FromOtherCa };

    // FromOtherCa: the server's certificate is signed by a CA other than the
    // one caCertificatePath() names, so a client trusting that one refuses.
    explicit LocalHttpsServer(Certificate certificate = Certificate::FromTestCa);
    ~LocalHttpsServer();

    // Serves directory, or documentRoot() when none is given.
    bool start(const QString &directory = {});
    void stop();

    QString documentRoot() const;
    bool addFile(const QString &relativePath, const QByteArray &contents);
    // Takes effect with the next request.
    bool setRoute(const QString &pathAndQuery, const Route &route);
    // Serves the file at the path (see addFile) with this range handling.
    bool setFileRoute(const QString &path, RangeAnswer answer);
    // Answers status (a 3xx) with location as its "Location" header.
    bool setRedirect(const QString &pathAndQuery, int status, const QString &location);
    bool clearRoutes();

    QString caCertificatePath() const;
    QUrl baseUrl() const; // "https://127.0.0.1:<port>/"
    QList<Request> requestLog() const;
    QString errorString() const { return m_error; }

private:
    bool createCertificates();
    bool writeRoutes();
    bool openssl(const QStringList &arguments);
    bool fail(const QString &message);

    struct Entry
    {
        Route route;
        QString location;  // empty: no "Location" header
        QString rangeWord; // empty: the route's body is the answer
    };

    Certificate m_certificate;
    QMap<QString, Entry> m_routes;
    QTemporaryDir m_dir;
    ServerProcess m_server;
    QString m_error;
};
