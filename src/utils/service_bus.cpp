#include "service_bus.h"

namespace AppStore {

QDBusConnection ServiceBus::connection()
{
    const QString name = QStringLiteral("tarnwick-service-questions");
    QDBusConnection questions = QDBusConnection::connectToBus(QDBusConnection::SystemBus, name);
    if (questions.isConnected())
        return questions;
    // Not kept under its name, so that the next question tries again.
    QDBusConnection::disconnectFromBus(name);
    return QDBusConnection::systemBus();
}

} // namespace AppStore
