#include "private_system_bus.h"

#include "test_env.h"

#include <QDir>
#include <QFile>

namespace {

const char kDocType[] = "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                        "1.0//EN\"\n \"http://www.freedesktop.org/standards/dbus/1.0/"
                        "busconfig.dtd\">\n";

} // namespace

PrivateSystemBus::PrivateSystemBus() = default;

PrivateSystemBus::~PrivateSystemBus()
{
    stop();
}

void PrivateSystemBus::addPolicy(const QString &busconfigElements)
{
    m_policies.append(busconfigElements);
}

void PrivateSystemBus::allowService(const QString &name)
{
    addPolicy(QStringLiteral("<policy context=\"default\"><allow own=\"%1\"/>"
                             "<allow send_destination=\"%1\"/></policy>")
                  .arg(name));
}

void PrivateSystemBus::addServiceDirectory(const QString &path)
{
    addPolicy(QStringLiteral("<servicedir>%1</servicedir>").arg(path));
}

bool PrivateSystemBus::openToAllUsers()
{
    const auto everyone = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                          QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
    const QString socket = m_dir.filePath(QStringLiteral("system_bus_socket"));
    return QFile::setPermissions(m_dir.path(), everyone) &&
           QFile::setPermissions(socket, everyone | QFile::WriteGroup | QFile::WriteOther);
}

bool PrivateSystemBus::writeConfiguration()
{
    const QString policyDir = m_dir.filePath(QStringLiteral("policy.d"));
    if (!QDir().mkpath(policyDir))
        return false;
    for (int i = 0; i < m_policies.size(); ++i) {
        const QString path = policyDir + QStringLiteral("/%1.conf").arg(i, 3, 10, QLatin1Char('0'));
        const QString text = QLatin1String(kDocType) + QStringLiteral("<busconfig>\n") +
                             m_policies.at(i) + QStringLiteral("\n</busconfig>\n");
        if (!TestEnv::writeFile(path, text.toUtf8()))
            return false;
    }
    // The same stand-in bus configuration scripts/run uses, with the
    // daemon's own policy beside the test's snippets.
    const QString dataDir = TestEnv::sourceDir() + QStringLiteral("/data/dbus/");
    if (!QFile::copy(dataDir + QStringLiteral("com.tarnwick.daemon.conf"),
                     policyDir + QStringLiteral("/com.tarnwick.daemon.conf")))
        return false;
    QFile templateFile(dataDir + QStringLiteral("standin-system-bus.conf.in"));
    if (!templateFile.open(QIODevice::ReadOnly))
        return false;
    QString config = QString::fromUtf8(templateFile.readAll());
    config.replace(QStringLiteral("@SOCKET@"), m_dir.filePath(QStringLiteral("system_bus_socket")));
    config.replace(QStringLiteral("@POLICY_DIR@"), policyDir);
    return TestEnv::writeFile(m_dir.filePath(QStringLiteral("system-bus.conf")), config.toUtf8());
}

QString PrivateSystemBus::start()
{
    stop();
    if (!m_dir.isValid() || !writeConfiguration()) {
        m_error = QStringLiteral("cannot write the bus configuration into ") + m_dir.path();
        return {};
    }
    const QStringList arguments{QStringLiteral("--config-file=") +
                                    m_dir.filePath(QStringLiteral("system-bus.conf")),
                                QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
                                QStringLiteral("--print-address=1")};
    // Services the bus starts itself find their way back to it.
    const QStringList environment{QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS=unix:path=") +
                                  m_dir.filePath(QStringLiteral("system_bus_socket"))};
    if (!m_daemon.start(QStringLiteral("dbus-daemon"), arguments, environment)) {
        m_error = m_daemon.errorString();
        return {};
    }
    m_address = m_daemon.readyLine().trimmed();
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.toUtf8());
    return m_address;
}

void PrivateSystemBus::stop()
{
    m_daemon.stop();
    m_address.clear();
}

QStringList PrivateSystemBus::environment() const
{
    return {QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS=") + m_address};
}
