// Stands in for the security-mode service on the (private) system bus:
// "GetMode"() answers the mode and the per-type list given on the command
// line, signature (i a(ib)).
//
//   twk-security-mode-standin <mode> [<type>=<0|1> ...]
//   twk-security-mode-standin !error | !onearg | !badlist
//
// The second form answers with a D-Bus error, with the mode alone, or with
// the mode and a list of strings.

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVirtualObject>

#include <cstdio>

namespace {

struct AppTypeEntry // (ib)
{
    int type = 0;
    bool allowed = false;
};

} // namespace

Q_DECLARE_METATYPE(AppTypeEntry)

QDBusArgument &operator<<(QDBusArgument &argument, const AppTypeEntry &value)
{
    argument.beginStructure();
    argument << value.type << value.allowed;
    argument.endStructure();
    return argument;
}

// Only ever sent; the reader exists because the D-Bus type system wants it.
const QDBusArgument &operator>>(const QDBusArgument &argument, AppTypeEntry &)
{
    return argument;
}

namespace {

const QString kInterface = QStringLiteral("org.velkor.security.hierarchical.Control");

class ControlObject : public QDBusVirtualObject
{
public:
    ControlObject(const QString &mode, const QList<AppTypeEntry> &entries)
        : m_mode(mode)
        , m_entries(entries)
    {}

    QString introspect(const QString &) const override { return {}; }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.interface() != kInterface || message.member() != QLatin1String("GetMode")) {
            return false;
        }
        const int mode = 1;
        if (m_mode == QLatin1String("!error")) {
            connection.send(message.createErrorReply(kInterface + QStringLiteral(".Error.Failed"),
                                                     QStringLiteral("mode unknown")));
        } else if (m_mode == QLatin1String("!onearg")) {
            connection.send(message.createReply(mode));
        } else if (m_mode == QLatin1String("!badlist")) {
            connection.send(message.createReply(
                {mode, QStringList{QStringLiteral("0"), QStringLiteral("false")}}));
        } else {
            connection.send(message.createReply({m_mode.toInt(), QVariant::fromValue(m_entries)}));
        }
        return true;
    }

private:
    QString m_mode;
    QList<AppTypeEntry> m_entries;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() < 2) {
        std::fprintf(stderr, "usage: twk-security-mode-standin <mode> [<type>=<0|1> ...]\n");
        return 2;
    }
    qDBusRegisterMetaType<AppTypeEntry>();
    qDBusRegisterMetaType<QList<AppTypeEntry>>();

    QList<AppTypeEntry> entries;
    for (const QString &argument : arguments.mid(2)) {
        const QStringList parts = argument.split(QLatin1Char('='));
        entries.append({parts.value(0).toInt(), parts.value(1) == QLatin1String("1")});
    }

    QDBusConnection bus = QDBusConnection::systemBus();
    ControlObject control(arguments.at(1), entries);
    if (!bus.registerVirtualObject(QStringLiteral("/org/velkor/security/hierarchical/Control"),
                                   &control) ||
        !bus.registerService(QStringLiteral("com.velkor.daemon.ACL"))) {
        std::fprintf(stderr, "cannot serve com.velkor.daemon.ACL: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    // The test's fixture waits for this line.
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
