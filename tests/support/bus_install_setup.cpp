#include "bus_install_setup.h"

#include "engine_test_setup.h"
#include "store_test_setup.h"
#include "test_env.h"
#include "utils/utils.h"

#include <QDir>
#include <QFile>

namespace {

const QString kStateDir = QStringLiteral("/var/lib/tarnwick-daemon/");
const QString kCacheDir = QStringLiteral("/var/cache/velkor/tarnwick-daemon/");
const QString kAptSources = QStringLiteral("/etc/apt/sources.list");
const QString kAptSourcesDir = QStringLiteral("/etc/apt/sources.list.d");
const QString kStoreConfigDir = QStringLiteral("/etc/velkor/velkor-app-store");

} // namespace

BusInstallSetup::BusInstallSetup() = default;

BusInstallSetup::~BusInstallSetup()
{
    m_daemon.reset();
    if (m_guard)
        m_guard->restore();
}

bool BusInstallSetup::fail(const QString &message)
{
    m_error = message;
    return false;
}

QString BusInstallSetup::daemonAptConfig()
{
    return AppStore::Utils::aptConfigFilePath();
}

// The machine's other sources would send apt beyond this machine; the guard
// brings them back.
bool BusInstallSetup::prepareSystemFiles()
{
    m_guard = std::make_unique<SystemFileGuard>(
        DaemonUnderTest::statePaths() + QStringList{kAptSources, kAptSourcesDir,
                                                    QStringLiteral("/var/lib/apt/extended_states"),
                                                    kStoreConfigDir});
    if (!m_guard->isValid())
        return fail(m_guard->errorString());
    if (!QDir(kAptSourcesDir).removeRecursively() || !QDir().mkpath(kAptSourcesDir))
        return fail(QStringLiteral("cannot empty ") + kAptSourcesDir);
    if (!EngineTestSetup::writeSystemSources(QStringLiteral("/etc/apt"),
                                             m_repository.sourcesLine()))
        return fail(QStringLiteral("cannot write the apt sources"));
    const QString configError = EngineTestSetup::writeAptConfigs(kStateDir, kCacheDir);
    if (!configError.isEmpty())
        return fail(configError);
    if (!TestEnv::writeFile(kStoreConfigDir + QStringLiteral("/appstore-serveice-0618.conf"),
                            StoreTestSetup::baseUrl(m_store).toUtf8() + '\n'))
        return fail(QStringLiteral("cannot point the daemon at the local store"));
    return true;
}

bool BusInstallSetup::start(bool debugLog)
{
    if (!m_repository.publish())
        return fail(m_repository.errorString());
    if (!m_store.start())
        return fail(m_store.errorString());
    if (!prepareSystemFiles())
        return false;
    if (m_bus.start().isEmpty())
        return fail(m_bus.errorString());
    return restartDaemon(debugLog);
}

bool BusInstallSetup::restartDaemon(bool debugLog)
{
    m_daemon.reset();
    m_daemon = std::make_unique<DaemonUnderTest>(m_bus);
    m_daemon->addEnvironment(
        {QStringLiteral("TARNWICK_EXTRA_CA_FILE=") + m_store.caCertificatePath(),
         QStringLiteral("TARNWICK_STATISTICS_URL=") + StoreTestSetup::baseUrl(m_store) +
             QStringLiteral("/upload/downstat")});
    if (!m_daemon->start(debugLog))
        return fail(QStringLiteral("the daemon did not start:\n") +
                    m_daemon->logLines().join(u'\n'));
    // The daemon rebuilds its own sources while it starts; then its package
    // lists are brought up to date.
    const bool updated = TestEnv::waitFor(
        [] {
            return QFile::exists(kStateDir + QStringLiteral("sources.list.d/appstore.list")) &&
                   TestEnv::runTool(
                       QStringLiteral("apt-get"),
                       {QStringLiteral("-c"), daemonAptConfig(), QStringLiteral("update")})
                       .succeeded();
        },
        30000);
    return updated || fail(QStringLiteral("the daemon's package lists stay out of date"));
}
