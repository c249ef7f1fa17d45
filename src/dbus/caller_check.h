#pragma once

#include "utils/caller_log_budget.h"

#include <QString>

#include <sys/types.h>

class QDBusContext;

namespace AppStore {

class CallerIdentity;

// How much a method asks of its caller.
enum class CallerLevel {
    Open,     // anybody on the bus
    Checked,  // the store client of the active user, or root
    RootOnly, // root only (the dpkg hook)
};

// The caller whose call is being worked: the sender of the message a bus
// method serves, or, while a call that had to wait for its turn is worked
// (on whatever thread), that call's sender. A call made in-process has no
// sender and counts as root's.
struct BusCaller
{
    bool fromBus = false;
    QString sender;
    uid_t uid = 0;
    bool uidKnown = true;

    // The caller of the method being served through context.
    static BusCaller of(const QDBusContext &context);
    // The caller of the call being worked on this thread; none (in-process)
    // outside such work.
    static BusCaller current();
    // The budget the lines this caller causes are logged within: its user's,
    // or, while its user is not known, the one all such callers share; none
    // for root's calls and the daemon's own work.
    QString budget() const;
    static QString budgetOfUnknownUsers();

    // Makes a caller the one being worked on this thread while it lives.
    class Scope;
};

class BusCaller::Scope
{
public:
    explicit Scope(const BusCaller &caller);
    ~Scope();
    Scope(const Scope &) = delete;
    Scope &operator=(const Scope &) = delete;

private:
    const BusCaller m_caller;
    const BusCaller *m_outer;
    CallerLogBudget::Scope m_budget;
};

// Whether the caller identity may call a method of the given level. Root
// passes by its uid; the user at the seat (seatUid, when seatKnown) through
// the store's own programs only.
bool mayCall(const CallerIdentity &caller, CallerLevel level, bool seatKnown, uid_t seatUid);

// The budget of the caller being worked (BusCaller::budget); empty for a
// call made in-process.
QString callerName(const QDBusContext &context);

} // namespace AppStore
