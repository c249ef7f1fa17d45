#pragma once

#include "server_process.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A dbus-daemon of its own standing in for the system bus: deny by default
// like a Debian system bus, with the daemon's own policy file and whatever
// policy a test adds.
class PrivateSystemBus
{
public:
    PrivateSystemBus();
    ~PrivateSystemBus();

    // A policy snippet: the elements that go inside <busconfig>. Only policy
    // added before start() counts.
    void addPolicy(const QString &busconfigElements);
    // Lets anyone own and call name, as a stand-in service needs.
    void allowService(const QString &name);
    // A folder of activation files the bus starts services from.
    void addServiceDirectory(const QString &path);

    // Starts the bus and points DBUS_SYSTEM_BUS_ADDRESS at it. Must run before
    // the first QDBusConnection::systemBus() of the process, which keeps the
    // address it found. Returns the address, empty on failure.
    QString start();
    void stop();

    QString address() const { return m_address; }
    // For child processes: {"DBUS_SYSTEM_BUS_ADDRESS=..."}.
    QStringList environment() const;
    QString errorString() const { return m_error; }
    // Lets every user reach the socket, for clients run as other users.
    bool openToAllUsers();

private:
    bool writeConfiguration();

    QTemporaryDir m_dir;
    QStringList m_policies;
    ServerProcess m_daemon;
    QString m_address;
    QString m_error;
};
