#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <sys/types.h>

class QDBusMessage;

namespace AppStore {

// What the bus holds unread of the daemon's answers, by caller and user, as
// the bus daemon tells it and as sent since. The bus keeps what a peer does
// not read (up to that peer's own bound) and counts it against the daemon's
// connection, whose reading it stops once that passes the daemon's bound: a
// few connections that never read big answers would make the daemon deaf to
// everyone. So a caller, or a user over all its connections, with more than
// BusBounds::kMaxUnreadBytesPerUser unread is refused until the bus has passed it on.
//
// While it answers callers the daemon looks at its own connection every
// BusBounds::kUnreadLookMs, on the side connection (never on the one the bus may have stopped
// reading) and without waiting; only when the bus holds much of it are the
// callers looked at, a question each. What was sent before a caller's look
// is then in the bus's figure and no longer counted here. Where the bus does
// not tell (its statistics interface missing or denied), this says so once
// and bounds only what was sent since the last look that answered.
class UnreadReplies : public QObject
{
    Q_OBJECT
public:
    explicit UnreadReplies(QObject *parent = nullptr);

    // sender of connection is being answered with about bytes.
    void sent(const QDBusConnection &connection, const QString &sender, qint64 bytes);
    // Whether sender, or its user, leaves more than its share unread.
    bool isOver(const QDBusConnection &connection, const QString &sender);
    // Whether sender's user must be known before it is answered: the callers
    // whose user is not known share a small budget between them.
    bool mustKnowUser(const QDBusConnection &connection, const QString &sender) const;

private:
    struct Unread
    {
        qint64 atBus = 0;
        qint64 sinceLook = 0;
        // sinceLook when the bus was last asked about the caller.
        qint64 asked = 0;
        bool userAsked = false;
        // Counted in its user's sum, not in that of unknown users.
        bool attributed = false;
    };

    // Moves what caller holds into its user's sum once that is known.
    bool userOf(const QString &sender, Unread &caller, uid_t &uid);

    void recount();
    void look();
    void ownLooked(const QDBusMessage &reply);
    void callerLooked(const QString &sender, const QDBusMessage &reply);
    void lookedAtAll();

    QDBusConnection m_connection{QString()};
    QTimer m_timer;
    bool m_unavailable = false;
    bool m_looking = false;
    int m_waiting = 0;
    QHash<QString, Unread> m_callers;
    // The sums of m_callers by user, and of those whose user is not known,
    // as of the last look and what was sent since.
    QHash<uid_t, qint64> m_byUser;
    qint64 m_ofUnknownUsers = 0;
};

} // namespace AppStore
