#include "private_system_bus.h"
#include "test_env.h"
#include "utils/process_runner.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QTest>

class TestPrivateSystemBus : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        m_bus.allowService(QStringLiteral("org.freedesktop.login1"));
        QVERIFY2(!m_bus.start().isEmpty(), qPrintable(m_bus.errorString()));
        QVERIFY(QDBusConnection::systemBus().isConnected());
    }

    void policyDecidesWhoOwnsWhichName()
    {
        QDBusConnectionInterface *bus = QDBusConnection::systemBus().interface();
        const auto standIn = bus->registerService(QStringLiteral("org.freedesktop.login1"));
        QVERIFY2(standIn.isValid(), qPrintable(standIn.error().message()));
        QCOMPARE(standIn.value(), QDBusConnectionInterface::ServiceRegistered);

        // The daemon's own policy file is in force: root may own its name.
        const auto daemon = bus->registerService(QStringLiteral("com.tarnwick.daemon"));
        QVERIFY2(daemon.isValid(), qPrintable(daemon.error().message()));

        const auto other = bus->registerService(QStringLiteral("org.freedesktop.NetworkManager"));
        QVERIFY(!other.isValid());
        QCOMPARE(other.error().type(), QDBusError::AccessDenied);
    }

    void childProcessesReachTheSameBus()
    {
        AppStore::ProcessSpec spec;
        spec.program = QStringLiteral("dbus-send");
        spec.arguments = {QStringLiteral("--system"),
                          QStringLiteral("--print-reply"),
                          QStringLiteral("--dest=org.freedesktop.DBus"),
                          QStringLiteral("/org/freedesktop/DBus"),
                          QStringLiteral("org.freedesktop.DBus.NameHasOwner"),
                          QStringLiteral("string:org.freedesktop.login1")};
        spec.environmentMode = AppStore::ProcessSpec::Environment::Extend;
        spec.environment = m_bus.environment();
        const AppStore::ProcessResult result = AppStore::ProcessRunner::run(spec);
        QVERIFY2(result.succeeded(), qPrintable(result.errorText()));
        QVERIFY2(result.outputText().contains(QLatin1String("boolean true")),
                 qPrintable(result.outputText()));
    }

    void stopEndsTheBus()
    {
        m_bus.stop();
        QVERIFY(TestEnv::waitFor([] { return !QDBusConnection::systemBus().isConnected(); }, 5000));
    }

private:
    PrivateSystemBus m_bus;
};

QTEST_GUILESS_MAIN(TestPrivateSystemBus)
#include "tst_private_system_bus.moc"
