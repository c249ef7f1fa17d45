#include "daemon_apt_configs.h"
#include "daemon_under_test.h"
#include "private_system_bus.h"
#include "system_file_guard.h"
#include "test_env.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

#include <csignal>
#include <memory>

namespace {

const QString kService = QStringLiteral("com.tarnwick.daemon");
const QString kPath = QStringLiteral("/appstore");
const QString kInterface = QStringLiteral("com.tarnwick.daemon.interface");

QDBusMessage callDaemon(const QString &interface, const QString &method,
                        const QVariantList &arguments = {})
{
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, interface, method);
    call.setArguments(arguments);
    return QDBusConnection::systemBus().call(call, QDBus::Block, 40000);
}

// Each member of the interface as one line: kind, name, and its arguments
// with names, types and directions in order, so that any difference a
// client could notice shows as a different line.
QStringList interfaceMembers(const QString &xml)
{
    QStringList members;
    QXmlStreamReader reader(xml);
    bool inInterface = false;
    QString member;
    QStringList arguments;
    while (!reader.atEnd()) {
        reader.readNext();
        const QXmlStreamAttributes attributes = reader.attributes();
        const auto name = reader.name();
        if (reader.isStartElement() && name == QLatin1String("interface")) {
            inInterface = attributes.value(QLatin1String("name")) == kInterface;
        } else if (!inInterface) {
            continue;
        } else if (reader.isStartElement() && name == QLatin1String("property")) {
            members << QStringLiteral("property %1 %2 %3")
                           .arg(attributes.value(QLatin1String("name")),
                                attributes.value(QLatin1String("type")),
                                attributes.value(QLatin1String("access")));
        } else if (reader.isStartElement() &&
                   (name == QLatin1String("method") || name == QLatin1String("signal"))) {
            member = name.toString() + u' ' + attributes.value(QLatin1String("name"));
            arguments.clear();
        } else if (reader.isStartElement() && name == QLatin1String("arg")) {
            arguments << QStringLiteral("%1 %2 %3")
                             .arg(attributes.value(QLatin1String("direction")),
                                  attributes.value(QLatin1String("type")),
                                  attributes.value(QLatin1String("name")))
                             .trimmed();
        } else if (reader.isEndElement() &&
                   (name == QLatin1String("method") || name == QLatin1String("signal"))) {
            members << member + u'(' + arguments.join(QStringLiteral(", ")) + u')';
        } else if (reader.isEndElement() && name == QLatin1String("interface")) {
            inInterface = false;
        }
    }
    return members;
}

QString difference(const QStringList &from, const QStringList &without)
{
    QStringList left = from;
    for (const QString &member : without)
        left.removeOne(member);
    left.sort();
    return left.isEmpty() ? QStringLiteral("(none)")
                          : QStringLiteral("\n  ") + left.join(QStringLiteral("\n  "));
}

} // namespace

// The published face of the daemon: started by the bus on demand, and
// exactly the interface its clients are given.
class TestBusContract : public QObject
{
    Q_OBJECT

private:
    PrivateSystemBus m_bus;
    QTemporaryDir m_services;
    QTemporaryDir m_home;
    std::unique_ptr<SystemFileGuard> m_guard;
    std::unique_ptr<DaemonAptConfigs> m_aptConfigs;

private Q_SLOTS:
    void initTestCase()
    {
        m_guard = std::make_unique<SystemFileGuard>(DaemonUnderTest::statePaths());
        QVERIFY2(m_guard->isValid(), qPrintable(m_guard->errorString()));
        m_aptConfigs = std::make_unique<DaemonAptConfigs>();
        QVERIFY2(m_aptConfigs->isValid(), qPrintable(m_aptConfigs->errorString()));
        // The installed activation file, started from the build instead.
        QString activation = QString::fromUtf8(TestEnv::readFile(
            TestEnv::binaryDir() + QStringLiteral("/com.tarnwick.daemon.service")));
        QVERIFY(activation.contains(QStringLiteral("\nUser=root\n")));
        QVERIFY(activation.contains(QStringLiteral("\nSystemdService=tarnwick-daemon.service\n")));
        const qsizetype exec = activation.indexOf(QStringLiteral("\nExec=/"));
        QVERIFY(exec > 0);
        activation.replace(exec, activation.indexOf(u'\n', exec + 1) - exec,
                           QStringLiteral("\nExec=") + TestEnv::daemonPath());
        QVERIFY(
            TestEnv::writeFile(m_services.filePath(QStringLiteral("com.tarnwick.daemon.service")),
                               activation.toUtf8()));
        // The bus hands its own environment to what it starts.
        for (const QString &entry : DaemonUnderTest::environment(m_home.path(), false)) {
            const qsizetype equals = entry.indexOf(u'=');
            qputenv(entry.left(equals).toUtf8().constData(), entry.mid(equals + 1).toUtf8());
        }
        m_bus.addServiceDirectory(m_services.path());
        QVERIFY2(!m_bus.start().isEmpty(), qPrintable(m_bus.errorString()));
    }

    void cleanupTestCase()
    {
        const auto pid = QDBusConnection::systemBus().interface()->servicePid(kService);
        if (pid.isValid() && pid.value() > 0) {
            ::kill(static_cast<pid_t>(pid.value()), SIGTERM);
            QVERIFY(TestEnv::waitFor([] { return !DaemonUnderTest::isOnBus(); }, 30000));
        }
        m_bus.stop();
        m_aptConfigs.reset();
        QVERIFY2(m_guard->restore(), qPrintable(m_guard->errorString()));
    }

    void busStartsTheDaemonOnDemand()
    {
        QVERIFY(!DaemonUnderTest::isOnBus());
        const QDBusMessage reply =
            callDaemon(QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                       {kInterface, QStringLiteral("Version")});
        QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
        QCOMPARE(qvariant_cast<QDBusVariant>(reply.arguments().value(0)).variant().toString(),
                 QStringLiteral("8.0.7.0007"));
    }

    void publishedFileIsWhole()
    {
        const QStringList published = interfaceMembers(QString::fromUtf8(
            TestEnv::readFile(TestEnv::sourceDir() +
                              QStringLiteral("/data/dbus/com.tarnwick.daemon.interface.xml"))));
        QCOMPARE(published.filter(QRegularExpression(QStringLiteral("^method "))).size(), 42);
        QCOMPARE(published.filter(QRegularExpression(QStringLiteral("^signal "))).size(), 19);
        QCOMPARE(published.filter(QRegularExpression(QStringLiteral("^property .* read$"))).size(),
                 3);
    }

    void introspectionMatchesThePublishedFile()
    {
        const QDBusMessage reply = callDaemon(QStringLiteral("org.freedesktop.DBus.Introspectable"),
                                              QStringLiteral("Introspect"));
        QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
        const QStringList running = interfaceMembers(reply.arguments().value(0).toString());
        const QStringList published = interfaceMembers(QString::fromUtf8(
            TestEnv::readFile(TestEnv::sourceDir() +
                              QStringLiteral("/data/dbus/com.tarnwick.daemon.interface.xml"))));
        const QString missing = difference(published, running);
        const QString extra = difference(running, published);
        // In full: the test framework shortens long failure messages.
        if (missing != QLatin1String("(none)") || extra != QLatin1String("(none)"))
            qInfo().noquote() << "published but not offered:" << missing
                              << "\noffered but not published:" << extra;
        QCOMPARE(missing, QStringLiteral("(none)"));
        QCOMPARE(extra, QStringLiteral("(none)"));
    }

    void internalSlotsAreNotOffered_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QVariantList>("arguments");
        const QString s = QStringLiteral("x");
        QTest::newRow("UpgradePackage")
            << QStringLiteral("UpgradePackage") << QVariantList{s, s, s, s, 0, s};
        QTest::newRow("AptInstallKey") << QStringLiteral("AptInstallKey") << QVariantList{};
        QTest::newRow("StopInstallPackage")
            << QStringLiteral("StopInstallPackage") << QVariantList{s, s};
        QTest::newRow("UpdateSourceDir") << QStringLiteral("UpdateSourceDir") << QVariantList{};
        QTest::newRow("ClearCacheDir") << QStringLiteral("ClearCacheDir") << QVariantList{};
        QTest::newRow("reportMode") << QStringLiteral("reportMode") << QVariantList{s};
        QTest::newRow("reportManualInfo")
            << QStringLiteral("reportManualInfo") << QVariantList{s, s, s};
        QTest::newRow("slotInstallPackageFailed")
            << QStringLiteral("slotInstallPackageFailed") << QVariantList{s, s};
    }

    void internalSlotsAreNotOffered()
    {
        QFETCH(QString, method);
        QFETCH(QVariantList, arguments);
        const QDBusMessage reply = callDaemon(kInterface, method, arguments);
        QCOMPARE(reply.errorName(), QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"));
    }
};

QTEST_GUILESS_MAIN(TestBusContract)
#include "tst_bus_contract.moc"
