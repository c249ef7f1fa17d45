#include "bus_connection_limits.h"

#include "utils/process_runner.h"

#include <QDBusConnection>

#include <dbus/dbus.h>

#include <limits>
#include <sys/resource.h>

namespace AppStore {

namespace {

DBusConnection *libraryConnection(const QDBusConnection &connection)
{
    return connection.isConnected() ? static_cast<DBusConnection *>(connection.internalPointer())
                                    : nullptr;
}

} // namespace

void BusConnectionLimits::setReceiveLimit(const QDBusConnection &connection, qint64 bytes)
{
    if (DBusConnection *bus = libraryConnection(connection))
        dbus_connection_set_max_received_size(bus, static_cast<long>(bytes));
}

qint64 BusConnectionLimits::receiveLimit(const QDBusConnection &connection)
{
    DBusConnection *bus = libraryConnection(connection);
    return bus ? dbus_connection_get_max_received_size(bus) : 0;
}

void BusConnectionLimits::setReceiveFileLimit(const QDBusConnection &connection, qint64 files)
{
    if (DBusConnection *bus = libraryConnection(connection))
        dbus_connection_set_max_received_unix_fds(bus, static_cast<long>(files));
}

qint64 BusConnectionLimits::raiseOpenFileLimit()
{
    struct rlimit files = {};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0)
        return 0;
    if (files.rlim_cur < files.rlim_max) {
        // The tools the daemon runs start with the limit it was given.
        ProcessRunner::setChildFileLimit(files.rlim_cur);
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
        ::getrlimit(RLIMIT_NOFILE, &files);
    }
    return files.rlim_cur == RLIM_INFINITY ? std::numeric_limits<qint64>::max()
                                           : static_cast<qint64>(files.rlim_cur);
}

qint64 BusConnectionLimits::outgoingBytes(const QDBusConnection &connection)
{
    DBusConnection *bus = libraryConnection(connection);
    return bus ? dbus_connection_get_outgoing_size(bus) : 0;
}

} // namespace AppStore
