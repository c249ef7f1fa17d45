#include "service_bus.h"

#include <QMutex>

namespace AppStore {

namespace {

const QString kName = QStringLiteral("tarnwick-service-questions");

QMutex connectionMutex;
// Kept once made: each connectToBus() waits for Qt's bus thread, which a
// flood keeps busy.
QDBusConnection *kept = nullptr;

} // namespace

QDBusConnection ServiceBus::connection()
{
    QMutexLocker locker(&connectionMutex);
    if (kept && kept->isConnected())
        return *kept;
    delete kept;
    kept = nullptr;
    QDBusConnection questions = QDBusConnection::connectToBus(QDBusConnection::SystemBus, kName);
    if (questions.isConnected()) {
        kept = new QDBusConnection(questions);
        return questions;
    }
    // Not kept under its name, so that the next question tries again.
    QDBusConnection::disconnectFromBus(kName);
    return QDBusConnection::systemBus();
}

} // namespace AppStore
