#pragma once

#include <QString>
#include <QStringList>

#include <sys/types.h>

class QDBusConnection;
class QDBusMessage;

namespace AppStore {

// Who sent a bus message: the process and user the bus daemon saw connect,
// and the program that process runs. Resolved after the message arrived, so
// a caller could still exec another program or exit and have its id reused;
// the checks below narrow that down but cannot close it. Nor do they keep
// out a process of the same user that attaches to the genuine program.
class CallerIdentity
{
public:
    // Asks the bus daemon of connection about sender, then reads the
    // process's executable link. isKnown() is false when any step failed.
    static CallerIdentity resolve(const QDBusConnection &connection, const QString &sender);
    // The user of sender as learnt before from the bus daemon, if it was.
    static bool knownUserOf(const QDBusConnection &connection, const QString &sender, uid_t &uid);
    // The question to the bus daemon about sender's credentials, to be sent
    // without waiting for the answer.
    static QDBusMessage credentialsQuery(const QString &sender);
    // Where the questions about callers of connection go: a connection of
    // their own beside the system bus's, whose reading the calls it holds
    // cannot pause.
    static QDBusConnection questionsConnection(const QDBusConnection &connection);
    // The user that reply, the bus daemon's answer to credentialsQuery,
    // names; uid_t(-1) when it names none. A user found is remembered.
    static uid_t userFromCredentials(const QDBusConnection &connection, const QString &sender,
                                     const QDBusMessage &reply);
    // The uid of the user of seat0's active session, as the login manager on
    // connection tells it; false when it cannot say.
    static bool activeSeatUid(const QDBusConnection &connection, uid_t &uid);
    // The programs that may act for the user at the seat, exactly as spelled.
    static const QStringList &allowedExecutables();

    bool isKnown() const { return m_known; }
    uint processId() const { return m_pid; }
    uid_t userId() const { return m_uid; }
    // The link target as the kernel gives it; empty when it could not be read.
    QString executable() const { return m_executable; }
    // The process runs, in the daemon's own mount and user namespaces, the
    // very file of an allow-listed path: a copy of a program bind-mounted
    // there in a namespace of the caller's reads as that path, too.
    bool isAllowedExecutable() const;

private:
    bool readCredentials(const QDBusConnection &connection, const QString &sender);
    bool parseCredentials(const QString &sender, const QDBusMessage &reply);
    static void rememberUser(const QDBusConnection &connection, const QString &sender, uid_t uid);
    bool readExecutable();

    bool m_known = false;
    uint m_pid = 0;
    uid_t m_uid = static_cast<uid_t>(-1);
    QString m_executable;
};

} // namespace AppStore
