#include "daemon_under_test.h"

#include "private_system_bus.h"
#include "test_env.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QJsonDocument>
#include <QJsonObject>

using AppStore::ProcessSpec;

DaemonUnderTest::DaemonUnderTest(const PrivateSystemBus &bus)
    : m_bus(bus)
{
    QObject::connect(&m_daemon, &AppStore::ProcessRunner::standardErrorLine, &m_daemon,
                     [this](const QString &line) { m_lines.append(line); });
}

DaemonUnderTest::~DaemonUnderTest()
{
    stop();
}

QStringList DaemonUnderTest::statePaths()
{
    return {QStringLiteral("/var/lib/tarnwick-daemon"), QStringLiteral("/var/cache/velkor"),
            QStringLiteral("/var/log/velkor")};
}

QStringList DaemonUnderTest::environment(const QString &home, bool debugLog)
{
    const QString config = home + QStringLiteral("/config");
    if (debugLog) {
        const QJsonObject values{{QStringLiteral("log_rules"),
                                  QStringLiteral("com.velkor.app-store.system-daemon.debug=true")}};
        TestEnv::writeFile(config + QStringLiteral("/velkor-app-store/com.velkor.app-store.json"),
                           QJsonDocument(values).toJson());
    }
    return {QStringLiteral("HOME=") + home,
            QStringLiteral("XDG_CACHE_HOME=") + home + QStringLiteral("/cache"),
            QStringLiteral("BEXA_CONFIG_DIR=") + config};
}

bool DaemonUnderTest::isOnBus()
{
    return QDBusConnection::systemBus().interface()->isServiceRegistered(
        QStringLiteral("com.tarnwick.daemon"));
}

bool DaemonUnderTest::start(bool debugLog)
{
    if (!m_aptConfigs)
        m_aptConfigs = std::make_unique<DaemonAptConfigs>();
    if (!m_aptConfigs->isValid()) {
        m_lines << m_aptConfigs->errorString();
        return false;
    }
    ProcessSpec spec;
    spec.program = TestEnv::daemonPath();
    spec.environmentMode = ProcessSpec::Environment::Extend;
    spec.environment =
        m_bus.environment() + environment(m_home.path(), debugLog) + m_extraEnvironment;
    spec.timeoutMs = 600000;
    return m_home.isValid() && m_daemon.start(spec) && TestEnv::waitFor(isOnBus, 15000);
}

bool DaemonUnderTest::stop()
{
    if (!m_daemon.isRunning())
        return true;
    m_daemon.kill();
    m_daemon.waitForFinished();
    return TestEnv::waitFor([] { return !isOnBus(); }, 10000);
}

QDBusMessage DaemonUnderTest::methodCall(const QString &name, const QVariantList &arguments)
{
    // As the test client takes it: a name with a dot is one of another
    // interface of the object.
    const qsizetype dot = name.lastIndexOf(u'.');
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("com.tarnwick.daemon"), QStringLiteral("/appstore"),
        dot < 0 ? QStringLiteral("com.tarnwick.daemon.interface") : name.left(dot),
        name.mid(dot + 1));
    message.setArguments(arguments);
    return message;
}

int DaemonUnderTest::countLines(const QString &text) const
{
    return static_cast<int>(m_lines.filter(text).size());
}
