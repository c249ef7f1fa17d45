#include "caller_check.h"

#include "caller_identity.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>

namespace AppStore {

namespace {

thread_local const BusCaller *workedCaller = nullptr;

} // namespace

BusCaller BusCaller::of(const QDBusContext &context)
{
    if (workedCaller)
        return *workedCaller;
    BusCaller caller;
    if (!context.calledFromDBus())
        return caller;
    caller.fromBus = true;
    caller.sender = context.message().service();
    caller.uidKnown = CallerIdentity::knownUserOf(context.connection(), caller.sender, caller.uid);
    return caller;
}

BusCaller BusCaller::current()
{
    return workedCaller ? *workedCaller : BusCaller();
}

QString BusCaller::budget() const
{
    // Root may write the log whole anyway; its calls are logged in full.
    if (!fromBus || (uidKnown && uid == 0))
        return {};
    return uidKnown ? QStringLiteral("uid %1").arg(uid) : budgetOfUnknownUsers();
}

QString BusCaller::budgetOfUnknownUsers()
{
    return QStringLiteral("callers not yet known");
}

BusCaller::Scope::Scope(const BusCaller &caller)
    : m_caller(caller)
    , m_outer(workedCaller)
    , m_budget(caller.budget())
{
    workedCaller = &m_caller;
}

BusCaller::Scope::~Scope()
{
    workedCaller = m_outer;
}

bool mayCall(const CallerIdentity &caller, CallerLevel level, bool seatKnown, uid_t seatUid)
{
    if (level == CallerLevel::Open)
        return true;
    if (!caller.hasUser())
        return false;
    if (caller.userId() == 0)
        return true;
    if (level == CallerLevel::RootOnly || !caller.isAllowedExecutable())
        return false;
    return seatKnown && seatUid == caller.userId();
}

QString callerName(const QDBusContext &context)
{
    return BusCaller::of(context).budget();
}

} // namespace AppStore
