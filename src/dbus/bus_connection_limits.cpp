#include "bus_connection_limits.h"

#include <QDBusConnection>

#include <dbus/dbus.h>

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

qint64 BusConnectionLimits::outgoingBytes(const QDBusConnection &connection)
{
    DBusConnection *bus = libraryConnection(connection);
    return bus ? dbus_connection_get_outgoing_size(bus) : 0;
}

} // namespace AppStore
