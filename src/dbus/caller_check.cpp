#include "caller_check.h"

#include "caller_identity.h"
#include "common/daemon_log.h"
#include "utils/caller_log_budget.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusError>
#include <QDBusMessage>

namespace AppStore {

namespace {

// The user at the seat may act through the store's own programs only; root
// may act through anything (the dpkg hook, the administrator's tools).
bool mayCall(const QDBusConnection &connection, const CallerIdentity &caller, CallerLevel level)
{
    if (!caller.isKnown())
        return false;
    if (caller.userId() == 0)
        return true;
    if (level == CallerLevel::RootOnly || !caller.isAllowedExecutable())
        return false;
    uid_t seatUid = 0;
    return CallerIdentity::activeSeatUid(connection, seatUid) && seatUid == caller.userId();
}

} // namespace

bool admitCaller(const QDBusContext &context, CallerLevel level, uid_t *callerUid)
{
    if (level == CallerLevel::Open)
        return true;
    if (!context.calledFromDBus()) {
        if (callerUid)
            *callerUid = 0;
        return true;
    }
    const QDBusConnection connection = context.connection();
    const QString sender = context.message().service();
    const CallerIdentity caller = CallerIdentity::resolve(connection, sender);
    if (mayCall(connection, caller, level)) {
        if (callerUid)
            *callerUid = caller.userId();
        return true;
    }

    if (CallerLogBudget::admit(sender))
        qCWarning(daemonLogCategory).noquote()
            << "Authentication failed: Invalid exeFilePath:" << caller.executable() << "(sender"
            << sender << "pid" << caller.processId() << "uid" << caller.userId() << "method"
            << context.message().member() << ")";
    context.sendErrorReply(
        QDBusError::AccessDenied,
        QStringLiteral("Invalid caller executable path: %1").arg(caller.executable()));
    return false;
}

bool isAdmittedCaller(const QDBusContext &context, CallerLevel level)
{
    if (level == CallerLevel::Open || !context.calledFromDBus())
        return true;
    const QDBusConnection connection = context.connection();
    return mayCall(connection, CallerIdentity::resolve(connection, context.message().service()),
                   level);
}

QString callerName(const QDBusContext &context)
{
    return context.calledFromDBus() ? context.message().service() : QString();
}

} // namespace AppStore
