#include "store_test_setup.h"

#include "local_https_server.h"
#include "test_env.h"

#include "service/statistics_report.h"
#include "utils/tls_trust.h"
#include "utils/utils.h"

namespace StoreTestSetup {

QString baseUrl(const LocalHttpsServer &server)
{
    QString base = server.baseUrl().toString();
    base.chop(1); // the request paths begin with "/"
    return base;
}

bool pointAt(const LocalHttpsServer &server, const QString &configDir)
{
    if (!AppStore::TlsTrust::setExtraCaFile(server.caCertificatePath()) ||
        !TestEnv::writeFile(configDir + QStringLiteral("/store/appstore-serveice-0618.conf"),
                            "# the local store\n\n" + baseUrl(server).toUtf8() + '\n'))
        return false;
    AppStore::HardwareReaderPaths paths = AppStore::Utils::readerPaths();
    paths.storeConfigDir = configDir + QStringLiteral("/store/");
    AppStore::Utils::setReaderPaths(paths);
    StatisticsReport::setStatisticsUrl(baseUrl(server) + QStringLiteral("/upload/downstat"));
    return true;
}

QStringList daemonEnvironment(const LocalHttpsServer &server)
{
    if (!TestEnv::writeFile(
            QStringLiteral("/etc/velkor/velkor-app-store/appstore-serveice-0618.conf"),
            baseUrl(server).toUtf8() + '\n'))
        return {};
    return {QStringLiteral("TARNWICK_EXTRA_CA_FILE=") + server.caCertificatePath(),
            QStringLiteral("TARNWICK_STATISTICS_URL=") + baseUrl(server) +
                QStringLiteral("/upload/downstat")};
}

} // namespace StoreTestSetup
