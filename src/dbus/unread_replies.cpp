#include "unread_replies.h"

#include "dbus/bus_bounds.h"
#include "dbus/caller_check.h"
#include "dbus/caller_identity.h"

#include "common/daemon_log.h"
#include "utils/caller_log_budget.h"
#include "utils/service_bus.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QVariantMap>

namespace AppStore {

namespace {

QDBusMessage statsOf(const QString &name)
{
    QDBusMessage query = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus.Debug.Stats"), QStringLiteral("GetConnectionStats"));
    query << name;
    return query;
}

qint64 statOf(const QDBusMessage &reply, const QString &key)
{
    return qdbus_cast<QVariantMap>(reply.arguments().value(0)).value(key).toLongLong();
}

} // namespace

UnreadReplies::UnreadReplies(QObject *parent)
    : QObject(parent)
{
    m_timer.setInterval(BusBounds::kUnreadLookMs);
    connect(&m_timer, &QTimer::timeout, this, &UnreadReplies::look);
}

void UnreadReplies::sent(const QDBusConnection &connection, const QString &sender, qint64 bytes)
{
    auto caller = m_callers.find(sender);
    if (caller == m_callers.end()) {
        if (m_callers.size() >= BusBounds::kMaxTrackedCallers)
            return;
        caller = m_callers.insert(sender, Unread());
    }
    m_connection = connection;
    caller->sinceLook += bytes;
    uid_t uid = 0;
    if (userOf(sender, *caller, uid)) {
        m_byUser[uid] += bytes;
    } else {
        m_ofUnknownUsers += bytes;
        if (!caller->userAsked &&
            caller->atBus + caller->sinceLook > BusBounds::kAskUserUnreadBytes) {
            caller->userAsked = true;
            CallerIdentity::ask(connection, sender, this, [](const CallerIdentity &) {});
        }
    }
    if (!m_timer.isActive())
        m_timer.start();
}

bool UnreadReplies::userOf(const QString &sender, Unread &caller, uid_t &uid)
{
    if (!CallerIdentity::knownUserOf(m_connection, sender, uid))
        return false;
    if (!caller.attributed) {
        caller.attributed = true;
        m_ofUnknownUsers -= caller.atBus + caller.sinceLook;
        m_byUser[uid] += caller.atBus + caller.sinceLook;
    }
    return true;
}

void UnreadReplies::recount()
{
    m_byUser.clear();
    m_ofUnknownUsers = 0;
    for (auto caller = m_callers.begin(); caller != m_callers.end(); ++caller) {
        uid_t uid = 0;
        caller->attributed = CallerIdentity::knownUserOf(m_connection, caller.key(), uid);
        if (caller->attributed)
            m_byUser[uid] += caller->atBus + caller->sinceLook;
        else
            m_ofUnknownUsers += caller->atBus + caller->sinceLook;
    }
}

bool UnreadReplies::isOver(const QDBusConnection &connection, const QString &sender)
{
    const auto caller = m_callers.find(sender);
    if (caller == m_callers.end())
        return false;
    m_connection = connection;
    uid_t uid = 0;
    const bool known = userOf(sender, *caller, uid);
    // Root's own calls are never refused for what it leaves unread.
    if (known && uid == 0)
        return false;
    return caller->atBus + caller->sinceLook > BusBounds::kMaxUnreadBytesPerUser ||
           (known && m_byUser.value(uid) > BusBounds::kMaxUnreadBytesPerUser);
}

bool UnreadReplies::mustKnowUser(const QDBusConnection &connection, const QString &sender) const
{
    uid_t uid = 0;
    return m_ofUnknownUsers > BusBounds::kMaxUnreadBytesOfUnknownUsers &&
           !CallerIdentity::knownUserOf(connection, sender, uid);
}

void UnreadReplies::look()
{
    if (m_looking)
        return;
    if (m_callers.isEmpty()) {
        m_timer.stop();
        return;
    }
    if (m_unavailable) {
        m_callers.clear();
        recount();
        return;
    }
    m_looking = true;
    ServiceBus::ask(ServiceBus::connection(), statsOf(m_connection.baseService()),
                    BusBounds::kStatsQuestionTimeoutMs, this,
                    [this](const QDBusMessage &reply) { ownLooked(reply); });
}

void UnreadReplies::ownLooked(const QDBusMessage &reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage) {
        m_looking = false;
        if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply"))
            return;
        qCWarning(daemonLogCategory).noquote()
            << "The bus does not tell what it holds of the daemon's answers ("
            << reply.errorMessage()
            << "): answers callers leave unread are bounded only between two looks";
        m_unavailable = true;
        return;
    }
    // Little is held of the daemon: none of its callers holds much.
    if (statOf(reply, QStringLiteral("IncomingBytes")) < BusBounds::kLookAtCallersBytes) {
        m_callers.clear();
        recount();
        m_looking = false;
        return;
    }
    m_waiting = int(m_callers.size());
    for (auto caller = m_callers.begin(); caller != m_callers.end(); ++caller) {
        caller->asked = caller->sinceLook;
        const QString sender = caller.key();
        ServiceBus::ask(
            ServiceBus::connection(), statsOf(sender), BusBounds::kStatsQuestionTimeoutMs, this,
            [this, sender](const QDBusMessage &answer) { callerLooked(sender, answer); });
    }
}

void UnreadReplies::callerLooked(const QString &sender, const QDBusMessage &reply)
{
    const auto caller = m_callers.find(sender);
    if (caller != m_callers.end()) {
        // Gone from the bus, or holding nothing: forgotten.
        const qint64 atBus = reply.type() == QDBusMessage::ReplyMessage
                                 ? statOf(reply, QStringLiteral("OutgoingBytes"))
                                 : 0;
        caller->sinceLook -= caller->asked;
        caller->asked = 0;
        caller->atBus = atBus;
        if (atBus == 0 && caller->sinceLook == 0)
            m_callers.erase(caller);
    }
    if (--m_waiting == 0)
        lookedAtAll();
}

void UnreadReplies::lookedAtAll()
{
    m_looking = false;
    recount();
    for (auto caller = m_callers.cbegin(); caller != m_callers.cend(); ++caller) {
        uid_t uid = 0;
        if (caller->atBus <= BusBounds::kMaxUnreadBytesPerUser ||
            !CallerIdentity::knownUserOf(m_connection, caller.key(), uid) || uid == 0)
            continue;
        BusCaller owner;
        owner.fromBus = true;
        owner.uid = uid;
        if (CallerLogBudget::admit(owner.budget()))
            qCWarning(daemonLogCategory).noquote()
                << "the bus holds" << caller->atBus << "bytes of answers" << caller.key() << "(uid"
                << uid << ") has not read; its calls are refused meanwhile";
    }
}

} // namespace AppStore
