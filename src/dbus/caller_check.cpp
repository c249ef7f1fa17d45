#include "caller_check.h"

#include <QDBusContext>

namespace AppStore {

bool admitCaller(const QDBusContext &context, CallerLevel level)
{
    if (level == CallerLevel::Open || !context.calledFromDBus())
        return true;
    return true;
}

} // namespace AppStore
