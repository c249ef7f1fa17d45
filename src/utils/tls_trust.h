#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QString>

namespace AppStore {

// The certificates the daemon trusts for its HTTPS peers: the system's CA
// store plus, for deployments with a CA of their own, the certificates of one
// extra file. The file is named by the environment variable
// "TARNWICK_EXTRA_CA_FILE", read once, at the first request.
class TlsTrust
{
public:
    TlsTrust() = delete;

    // Peer verification on, TLS 1.2 or later, the trusted CAs.
    static QSslConfiguration configuration();

    // Replaces what the environment named; an empty path trusts the system
    // store alone. False (and nothing changed) when the file holds no
    // certificate.
    static bool setExtraCaFile(const QString &path);
};

} // namespace AppStore
