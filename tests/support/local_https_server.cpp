#include "local_https_server.h"

#include "test_env.h"
#include "utils/process_runner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

LocalHttpsServer::LocalHttpsServer(Certificate certificate)
    : m_certificate(certificate)
{
    QDir().mkpath(documentRoot());
}

LocalHttpsServer::~LocalHttpsServer() = default;

bool LocalHttpsServer::openssl(const QStringList &arguments)
{
    AppStore::ProcessSpec spec;
    spec.program = QStringLiteral("openssl");
    spec.arguments = arguments;
    spec.workingDirectory = m_dir.path();
    const AppStore::ProcessResult result = AppStore::ProcessRunner::run(spec);
    if (!result.succeeded())
        return fail(QStringLiteral("openssl ") + arguments.first() + QStringLiteral(" failed: ") +
                    result.errorString + result.errorText());
    return true;
}

bool LocalHttpsServer::createCertificates()
{
    if (QFileInfo::exists(m_dir.filePath(QStringLiteral("server.pem"))))
        return true;
    const QStringList newKey{
        QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
        QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
    QFile extensions(m_dir.filePath(QStringLiteral("server.ext")));
    if (!extensions.open(QIODevice::WriteOnly) ||
        extensions.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n") < 0)
        return fail(QStringLiteral("cannot write server.ext"));
    extensions.close();
    const auto makeCa = [&](const QString &name, const QString &subject) {
        return openssl(QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + newKey +
                       QStringList{QStringLiteral("-keyout"), name + QStringLiteral(".key"),
                                   QStringLiteral("-out"), name + QStringLiteral(".pem"),
                                   QStringLiteral("-days"), QStringLiteral("30"),
                                   QStringLiteral("-subj"), subject});
    };
    const QString signer = m_certificate == Certificate::FromOtherCa ? QStringLiteral("other-ca")
                                                                     : QStringLiteral("ca");
    return makeCa(QStringLiteral("ca"), QStringLiteral("/CN=Tarnwick Test CA")) &&
           (m_certificate == Certificate::FromTestCa ||
            makeCa(signer, QStringLiteral("/CN=Tarnwick Other CA"))) &&
           openssl(QStringList{QStringLiteral("req")} + newKey +
                   QStringList{QStringLiteral("-keyout"), QStringLiteral("server.key"),
                               QStringLiteral("-out"), QStringLiteral("server.csr"),
                               QStringLiteral("-subj"), QStringLiteral("/CN=localhost")}) &&
           openssl({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                    QStringLiteral("server.csr"), QStringLiteral("-CA"),
                    signer + QStringLiteral(".pem"), QStringLiteral("-CAkey"),
                    signer + QStringLiteral(".key"), QStringLiteral("-CAcreateserial"),
                    QStringLiteral("-days"), QStringLiteral("30"), QStringLiteral("-extfile"),
                    QStringLiteral("server.ext"), QStringLiteral("-out"),
                    QStringLiteral("server.pem")});
}

bool LocalHttpsServer::start(const QString &directory)
{
    stop();
    if (!m_dir.isValid() || !createCertificates())
        return false;
    const QString log = m_dir.filePath(QStringLiteral("requests.jsonl"));
    QFile logFile(log);
    if (!logFile.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(QStringLiteral("cannot create ") + log);
    logFile.close();
    const QString root = directory.isEmpty() ? documentRoot() : directory;
    const QString script = TestEnv::supportDir() + QStringLiteral("/https_server.py");
    const auto arguments = [&](quint16 port) {
        return QStringList{QStringLiteral("-u"),
                           script,
                           root,
                           QString::number(port),
                           m_dir.filePath(QStringLiteral("server.pem")),
                           m_dir.filePath(QStringLiteral("server.key")),
                           log,
                           m_dir.filePath(QStringLiteral("routes.json"))};
    };
    if (!writeRoutes())
        return false;
    if (!m_server.startOnFreePort(QStringLiteral("python3"), arguments))
        return fail(m_server.errorString());
    return true;
}

void LocalHttpsServer::stop()
{
    m_server.stop();
}

QString LocalHttpsServer::documentRoot() const
{
    return m_dir.filePath(QStringLiteral("www"));
}

bool LocalHttpsServer::addFile(const QString &relativePath, const QByteArray &contents)
{
    return TestEnv::writeFile(documentRoot() + u'/' + relativePath, contents);
}

bool LocalHttpsServer::setRoute(const QString &pathAndQuery, const Route &route)
{
    m_routes.insert(pathAndQuery, Entry{route, QString(), QString()});
    return writeRoutes();
}

bool LocalHttpsServer::setFileRoute(const QString &path, RangeAnswer answer)
{
    static const QStringList words{QStringLiteral("partial"), QStringLiteral("whole"),
                                   QStringLiteral("refuse"), QStringLiteral("unsized")};
    m_routes.insert(path, Entry{Route(), QString(), words.at(int(answer))});
    return writeRoutes();
}

bool LocalHttpsServer::setRedirect(const QString &pathAndQuery, int status, const QString &location)
{
    Route route;
    route.status = status;
    m_routes.insert(pathAndQuery, Entry{route, location, QString()});
    return writeRoutes();
}

bool LocalHttpsServer::clearRoutes()
{
    m_routes.clear();
    return writeRoutes();
}

bool LocalHttpsServer::writeRoutes()
{
    QJsonObject routes;
    for (auto it = m_routes.constBegin(); it != m_routes.constEnd(); ++it) {
        const Route &answer = it->route;
        QJsonObject route{{QStringLiteral("status"), answer.status},
                          {QStringLiteral("body"), QString::fromLatin1(answer.body.toBase64())},
                          {QStringLiteral("stall"), answer.stallSeconds},
                          {QStringLiteral("drop"), answer.drop},
                          {QStringLiteral("location"), it->location}};
        if (!it->rangeWord.isEmpty())
            route.insert(QStringLiteral("range"), it->rangeWord);
        routes.insert(it.key(), route);
    }
    // Replaced whole, so the server never reads half a file.
    const QString path = m_dir.filePath(QStringLiteral("routes.json"));
    if (!TestEnv::writeFile(path + QStringLiteral(".new"), QJsonDocument(routes).toJson()) ||
        ::rename(QFile::encodeName(path + QStringLiteral(".new")).constData(),
                 QFile::encodeName(path).constData()) != 0)
        return fail(QStringLiteral("cannot write ") + path);
    return true;
}

QString LocalHttpsServer::caCertificatePath() const
{
    return m_dir.filePath(QStringLiteral("ca.pem"));
}

QUrl LocalHttpsServer::baseUrl() const
{
    return QUrl(QStringLiteral("https://127.0.0.1:%1/").arg(m_server.port()));
}

QList<LocalHttpsServer::Request> LocalHttpsServer::requestLog() const
{
    QFile file(m_dir.filePath(QStringLiteral("requests.jsonl")));
    QList<Request> requests;
    if (!file.open(QIODevice::ReadOnly))
        return requests;
    while (!file.atEnd()) {
        const QJsonObject entry = QJsonDocument::fromJson(file.readLine()).object();
        if (entry.isEmpty())
            continue; // a line still being written
        Request request;
        request.method = entry.value(QLatin1String("method")).toString();
        request.path = entry.value(QLatin1String("path")).toString();
        const QJsonObject headers = entry.value(QLatin1String("headers")).toObject();
        for (auto it = headers.constBegin(); it != headers.constEnd(); ++it)
            request.headers.insert(it.key(), it.value().toString());
        request.body =
            QByteArray::fromBase64(entry.value(QLatin1String("body")).toString().toLatin1());
        requests.append(request);
    }
    return requests;
}

bool LocalHttpsServer::fail(const QString &message)
{
    m_error = message;
    qWarning().noquote() << message;
    return false;
}
