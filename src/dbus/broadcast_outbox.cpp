#include "broadcast_outbox.h"

#include "bus_bounds.h"
#include "bus_connection_limits.h"

#include "common/daemon_log.h"

#include <QDBusConnectionInterface>
#include <QMetaMethod>

namespace AppStore {

namespace {

const char kConnectorClass[] = "QDBusAdaptorConnector";
const char kRelaySignal[] = SIGNAL(relaySignal(QObject *, const QMetaObject *, int, QVariantList));
const char kQtRelaySlot[] = SLOT(relaySignal(QObject *, const QMetaObject *, int, QVariantList));
const char kOwnRelaySlot[] = SLOT(relay(QObject *, const QMetaObject *, int, QVariantList));

// How many leading arguments say what a broadcast is about, so that a later
// one about the same replaces it while it waits: a package's progress, a
// node's value, a state of its own. Any other broadcast replaces only its
// exact copy.
int aboutArguments(const QString &member)
{
    static const QHash<QString, int> about{
        {QStringLiteral("sigIntallProgress"), 2},
        {QStringLiteral("sigConfigNodeStatusChanged"), 1},
        {QStringLiteral("sigGetLocalUpgradeCheckStatus"), 0},
        {QStringLiteral("sigLocalAppsUpgradeNotify"), 0},
        {QStringLiteral("sigGetIsQSMotherBoard"), 0},
        {QStringLiteral("WineAutoStartChanged"), 0},
    };
    return about.value(member, -1);
}

QString textOf(const QVariant &value)
{
    return value.metaType() == QMetaType::fromType<QStringList>()
               ? value.toStringList().join(QChar(u'\x1f'))
               : value.toString();
}

// What a broadcast tells, as the key of the one it replaces.
QString keyOf(const QString &member, const QVariantList &arguments)
{
    QString key = member;
    for (const QVariant &argument : arguments)
        key += u'\x1e' + QString::fromLatin1(argument.typeName());
    const int about = aboutArguments(member);
    const qsizetype count = about < 0 ? arguments.size() : about;
    for (qsizetype i = 0; i < count && i < arguments.size(); ++i)
        key += u'\x1e' + textOf(arguments.at(i));
    return key;
}

} // namespace

bool BroadcastOutbox::takeOver(const QDBusConnection &connection, QObject *object,
                               const QString &path, const QString &interface)
{
    QObject *connector = nullptr;
    for (QObject *child : object->children())
        if (qstrcmp(child->metaObject()->className(), kConnectorClass) == 0)
            connector = child;
    QDBusConnectionInterface *busInterface = connection.interface();
    if (!connector || !busInterface) {
        qCWarning(daemonLogCategory)
            << "The bus signals go out unbounded: Qt's relay was not found";
        return false;
    }
    QObject *busSide = busInterface->parent();
    BroadcastOutbox *outbox = nullptr;
    QMetaObject::invokeMethod(
        busSide, [&] { outbox = new BroadcastOutbox(connection, path, interface, busSide); },
        Qt::BlockingQueuedConnection);
    if (!QObject::disconnect(connector, kRelaySignal, busSide, kQtRelaySlot)) {
        qCWarning(daemonLogCategory) << "The bus signals go out unbounded: Qt's relay stays";
        outbox->deleteLater();
        return false;
    }
    QObject::connect(connector, kRelaySignal, outbox, kOwnRelaySlot, Qt::QueuedConnection);
    return true;
}

BroadcastOutbox::BroadcastOutbox(const QDBusConnection &connection, const QString &path,
                                 const QString &interface, QObject *parent)
    : QObject(parent)
    , m_connection(connection)
    , m_path(path)
    , m_interface(interface)
{
    m_flush.setInterval(BusBounds::kBroadcastPollMs);
    connect(&m_flush, &QTimer::timeout, this, &BroadcastOutbox::flush);
}

void BroadcastOutbox::relay(QObject *, const QMetaObject *metaObject, int signalIndex,
                            const QVariantList &arguments)
{
    // Qt's relay hands over every signal of the object; only the ones
    // declared for the bus are exported.
    const QMetaMethod method = metaObject->method(signalIndex);
    if (!(method.attributes() & QMetaMethod::Scriptable))
        return;
    const QString member = QString::fromLatin1(method.name());
    QDBusMessage message = QDBusMessage::createSignal(m_path, m_interface, member);
    message.setArguments(arguments);
    if (m_waiting.isEmpty() &&
        BusConnectionLimits::outgoingBytes(m_connection) < BusBounds::kMaxOutgoingBroadcastBytes) {
        m_connection.send(message);
        return;
    }
    hold(keyOf(member, arguments), message);
}

void BroadcastOutbox::hold(const QString &key, const QDBusMessage &message)
{
    const auto place = m_waitingPlace.constFind(key);
    if (place != m_waitingPlace.cend()) {
        m_waiting.remove(*place);
    } else if (m_waiting.size() >= BusBounds::kMaxWaitingBroadcasts) {
        if (m_dropped++ == 0)
            qCWarning(daemonLogCategory)
                << "The bus takes none of the daemon's messages: broadcasts are dropped";
        return;
    }
    m_waiting.insert(++m_lastPlace, Waiting{key, message});
    m_waitingPlace.insert(key, m_lastPlace);
    if (!m_flush.isActive())
        m_flush.start();
}

void BroadcastOutbox::flush()
{
    while (!m_waiting.isEmpty() && BusConnectionLimits::outgoingBytes(m_connection) <
                                       BusBounds::kMaxOutgoingBroadcastBytes) {
        const Waiting waiting = m_waiting.take(m_waiting.firstKey());
        m_waitingPlace.remove(waiting.key);
        m_connection.send(waiting.message);
    }
    if (!m_waiting.isEmpty())
        return;
    m_flush.stop();
    if (m_dropped > 0)
        qCWarning(daemonLogCategory) << "The bus takes the daemon's messages again;" << m_dropped
                                     << "broadcasts were dropped";
    m_dropped = 0;
}

} // namespace AppStore
