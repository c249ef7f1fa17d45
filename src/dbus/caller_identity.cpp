#include "caller_identity.h"

#include "bus_bounds.h"
#include "caller_check.h"

#include "common/daemon_log.h"
#include "utils/caller_log_budget.h"
#include "utils/login_session_refs.h"
#include "utils/service_bus.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <QVariantMap>

#include <climits>
#include <sys/stat.h>
#include <unistd.h>

namespace AppStore {

namespace {

const QString kDeletedSuffix = QStringLiteral(" (deleted)");
const QString kLogin1 = QStringLiteral("org.freedesktop.login1");

QDBusMessage credentialsQuery(const QString &sender)
{
    QDBusMessage query = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionCredentials"));
    query << sender;
    return query;
}

QDBusMessage loginPropertyQuery(const QString &path, const QString &interface, const QString &name)
{
    QDBusMessage query = QDBusMessage::createMethodCall(
        kLogin1, path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    query << interface << name;
    return query;
}

// A structure-typed property of the login manager; false unless the value has
// exactly the signature the reader expects.
template<typename T>
bool readLoginProperty(const QDBusMessage &reply, const char *signature, T &target)
{
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return false;
    const QVariant value = qvariant_cast<QDBusVariant>(reply.arguments().constFirst()).variant();
    if (value.metaType() != QMetaType::fromType<QDBusArgument>())
        return false;
    const QDBusArgument argument = value.value<QDBusArgument>();
    if (argument.currentSignature() != QLatin1String(signature))
        return false;
    argument >> target;
    return true;
}

void askAside(const QDBusConnection &connection, const QDBusMessage &query, QObject *context,
              const std::function<void(const QDBusMessage &)> &answer)
{
    ServiceBus::ask(connection, query, BusBounds::kCallerQuestionTimeoutMs, context, answer);
}

// Two paths name the same file (or namespace): stat follows the links of
// /proc to what they stand for, whichever namespace the process is in.
bool isSameFile(const QString &first, const QString &second)
{
    struct stat a = {};
    struct stat b = {};
    return ::stat(QFile::encodeName(first).constData(), &a) == 0 &&
           ::stat(QFile::encodeName(second).constData(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

bool sharesDaemonNamespaces(uint pid)
{
    for (const char *kind : {"mnt", "user"}) {
        const QString name = QLatin1String(kind);
        if (!isSameFile(QStringLiteral("/proc/%1/ns/").arg(pid) + name,
                        QStringLiteral("/proc/self/ns/") + name))
            return false;
    }
    return true;
}

} // namespace

const QStringList &CallerIdentity::allowedExecutables()
{
    static const QStringList list{
        QStringLiteral("/usr/bin/tarnwick-client"),
        QStringLiteral("/usr/bin/dremly"),
        QStringLiteral("/usr/bin/ostra-control-center"),
        QStringLiteral("/usr/bin/ostra-lock"),
        QStringLiteral("/usr/bin/wardlet"),
        QStringLiteral("/usr/share/quillon"),
    };
    return list;
}

// The bus daemon fixes a connection's user when it connects and never gives
// its unique name to another connection: one question per connection is
// enough to sort calls by user. Admission asks afresh for each call, so that
// a caller gone meanwhile is not taken for the process that may now have its
// pid.
namespace {

QMutex userCacheMutex;
QHash<QString, uid_t> userCache;

QString userCacheKey(const QDBusConnection &connection, const QString &sender)
{
    return connection.name() + u'\n' + connection.baseService() + u'\n' + sender;
}

} // namespace

bool CallerIdentity::knownUserOf(const QDBusConnection &connection, const QString &sender,
                                 uid_t &uid)
{
    QMutexLocker locker(&userCacheMutex);
    const auto known = userCache.constFind(userCacheKey(connection, sender));
    if (known == userCache.cend())
        return false;
    uid = *known;
    return true;
}

void CallerIdentity::rememberUser(const QDBusConnection &connection, const QString &sender,
                                  uid_t uid)
{
    QMutexLocker locker(&userCacheMutex);
    // Names of connections long gone are forgotten in one sweep.
    if (userCache.size() >= BusBounds::kMaxRememberedSenders)
        userCache.clear();
    userCache.insert(userCacheKey(connection, sender), uid);
}

QDBusConnection CallerIdentity::questionsConnection(const QDBusConnection &connection)
{
    // A connection of a test's own is asked on.
    return connection.name() == QDBusConnection::systemBus().name() ? ServiceBus::connection()
                                                                    : connection;
}

void CallerIdentity::ask(const QDBusConnection &connection, const QString &sender, QObject *context,
                         const IdentityAnswer &answer)
{
    askAside(questionsConnection(connection), credentialsQuery(sender), context,
             [connection, sender, answer](const QDBusMessage &reply) {
                 answer(fromCredentials(connection, sender, reply));
             });
}

void CallerIdentity::askActiveSeatUser(const QDBusConnection &connection, QObject *context,
                                       const SeatAnswer &answer)
{
    registerLoginSessionRefTypes();
    const QDBusConnection questions = questionsConnection(connection);
    const QDBusMessage seatQuery = loginPropertyQuery(
        QStringLiteral("/org/freedesktop/login1/seat/seat0"),
        QStringLiteral("org.freedesktop.login1.Seat"), QStringLiteral("ActiveSession"));
    askAside(questions, seatQuery, context,
             [questions, context, answer](const QDBusMessage &reply) {
                 SessionRef session;
                 if (!readLoginProperty(reply, "(so)", session) || session.id.isEmpty() ||
                     session.path.path().isEmpty() || session.path.path() == QLatin1String("/")) {
                     answer(false, 0);
                     return;
                 }
                 const QDBusMessage userQuery = loginPropertyQuery(
                     session.path.path(), QStringLiteral("org.freedesktop.login1.Session"),
                     QStringLiteral("User"));
                 askAside(questions, userQuery, context, [answer](const QDBusMessage &userReply) {
                     UserRef user;
                     if (!readLoginProperty(userReply, "(uo)", user)) {
                         answer(false, 0);
                         return;
                     }
                     answer(true, static_cast<uid_t>(user.uid));
                 });
             });
}

CallerIdentity CallerIdentity::fromCredentials(const QDBusConnection &connection,
                                               const QString &sender, const QDBusMessage &reply)
{
    CallerIdentity identity;
    identity.m_hasUser = identity.parseCredentials(sender, reply);
    if (!identity.m_hasUser)
        return identity;
    rememberUser(connection, sender, identity.m_uid);
    identity.m_known = identity.readExecutable();
    identity.m_allowed = identity.runsAllowedExecutable();
    return identity;
}

bool CallerIdentity::parseCredentials(const QString &sender, const QDBusMessage &reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        m_senderGone =
            reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner");
        if (CallerLogBudget::admit(BusCaller::budgetOfUnknownUsers()))
            qCWarning(daemonLogCategory)
                << "No credentials of the caller" << sender << ":" << reply.errorMessage();
        return false;
    }
    const QVariantMap credentials = qdbus_cast<QVariantMap>(reply.arguments().constFirst());
    const QVariant pid = credentials.value(QStringLiteral("ProcessID"));
    const QVariant uid = credentials.value(QStringLiteral("UnixUserID"));
    if (pid.metaType() != QMetaType::fromType<uint>() ||
        uid.metaType() != QMetaType::fromType<uint>() || pid.toUInt() == 0)
        return false;
    m_pid = pid.toUInt();
    m_uid = static_cast<uid_t>(uid.toUInt());
    return true;
}

bool CallerIdentity::readExecutable()
{
    // readlink itself, not a resolved path: the kernel marks a program whose
    // file was removed or replaced after it started, and that mark must stay.
    const QByteArray link = QStringLiteral("/proc/%1/exe").arg(m_pid).toLocal8Bit();
    char target[PATH_MAX + 16];
    const ssize_t length = ::readlink(link.constData(), target, sizeof target - 1);
    if (length <= 0 || length >= static_cast<ssize_t>(sizeof target - 1))
        return false;
    m_executable = QString::fromLocal8Bit(target, length);
    return !m_executable.endsWith(kDeletedSuffix);
}

bool CallerIdentity::runsAllowedExecutable() const
{
    return m_known && allowedExecutables().contains(m_executable, Qt::CaseSensitive) &&
           sharesDaemonNamespaces(m_pid) &&
           isSameFile(QStringLiteral("/proc/%1/exe").arg(m_pid), m_executable);
}

} // namespace AppStore
