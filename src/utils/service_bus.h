#pragma once

#include <QDBusConnection>
#include <QDBusMessage>

#include <functional>

class QObject;

namespace AppStore {

// The daemon asks other services (the bus daemon about its callers, the login
// manager, the network manager, the parental-control and security-mode
// services, kapla) over a system bus connection of its own, beside the one
// its callers reach it on. Whatever callers queue on that one, an answer
// here is read at once, and a service's owner is looked up here without
// Qt's bus thread waiting behind their calls.
class ServiceBus
{
public:
    // The side connection; the system bus connection itself when the side
    // one cannot be made (then the next call tries again).
    static QDBusConnection connection();
    // Sends query over connection without waiting and hands the answer, an
    // error after timeoutMs at the latest, to answer on context's thread.
    static void ask(const QDBusConnection &connection, const QDBusMessage &query, int timeoutMs,
                    QObject *context, const std::function<void(const QDBusMessage &)> &answer);
};

} // namespace AppStore
