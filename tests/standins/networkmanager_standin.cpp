// Stands in for NetworkManager on the (private) system bus: its global
// "State" property, with the value given on the command line, and its
// "PropertiesChanged" signal. Tests change the state with the method
// "SetState"(u) of the interface "org.tarnwick.Test", which also emits the
// signal.
//
//   twk-networkmanager-standin <state>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>

#include <cstdio>

namespace {

const QString kInterface = QStringLiteral("org.freedesktop.NetworkManager");

class NetworkManagerObject : public QDBusVirtualObject
{
public:
    explicit NetworkManagerObject(uint state)
        : m_state(state)
    {}

    QString introspect(const QString &) const override { return {}; }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        const QVariantList arguments = message.arguments();
        if (message.interface() == QLatin1String("org.tarnwick.Test") &&
            message.member() == QLatin1String("SetState") && arguments.size() == 1) {
            m_state = arguments.at(0).toUInt();
            connection.send(message.createReply());
            QDBusMessage changed =
                QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/NetworkManager"),
                                           kInterface, QStringLiteral("PropertiesChanged"));
            changed << QVariantMap{{QStringLiteral("State"), m_state}};
            connection.send(changed);
            return true;
        }
        if (message.interface() != QLatin1String("org.freedesktop.DBus.Properties") ||
            message.member() != QLatin1String("Get") || arguments.size() != 2) {
            return false;
        }
        if (arguments.at(0).toString() != kInterface ||
            arguments.at(1).toString() != QLatin1String("State")) {
            connection.send(message.createErrorReply(
                QStringLiteral("org.freedesktop.DBus.Error.UnknownProperty"),
                arguments.at(1).toString()));
            return true;
        }
        connection.send(message.createReply(QVariant::fromValue(QDBusVariant(m_state))));
        return true;
    }

private:
    uint m_state;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    bool ok = false;
    const uint state = app.arguments().value(1).toUInt(&ok);
    if (!ok) {
        std::fprintf(stderr, "usage: twk-networkmanager-standin <state>\n");
        return 2;
    }
    QDBusConnection bus = QDBusConnection::systemBus();
    NetworkManagerObject object(state);
    if (!bus.registerVirtualObject(QStringLiteral("/org/freedesktop/NetworkManager"), &object) ||
        !bus.registerService(kInterface)) {
        std::fprintf(stderr, "cannot serve %s: %s\n", qPrintable(kInterface),
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    // The test's fixture waits for this line.
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
