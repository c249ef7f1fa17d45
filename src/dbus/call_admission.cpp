#include "call_admission.h"

#include <utility>

namespace AppStore {

CallAdmission::CallAdmission(QObject *context, IdentityAnswered identityAnswered,
                             SeatAnswered seatAnswered)
    : m_context(context)
    , m_identityAnswered(std::move(identityAnswered))
    , m_seatAnswered(std::move(seatAnswered))
{}

void CallAdmission::addSender(const QString &key, const QDBusConnection &connection,
                              const QString &name)
{
    Asked &sender = m_senders[key];
    sender.connection = connection;
    sender.name = name;
}

void CallAdmission::forget(const QString &key)
{
    m_senders.remove(key);
    m_seat.waiting.remove(key);
}

void CallAdmission::clear()
{
    m_senders.clear();
    m_seat.waiting.clear();
}

void CallAdmission::askIdentity(const QString &key, quint64 covers)
{
    Asked &sender = m_senders[key];
    if (sender.asking)
        return;
    sender.asking = true;
    CallerIdentity::ask(sender.connection, sender.name, m_context,
                        [this, key, covers](const CallerIdentity &identity) {
                            identityCame(key, covers, identity);
                        });
}

void CallAdmission::identityCame(const QString &key, quint64 covers, const CallerIdentity &identity)
{
    const auto sender = m_senders.find(key);
    // Its calls were all answered meanwhile, at a stop.
    if (sender == m_senders.end())
        return;
    sender->asking = false;
    if (identity.hasUser()) {
        sender->identity = identity;
        sender->covers = covers;
    }
    m_identityAnswered(key, covers, identity);
}

void CallAdmission::askSeat(const QString &key, quint64 covers)
{
    m_seat.waiting.insert(key);
    if (m_seat.asking)
        return;
    m_seat.asking = true;
    CallerIdentity::askActiveSeatUser(
        m_senders.value(key).connection, m_context,
        [this, covers](bool known, uid_t uid) { seatCame(covers, known, uid); });
}

void CallAdmission::seatCame(quint64 covers, bool known, uid_t uid)
{
    m_seat.asking = false;
    m_seat.covers = covers;
    m_seat.known = known;
    m_seat.uid = uid;
    m_seatAnswered(std::exchange(m_seat.waiting, {}));
}

CallAdmission::Verdict CallAdmission::judge(const QString &key, uid_t uid, CallerLevel level,
                                            quint64 seq, quint64 covers)
{
    if (uid == 0)
        return Verdict::Admitted;
    // Any other caller is looked at afresh: by an answer asked for after the
    // call came.
    const Asked &sender = m_senders[key];
    if (sender.covers < seq) {
        askIdentity(key, covers);
        return Verdict::Wait;
    }
    const CallerIdentity &identity = sender.identity;
    // Refused whoever sits at the seat.
    if (!mayCall(identity, level, true, identity.userId()))
        return Verdict::Refused;
    if (identity.userId() == 0)
        return Verdict::Admitted;
    if (m_seat.covers < seq) {
        askSeat(key, covers);
        return Verdict::Wait;
    }
    return mayCall(identity, level, m_seat.known, m_seat.uid) ? Verdict::Admitted
                                                              : Verdict::Refused;
}

const CallerIdentity &CallAdmission::identityOf(const QString &key) const
{
    static const CallerIdentity none;
    const auto sender = m_senders.constFind(key);
    return sender != m_senders.cend() ? sender->identity : none;
}

} // namespace AppStore
