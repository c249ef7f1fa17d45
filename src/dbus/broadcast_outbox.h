#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QTimer>

class QMetaObject;

namespace AppStore {

// The bus signals of the daemon's object leave through here, on the bus
// thread, instead of straight from Qt's relay: what the daemon has queued for
// the bus stays bounded whoever listens. While the connection has more than
// BusBounds::kMaxOutgoingBroadcastBytes queued (the bus holds back what
// listeners that do not read have not taken), broadcasts wait here, where a later one that tells
// the same thing anew (the same package's progress, the same node's value, a
// state's current value) replaces the one waiting, and beyond BusBounds::kMaxWaitingBroadcasts
// they are dropped; they go out once the queue has room. Replies never wait
// here.
class BroadcastOutbox : public QObject
{
    Q_OBJECT
public:
    // Takes over the signals Qt relays for object, registered on connection
    // at path with the given interface; false (logged) when Qt's relay was
    // not found, which then stays in place.
    static bool takeOver(const QDBusConnection &connection, QObject *object, const QString &path,
                         const QString &interface);

public Q_SLOTS:
    void relay(QObject *object, const QMetaObject *metaObject, int signalIndex,
               const QVariantList &arguments);

private:
    BroadcastOutbox(const QDBusConnection &connection, const QString &path,
                    const QString &interface, QObject *parent);

    void hold(const QString &key, const QDBusMessage &message);
    void flush();

    QDBusConnection m_connection;
    QString m_path;
    QString m_interface;
    // The broadcasts waiting, in the order they are to leave, and the place
    // of each in that order by what it tells.
    struct Waiting
    {
        QString key;
        QDBusMessage message;
    };
    QMap<quint64, Waiting> m_waiting;
    QHash<QString, quint64> m_waitingPlace;
    quint64 m_lastPlace = 0;
    int m_dropped = 0;
    QTimer m_flush;
};

} // namespace AppStore
