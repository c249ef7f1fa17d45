#include "service_bus.h"

#include <QDBusPendingCallWatcher>
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

void ServiceBus::ask(const QDBusConnection &connection, const QDBusMessage &query, int timeoutMs,
                     QObject *context, const std::function<void(const QDBusMessage &)> &answer)
{
    auto *watcher = new QDBusPendingCallWatcher(connection.asyncCall(query, timeoutMs), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [answer](QDBusPendingCallWatcher *finished) {
                         finished->deleteLater();
                         answer(finished->reply());
                     });
}

} // namespace AppStore
