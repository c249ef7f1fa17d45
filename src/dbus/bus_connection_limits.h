#pragma once

#include <QtGlobal>

class QDBusConnection;

namespace AppStore {

// The bus library's own bounds of a connection, which Qt does not expose.
class BusConnectionLimits
{
public:
    // The bus library stops reading a connection while the messages it has
    // received and not yet freed take more than this; its default is 63 MiB.
    static void setReceiveLimit(const QDBusConnection &connection, qint64 bytes);
    static qint64 receiveLimit(const QDBusConnection &connection);
    // The same for the file descriptors those messages carry (its default is
    // 4096), which stay open as long as the daemon holds their call.
    static void setReceiveFileLimit(const QDBusConnection &connection, qint64 files);
    // Raises the process's limit of open files to its hard limit (the tools
    // it runs keep the one it had); the limit in force afterwards.
    static qint64 raiseOpenFileLimit();
    // What the connection has queued for the bus and not yet written; 0 for
    // a connection that is not open.
    static qint64 outgoingBytes(const QDBusConnection &connection);
};

} // namespace AppStore
