// Stands in for the login manager on the (private) system bus: seat0 has one
// active session of the user named on the command line.
//
//   twk-login1-standin <login name> <uid> [<session object path>]
//
// With the session path "/" the seat names the empty session id and "/", and
// no session object answers, as when nobody is logged in.

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>

#include <cstdio>

namespace {

struct ActiveSession // (so)
{
    QString id;
    QDBusObjectPath path;
};

struct SessionUser // (uo)
{
    uint uid = 0;
    QDBusObjectPath path;
};

} // namespace

Q_DECLARE_METATYPE(ActiveSession)
Q_DECLARE_METATYPE(SessionUser)

// Only ever sent; the readers exist because the D-Bus type system wants them.
QDBusArgument &operator<<(QDBusArgument &argument, const ActiveSession &value)
{
    argument.beginStructure();
    argument << value.id << value.path;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, ActiveSession &)
{
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const SessionUser &value)
{
    argument.beginStructure();
    argument << value.uid << value.path;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, SessionUser &)
{
    return argument;
}

namespace {

// Answers org.freedesktop.DBus.Properties.Get for one interface; nothing else.
class PropertiesObject : public QDBusVirtualObject
{
public:
    PropertiesObject(const QString &interface, const QVariantMap &properties)
        : m_interface(interface)
        , m_properties(properties)
    {}

    QString introspect(const QString &) const override { return {}; }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        const QVariantList arguments = message.arguments();
        if (message.interface() != QLatin1String("org.freedesktop.DBus.Properties") ||
            message.member() != QLatin1String("Get") || arguments.size() != 2) {
            return false;
        }
        const QString name = arguments.at(1).toString();
        if (arguments.at(0).toString() != m_interface || !m_properties.contains(name)) {
            connection.send(message.createErrorReply(
                QStringLiteral("org.freedesktop.DBus.Error.UnknownProperty"), name));
            return true;
        }
        connection.send(
            message.createReply(QVariant::fromValue(QDBusVariant(m_properties.value(name)))));
        return true;
    }

private:
    QString m_interface;
    QVariantMap m_properties;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() < 3) {
        std::fprintf(stderr, "usage: twk-login1-standin <login name> <uid> [<session path>]\n");
        return 2;
    }
    qDBusRegisterMetaType<ActiveSession>();
    qDBusRegisterMetaType<SessionUser>();

    const QString userName = arguments.at(1);
    const uint uid = arguments.at(2).toUInt();
    const QString sessionPath =
        arguments.value(3, QStringLiteral("/org/freedesktop/login1/session/_32"));
    const QString sessionId = sessionPath == QLatin1String("/") ? QString() : QStringLiteral("2");

    const ActiveSession active{sessionId, QDBusObjectPath(sessionPath)};
    const SessionUser user{
        uid, QDBusObjectPath(QStringLiteral("/org/freedesktop/login1/user/_%1").arg(uid))};

    QDBusConnection bus = QDBusConnection::systemBus();
    PropertiesObject seat(QStringLiteral("org.freedesktop.login1.Seat"),
                          {{QStringLiteral("ActiveSession"), QVariant::fromValue(active)}});
    PropertiesObject session(
        QStringLiteral("org.freedesktop.login1.Session"),
        {{QStringLiteral("Name"), userName}, {QStringLiteral("User"), QVariant::fromValue(user)}});
    bool registered =
        bus.registerVirtualObject(QStringLiteral("/org/freedesktop/login1/seat/seat0"), &seat);
    if (!sessionId.isEmpty()) {
        registered = registered && bus.registerVirtualObject(sessionPath, &session);
    }
    if (!registered || !bus.registerService(QStringLiteral("org.freedesktop.login1"))) {
        std::fprintf(stderr, "cannot serve org.freedesktop.login1: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    // The test's fixture waits for this line.
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
