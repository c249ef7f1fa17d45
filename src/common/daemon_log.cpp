#include "daemon_log.h"

const QLoggingCategory &daemonLogCategory()
{
    static const QLoggingCategory category("com.velkor.app-store.system-daemon", QtDebugMsg);
    return category;
}
