#include "children_guard_account_interface.h"

#include "common/daemon_log.h"
#include "utils/service_bus.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QMutexLocker>

namespace {

const QString kService = QStringLiteral("com.velkor.daemon.ChildrenGuard.Account");
const QString kPath = QStringLiteral("/com/velkor/daemon/ChildrenGuard/Account");
const QString kInterface = QStringLiteral("com.velkor.daemon.ChildrenGuard.Account");
const QString kServiceUnknown = QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown");
const QString kNoRole = QStringLiteral("-1");

// The callers are worker threads that hold up a task or a hook event while
// they wait, so a silent service must not keep them for the bus default.
constexpr int kCallTimeoutMs = 5000;

} // namespace

ChildrenGuardAccountInterface *ChildrenGuardAccountInterface::instance()
{
    return AppStore::LazySingleton<ChildrenGuardAccountInterface>::instance();
}

ChildrenGuardAccountInterface::ChildrenGuardAccountInterface()
    : QObject(nullptr)
{}

QString ChildrenGuardAccountInterface::getOwnerRole(const QString &userName)
{
    QString role = kNoRole;
    {
        QMutexLocker locker(&m_cacheMutex);
        const auto cached = m_roleCache.constFind(userName);
        if (cached != m_roleCache.constEnd()) {
            if (cached->age.elapsed() < m_roleLifetimeMs) {
                return cached->role;
            }
            role = cached->role;
        }
    }
    // The call runs unlocked: one slow answer must not hold up callers whose
    // role is already known.
    QString learnt;
    if (getAccountType(userName, learnt)) {
        role = learnt;
        LearntRole entry{role, {}};
        entry.age.start();
        QMutexLocker locker(&m_cacheMutex);
        m_roleCache.insert(userName, entry);
    }
    qCDebug(daemonLogCategory) << Q_FUNC_INFO << "UserName:" << userName << "OwnerRole:" << role;
    return role;
}

void ChildrenGuardAccountInterface::setRoleLifetime(int ms)
{
    QMutexLocker locker(&m_cacheMutex);
    m_roleLifetimeMs = ms;
}

bool ChildrenGuardAccountInterface::getAccountType(const QString &userName, QString &type)
{
    // A message of its own per call: the system-bus connection may be used
    // from any thread, a shared interface object may not.
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                       QStringLiteral("GetAccountType"));
    call << userName;
    const QDBusMessage reply =
        AppStore::ServiceBus::connection().call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        // Systems without parental control do not run the service at all.
        if (reply.errorName() == kServiceUnknown) {
            qCDebug(daemonLogCategory) << Q_FUNC_INFO << "account service absent";
        } else {
            qCWarning(daemonLogCategory)
                << Q_FUNC_INFO << "GetAccountType failed:" << reply.errorName()
                << reply.errorMessage();
        }
        return false;
    }
    const QVariantList arguments = reply.arguments();
    // Structures and containers arrive as a QDBusArgument, which would read
    // as an empty text and be cached as a role.
    if (arguments.isEmpty() ||
        arguments.first().metaType() == QMetaType::fromType<QDBusArgument>() ||
        !arguments.first().canConvert<QString>()) {
        qCWarning(daemonLogCategory)
            << Q_FUNC_INFO << "GetAccountType gave no account type:" << reply.signature();
        return false;
    }
    type = arguments.first().toString();
    return true;
}
