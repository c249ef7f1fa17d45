#pragma once

#include "dbus/caller_check.h"
#include "dbus/caller_identity.h"

#include <QDBusConnection>
#include <QHash>
#include <QSet>
#include <QString>

#include <functional>
#include <sys/types.h>

class QObject;

namespace AppStore {

// Who the senders of held calls are, as the bus daemon tells, and who sits
// at the seat, as the login manager tells, and the verdict on a call of a
// checking method. Both are asked without waiting, one question out at a
// time each; an answer covers only the calls that had come when it was
// asked, so that a process that was the store's client when it connected
// but runs something else now is looked at afresh. The answers are handed
// to the call queue, which places and judges its calls by them.
class CallAdmission
{
public:
    enum class Verdict { Wait, Admitted, Refused };
    // key's sender as the bus daemon told it, for the calls up to covers.
    using IdentityAnswered =
        std::function<void(const QString &key, quint64 covers, const CallerIdentity &identity)>;
    // The seat's user is known anew; the senders that waited for it.
    using SeatAnswered = std::function<void(const QSet<QString> &waiting)>;

    // The answers run on context's thread.
    CallAdmission(QObject *context, IdentityAnswered identityAnswered, SeatAnswered seatAnswered);

    // A sender the questions may be asked about, by key; forget() lets it go.
    void addSender(const QString &key, const QDBusConnection &connection, const QString &name);
    void forget(const QString &key);
    void clear();

    // Asks the bus daemon about key's sender, unless a question is out.
    void askIdentity(const QString &key, quint64 covers);
    // Asks the login manager for key, unless a question is out; key is told
    // when the answer comes.
    void askSeat(const QString &key, quint64 covers);

    // The verdict on the call seq of key's sender, whose user is uid, for a
    // method of level; Wait while a question it needs is out (it is asked).
    // Root passes by its uid, which the bus daemon fixed when it connected.
    Verdict judge(const QString &key, uid_t uid, CallerLevel level, quint64 seq, quint64 covers);

    // What the bus daemon last told of key's sender.
    const CallerIdentity &identityOf(const QString &key) const;
    bool isSeatUser(uid_t uid) const { return m_seat.known && m_seat.uid == uid; }
    // Whether the seat was asked after the call seq came.
    bool seatCovers(quint64 seq) const { return m_seat.covers >= seq; }

private:
    struct Asked
    {
        QDBusConnection connection{QString()};
        QString name;
        CallerIdentity identity;
        quint64 covers = 0;
        bool asking = false;
    };
    struct Seat
    {
        bool asking = false;
        quint64 covers = 0;
        bool known = false;
        uid_t uid = 0;
        QSet<QString> waiting;
    };

    void identityCame(const QString &key, quint64 covers, const CallerIdentity &identity);
    void seatCame(quint64 covers, bool known, uid_t uid);

    QObject *m_context;
    IdentityAnswered m_identityAnswered;
    SeatAnswered m_seatAnswered;
    QHash<QString, Asked> m_senders;
    Seat m_seat;
};

} // namespace AppStore
