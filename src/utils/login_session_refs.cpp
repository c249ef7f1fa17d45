#include "login_session_refs.h"

#include <QDBusArgument>
#include <QDBusMetaType>

QDBusArgument &operator<<(QDBusArgument &argument, const SessionRef &session)
{
    argument.beginStructure();
    argument << session.id << session.path;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, SessionRef &session)
{
    argument.beginStructure();
    argument >> session.id >> session.path;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const UserRef &user)
{
    argument.beginStructure();
    argument << user.uid << user.path;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, UserRef &user)
{
    argument.beginStructure();
    argument >> user.uid >> user.path;
    argument.endStructure();
    return argument;
}

namespace AppStore {

void registerLoginSessionRefTypes()
{
    // Function-local static: registration runs once even when several threads
    // ask for the login user at the same time.
    static const bool registered = [] {
        qDBusRegisterMetaType<SessionRef>();
        qDBusRegisterMetaType<UserRef>();
        return true;
    }();
    Q_UNUSED(registered);
}

} // namespace AppStore
