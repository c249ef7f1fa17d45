#pragma once

#include <QString>

#include <sys/types.h>

class QDBusContext;

namespace AppStore {

// How much a method asks of its caller.
enum class CallerLevel {
    Open,     // anybody on the bus
    Checked,  // the store client of the active user, or root
    RootOnly, // root only (the dpkg hook)
};

// Decides whether the sender of the message being served may call a method
// of the given level. A refused caller has already been answered with
// AccessDenied when this returns false; the method then returns at once and
// changes nothing. Calls made in-process (not from the bus) pass. The uid of
// an admitted Checked or RootOnly caller (0 for an in-process call) goes to
// callerUid when it is given.
bool admitCaller(const QDBusContext &context, CallerLevel level = CallerLevel::Checked,
                 uid_t *callerUid = nullptr);
// The same decision, with nothing answered or logged: for a method open to
// all that gives an admitted caller more.
bool isAdmittedCaller(const QDBusContext &context, CallerLevel level = CallerLevel::Checked);
// The unique bus name of the sender of the message being served, by which
// the lines it causes are budgeted; empty for a call made in-process.
QString callerName(const QDBusContext &context);

} // namespace AppStore
