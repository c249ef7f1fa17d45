// Stands in for the parental-control account service on the (private) system
// bus: "GetAccountType"(s) answers the type given for that user on the
// command line.
//
//   twk-childrenguard-standin [<user>=<type> ...]
//
// A type made of digits is answered as an int, anything else as a string;
// "!error" answers with a D-Bus error and "!empty" with a reply that carries
// nothing. Unknown users get an error.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QMap>

#include <cstdio>

namespace {

const QString kInterface = QStringLiteral("com.velkor.daemon.ChildrenGuard.Account");

class AccountObject : public QDBusVirtualObject
{
public:
    explicit AccountObject(const QMap<QString, QString> &types)
        : m_types(types)
    {}

    QString introspect(const QString &) const override { return {}; }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.interface() != kInterface ||
            message.member() != QLatin1String("GetAccountType") ||
            message.arguments().size() != 1) {
            return false;
        }
        const QString user = message.arguments().first().toString();
        const QString type = m_types.value(user, QStringLiteral("!error"));
        if (type == QLatin1String("!error")) {
            connection.send(message.createErrorReply(kInterface + QStringLiteral(".Error.Failed"),
                                                     QStringLiteral("no account ") + user));
        } else if (type == QLatin1String("!empty")) {
            connection.send(message.createReply());
        } else {
            bool isInt = false;
            const int number = type.toInt(&isInt);
            connection.send(message.createReply(isInt ? QVariant(number) : QVariant(type)));
        }
        return true;
    }

private:
    QMap<QString, QString> m_types;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QMap<QString, QString> types;
    for (const QString &argument : app.arguments().mid(1)) {
        const qsizetype equals = argument.indexOf(QLatin1Char('='));
        if (equals <= 0) {
            std::fprintf(stderr, "usage: twk-childrenguard-standin [<user>=<type> ...]\n");
            return 2;
        }
        types.insert(argument.left(equals), argument.mid(equals + 1));
    }

    QDBusConnection bus = QDBusConnection::systemBus();
    AccountObject account(types);
    if (!bus.registerVirtualObject(QStringLiteral("/com/velkor/daemon/ChildrenGuard/Account"),
                                   &account) ||
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
