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

    LocalHttpsServer();
    ~LocalHttpsServer();

    // Serves directory, or documentRoot() when none is given.
    bool start(const QString &directory = {});
    void stop();

    QString documentRoot() const;
    bool addFile(const QString &relativePath, const QByteArray &contents);

    QString caCertificatePath() const;
    QUrl baseUrl() const; // "https://127.0.0.1:<port>/"
    QList<Request> requestLog() const;
    QString errorString() const { return m_error; }

private:
    bool createCertificates();
    bool openssl(const QStringList &arguments);
    bool fail(const QString &message);

    QTemporaryDir m_dir;
    ServerProcess m_server;
    QString m_error;
};
