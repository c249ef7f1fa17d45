#include "hierarchical_control_interface.h"

#include "common/daemon_log.h"
#include "utils/service_bus.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QMutexLocker>

namespace {

const QString kService = QStringLiteral("com.velkor.daemon.ACL");
const QString kPath = QStringLiteral("/org/velkor/security/hierarchical/Control");
const QString kInterface = QStringLiteral("org.velkor.security.hierarchical.Control");

const QString kServiceUnknown = QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown");

constexpr int kCallTimeoutMs = 5000;
constexpr int kRestrictedMode = 1;

} // namespace

QDBusArgument &operator<<(QDBusArgument &argument,
                          const HierarchicalControlInterface::AppType &value)
{
    argument.beginStructure();
    argument << value.type << value.allowed;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument,
                                HierarchicalControlInterface::AppType &value)
{
    argument.beginStructure();
    argument >> value.type >> value.allowed;
    argument.endStructure();
    return argument;
}

HierarchicalControlInterface *HierarchicalControlInterface::instance()
{
    return AppStore::LazySingleton<HierarchicalControlInterface>::instance();
}

HierarchicalControlInterface::HierarchicalControlInterface(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<AppType>("AppType");
    qDBusRegisterMetaType<AppType>();
    qDBusRegisterMetaType<QList<AppType>>();
}

bool HierarchicalControlInterface::getMode()
{
    return askMode() == Answer::Usable;
}

HierarchicalControlInterface::Answer HierarchicalControlInterface::askMode()
{
    // A message of its own per call: the system-bus connection may be used
    // from any thread, a shared interface object may not.
    const QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("GetMode"));
    const QDBusMessage reply =
        AppStore::ServiceBus::connection().call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        // Most systems do not run the service at all; that is no fault.
        if (reply.errorName() == kServiceUnknown) {
            qCDebug(daemonLogCategory) << Q_FUNC_INFO << "security-mode service absent";
            return Answer::Absent;
        }
        qCWarning(daemonLogCategory)
            << Q_FUNC_INFO << "GetMode interface error:" << reply.errorMessage();
        return Answer::Unusable;
    }
    const QVariantList arguments = reply.arguments();
    if (arguments.size() != 2) {
        qCWarning(daemonLogCategory)
            << Q_FUNC_INFO << "GetMode failed: arguments().size() =" << arguments.size();
        return Answer::Unusable;
    }
    // Demarshalling a list of another shape would read garbage or assert.
    if (reply.signature() != QLatin1String("ia(ib)")) {
        qCWarning(daemonLogCategory)
            << Q_FUNC_INFO << "GetMode failed: signature =" << reply.signature();
        return Answer::Unusable;
    }
    QList<AppType> appTypes;
    arguments.at(1).value<QDBusArgument>() >> appTypes;
    bool isAppType0Allowed = false;
    for (const AppType &appType : std::as_const(appTypes)) {
        if (appType.type == 0) {
            isAppType0Allowed = appType.allowed;
            break;
        }
    }
    QMutexLocker locker(&m_mutex);
    m_mode = arguments.at(0).toInt();
    m_isAppType0Allowed = isAppType0Allowed;
    return Answer::Usable;
}

bool HierarchicalControlInterface::isAllowed()
{
    // A service that is not there forbids nothing. One that answers badly
    // must not open what it closed: its last usable answer stands.
    if (askMode() == Answer::Absent)
        return true;
    QMutexLocker locker(&m_mutex);
    return m_mode != kRestrictedMode || m_isAppType0Allowed;
}
