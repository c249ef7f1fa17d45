#include "tls_trust.h"

#include "common/daemon_log.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSslSocket>

namespace AppStore {

namespace {

QMutex s_mutex;
bool s_loaded = false;
QList<QSslCertificate> s_extra;

QList<QSslCertificate> readCertificates(const QString &path)
{
    return QSslCertificate::fromPath(path, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
}

// Under s_mutex.
void loadFromEnvironmentOnce()
{
    if (s_loaded)
        return;
    s_loaded = true;
    const QString path = qEnvironmentVariable("TARNWICK_EXTRA_CA_FILE");
    if (path.isEmpty())
        return;
    s_extra = readCertificates(path);
    if (s_extra.isEmpty())
        qCWarning(daemonLogCategory) << "No certificate in the extra CA file" << path;
}

} // namespace

QSslConfiguration TlsTrust::configuration()
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setProtocol(QSsl::TlsV1_2OrLater);
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    QMutexLocker locker(&s_mutex);
    loadFromEnvironmentOnce();
    // Adding certificates would stop Qt from consulting the system store on
    // demand: the extra ones join a full copy of it instead.
    if (!s_extra.isEmpty())
        config.setCaCertificates(QSslConfiguration::systemCaCertificates() + s_extra);
    return config;
}

bool TlsTrust::setExtraCaFile(const QString &path)
{
    const QList<QSslCertificate> certificates =
        path.isEmpty() ? QList<QSslCertificate>() : readCertificates(path);
    if (!path.isEmpty() && certificates.isEmpty())
        return false;
    QMutexLocker locker(&s_mutex);
    s_loaded = true;
    s_extra = certificates;
    return true;
}

} // namespace AppStore
