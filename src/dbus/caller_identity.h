#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <sys/types.h>

class QDBusConnection;
class QDBusMessage;
class QObject;

namespace AppStore {

// Who sent a bus message: the process and user the bus daemon saw connect,
// and the program that process runs. Resolved after the message arrived, so
// a caller could still exec another program or exit and have its id reused;
// the checks below narrow that down but cannot close it. Nor do they keep
// out a process of the same user that attaches to the genuine program.
//
// Every question goes out without waiting for its answer, over a connection
// of its own beside the one the calls arrive on: that one may have a flood
// of calls queued ahead of any answer, which the questions connection never
// has.
class CallerIdentity
{
public:
    using IdentityAnswer = std::function<void(const CallerIdentity &)>;
    using SeatAnswer = std::function<void(bool known, uid_t uid)>;

    // Asks the bus daemon of connection about sender; answer runs on
    // context's thread, with an identity whose hasUser() is false when the
    // bus daemon could not tell. The process's program is looked at when
    // the answer comes. A user found is remembered for the sender.
    static void ask(const QDBusConnection &connection, const QString &sender, QObject *context,
                    const IdentityAnswer &answer);
    // Asks the login manager on connection for the user of seat0's active
    // session; known is false when it cannot say.
    static void askActiveSeatUser(const QDBusConnection &connection, QObject *context,
                                  const SeatAnswer &answer);
    // The user of sender as learnt before from the bus daemon, if it was.
    static bool knownUserOf(const QDBusConnection &connection, const QString &sender, uid_t &uid);
    // The programs that may act for the user at the seat, exactly as spelled.
    static const QStringList &allowedExecutables();

    // The bus daemon named the sender's process and user.
    bool hasUser() const { return m_hasUser; }
    // The bus daemon could not, as the sender had left the bus.
    bool senderGone() const { return m_senderGone; }
    // And the process's program could be read.
    bool isKnown() const { return m_known; }
    uint processId() const { return m_pid; }
    uid_t userId() const { return m_uid; }
    // The link target as the kernel gives it; empty when it could not be read.
    QString executable() const { return m_executable; }
    // The process ran, when the answer came, in the daemon's own mount and
    // user namespaces, the very file of an allow-listed path: a copy of a
    // program bind-mounted there in a namespace of the caller's reads as
    // that path, too.
    bool isAllowedExecutable() const { return m_allowed; }

private:
    static QDBusConnection questionsConnection(const QDBusConnection &connection);
    static CallerIdentity fromCredentials(const QDBusConnection &connection, const QString &sender,
                                          const QDBusMessage &reply);
    bool parseCredentials(const QString &sender, const QDBusMessage &reply);
    static void rememberUser(const QDBusConnection &connection, const QString &sender, uid_t uid);
    bool readExecutable();
    bool runsAllowedExecutable() const;

    bool m_hasUser = false;
    bool m_senderGone = false;
    bool m_known = false;
    bool m_allowed = false;
    uint m_pid = 0;
    uid_t m_uid = static_cast<uid_t>(-1);
    QString m_executable;
};

} // namespace AppStore
