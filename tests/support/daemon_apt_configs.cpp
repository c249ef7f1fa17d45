#include "daemon_apt_configs.h"

#include "engine_test_setup.h"

namespace {

const QString kStateDir = QStringLiteral("/var/lib/tarnwick-daemon/");

QStringList configPaths()
{
    return {kStateDir + QStringLiteral("apt_default.conf"),
            kStateDir + QStringLiteral("apt_custom.conf"),
            kStateDir + QStringLiteral("apt_custom_v2.conf")};
}

} // namespace

DaemonAptConfigs::DaemonAptConfigs()
    : m_guard(configPaths())
{
    if (!m_guard.isValid()) {
        m_error = m_guard.errorString();
        return;
    }
    m_error = EngineTestSetup::writeAptConfigs(
        kStateDir, QStringLiteral("/var/cache/velkor/tarnwick-daemon/"));
}
