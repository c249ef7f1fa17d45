#pragma once

#include <QDBusObjectPath>
#include <QMetaType>
#include <QString>

class QDBusArgument;

// The login manager's reference to a session, D-Bus signature (so): the seat
// property "ActiveSession" has this form.
struct SessionRef
{
    QString id;
    QDBusObjectPath path;
};

// The login manager's reference to a user, D-Bus signature (uo): the session
// property "User" has this form.
struct UserRef
{
    quint32 uid = 0;
    QDBusObjectPath path;
};

QDBusArgument &operator<<(QDBusArgument &argument, const SessionRef &session);
const QDBusArgument &operator>>(const QDBusArgument &argument, SessionRef &session);
QDBusArgument &operator<<(QDBusArgument &argument, const UserRef &user);
const QDBusArgument &operator>>(const QDBusArgument &argument, UserRef &user);

Q_DECLARE_METATYPE(SessionRef)
Q_DECLARE_METATYPE(UserRef)

namespace AppStore {

// Registers both structures with the meta-type and D-Bus type systems; safe to
// call any number of times from any thread.
void registerLoginSessionRefTypes();

} // namespace AppStore
