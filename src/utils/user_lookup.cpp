#include "user_lookup.h"

#include "common/daemon_log.h"
#include "login_session_refs.h"
#include "service_bus.h"

#include <QDBusAbstractInterface>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDebug>

#include <cerrno>
#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace AppStore {

namespace {

const char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";

constexpr int kLoginQueryTimeoutMs = 3000;

// A plain proxy: the dynamic QDBusInterface would introspect the object first,
// one more blocking round trip for nothing. Valid only when the path is a
// valid object path and the login manager owns its name.
class LoginPropertiesInterface : public QDBusAbstractInterface
{
public:
    explicit LoginPropertiesInterface(const QString &path)
        : QDBusAbstractInterface(QStringLiteral("org.freedesktop.login1"), path,
                                 kPropertiesInterface, ServiceBus::connection(), nullptr)
    {
        // Asked on the bus thread: a login manager that hangs costs a caller
        // its answer, not every caller seconds.
        setTimeout(kLoginQueryTimeoutMs);
    }

    // The property's value, invalid when the call failed.
    QVariant get(const QString &interface, const QString &name)
    {
        const QDBusMessage reply = call(QStringLiteral("Get"), interface, name);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            return {};
        }
        return qvariant_cast<QDBusVariant>(reply.arguments().constFirst()).variant();
    }
};

// Reads a structure property; target keeps its empty value unless the value
// is a structure of exactly the expected signature.
template<typename T> void readStructure(const QVariant &value, const char *signature, T &target)
{
    if (value.metaType() != QMetaType::fromType<QDBusArgument>()) {
        return;
    }
    const QDBusArgument argument = value.value<QDBusArgument>();
    if (argument.currentSignature() == QLatin1String(signature)) {
        argument >> target;
    }
}

} // namespace

CurrentUser UserLookup::getCurrentUser()
{
    CurrentUser user;
    user.uid = getuid();
    const char *login = getlogin();
    user.name = login ? QString::fromUtf8(login) : QString();
    if (user.name.trimmed().isEmpty()) {
        // The reentrant form: this may run on any thread.
        passwd entry{};
        passwd *found = nullptr;
        char buffer[4096];
        if (getpwuid_r(user.uid, &entry, buffer, sizeof buffer, &found) == 0 && found) {
            user.name = QString::fromUtf8(found->pw_name);
        }
    }
    return user;
}

quint32 UserLookup::getLogname(QString &logname)
{
    registerLoginSessionRefTypes();
    logname = QStringLiteral("root");

    LoginPropertiesInterface seat(QStringLiteral("/org/freedesktop/login1/seat/seat0"));
    if (!seat.isValid()) {
        qWarning() << "Failed to create DBus interface:" << seat.lastError().message();
        return 0;
    }
    SessionRef session;
    readStructure(
        seat.get(QStringLiteral("org.freedesktop.login1.Seat"), QStringLiteral("ActiveSession")),
        "(so)", session);

    LoginPropertiesInterface sessionObject(session.path.path());
    if (!sessionObject.isValid()) {
        qWarning() << "Failed to create DBus interface:" << sessionObject.lastError().message();
        return 0;
    }
    const QString sessionInterface = QStringLiteral("org.freedesktop.login1.Session");
    const QVariant name = sessionObject.get(sessionInterface, QStringLiteral("Name"));
    if (name.metaType() != QMetaType::fromType<QString>()) {
        logname.clear();
    } else if (!name.toString().isEmpty()) {
        if (!isPlainLoginName(name.toString())) {
            qWarning() << "Refused login name from the login manager:" << name.toString();
            return 0;
        }
        logname = name.toString();
    }

    UserRef user;
    readStructure(sessionObject.get(sessionInterface, QStringLiteral("User")), "(uo)", user);
    qCDebug(daemonLogCategory) << "active user path:" << user.path.path();
    return user.uid;
}

bool UserLookup::isPlainLoginName(const QString &name)
{
    // A leading "-" would reach the tools given the name as an option.
    return !name.isEmpty() && !name.startsWith(QLatin1Char('-')) &&
           !name.contains(QLatin1Char('/')) && name != QLatin1String(".") &&
           name != QLatin1String("..");
}

bool UserLookup::getUserIds(const QString &login, uid_t &uid, gid_t &gid)
{
    const QByteArray name = login.toUtf8();
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd *found = nullptr;
    int error = 0;
    while ((error = getpwnam_r(name.constData(), &entry, buffer.data(), buffer.size(), &found)) ==
               ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (error != 0 || !found) {
        return false;
    }
    uid = found->pw_uid;
    gid = found->pw_gid;
    return true;
}

} // namespace AppStore
