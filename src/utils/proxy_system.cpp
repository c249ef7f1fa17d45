#include "proxy_system.h"

#include "common/common.h"
#include "common/daemon_log.h"
#include "utils.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSet>
#include <QFile>
#include <QSettings>

namespace {

const QString kUserKey = QStringLiteral("user");
const QString kManualMode = QStringLiteral("manual");

const QStringList &allowedProxyKeys()
{
    static const QStringList keys{QStringLiteral("SOCKS_SERVER"), QStringLiteral("all_proxy"),
                                  QStringLiteral("ftp_proxy"),    QStringLiteral("http_proxy"),
                                  QStringLiteral("https_proxy"),  QStringLiteral("no_proxy"),
                                  QStringLiteral("auto_proxy")};
    return keys;
}

struct ProxyState
{
    QMutex mutex;
    QString settingsPath = DAEMON_STATE_DIR + QStringLiteral("proxy.conf");
    QString currentUserName;
    QMap<QString, QVariant> systemProxyMap;
    QMap<QString, UserProxyRecord> manualProxyRecords;
    // The variables a map put into the process environment, so that the next
    // map can take back the ones it no longer names.
    QSet<QString> appliedKeys;
};

ProxyState &state()
{
    static ProxyState instance;
    return instance;
}

using Locker = QMutexLocker<QMutex>;

// The name becomes a group of the settings file, where "/" and "\" separate
// groups: such a user would come back under another name after a restart.
bool isAcceptableUserName(const QString &name)
{
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') ||
            c.category() == QChar::Other_Control) {
            return false;
        }
    }
    return true;
}

bool refuseUserName(const QString &userName)
{
    if (isAcceptableUserName(userName)) {
        return false;
    }
    qCWarning(daemonLogCategory) << "Refused proxy settings for the user name" << userName;
    return true;
}

bool hasOnlyAllowedKeys(const QVariantMap &map)
{
    const QStringList &allowed = allowedProxyKeys();
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        if (!allowed.contains(it.key())) {
            return false;
        }
    }
    return true;
}

// Caller holds the mutex. The login manager may take its time to answer, so
// the lookup runs unlocked; a name set meanwhile by another operation wins.
void fillCurrentUser(ProxyState &s, Locker &locker)
{
    if (!s.currentUserName.isEmpty()) {
        return;
    }
    locker.unlock();
    QString name;
    AppStore::Utils::getLogname(name);
    locker.relock();
    if (s.currentUserName.isEmpty()) {
        s.currentUserName = name;
    }
}

void applyLocked(ProxyState &s, const QVariantMap &map)
{
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        if (it.key().isEmpty()) {
            continue;
        }
        const QString text = it.value().toString();
        if (text.isEmpty()) {
            qunsetenv(it.key().toUtf8().constData());
            s.appliedKeys.remove(it.key());
        } else {
            qputenv(it.key().toUtf8().constData(), text.toUtf8());
            s.appliedKeys.insert(it.key());
        }
    }
    // A proxy the user removed must not keep carrying the daemon's traffic.
    const QSet<QString> applied = s.appliedKeys;
    for (const QString &key : applied) {
        if (!map.contains(key)) {
            qunsetenv(key.toUtf8().constData());
            s.appliedKeys.remove(key);
        }
    }
}

void saveLocked(const ProxyState &s)
{
    QSettings settings(s.settingsPath, QSettings::IniFormat);
    for (auto it = s.systemProxyMap.cbegin(); it != s.systemProxyMap.cend(); ++it) {
        // Rewritten whole, or a key the user dropped would return at the next start.
        settings.remove(it.key());
        settings.beginGroup(it.key());
        const QVariantMap map = it.value().toMap();
        for (auto entry = map.cbegin(); entry != map.cend(); ++entry) {
            settings.setValue(entry.key(), entry.value());
        }
        settings.endGroup();
    }
    // After the groups: removing a group of a user called "user" takes the key too.
    settings.setValue(kUserKey, s.currentUserName);
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        qCWarning(daemonLogCategory) << "Failed to save proxy settings to" << s.settingsPath;
    }
    // Proxy addresses may carry user:password.
    QFile::setPermissions(s.settingsPath, QFile::ReadOwner | QFile::WriteOwner);
}

// A hand-edited value with unquoted commas (no_proxy lists) reads as a list.
QString settingText(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<QStringList>()) {
        return value.toStringList().join(QLatin1Char(','));
    }
    return value.toString();
}

QVariantMap readUserGroup(QSettings &settings, const QString &userName)
{
    QVariantMap map;
    settings.beginGroup(userName);
    const QStringList keys = settings.childKeys();
    for (const QString &key : keys) {
        // The same keys as SetSystemProxy accepts: the file feeds root's
        // environment and every package tool.
        if (!allowedProxyKeys().contains(key)) {
            qCWarning(daemonLogCategory) << "Ignored proxy setting" << key << "of" << userName;
            continue;
        }
        map.insert(key, settingText(settings.value(key)));
    }
    settings.endGroup();
    return map;
}

UserProxyRecord currentRecord(ProxyState &s, Locker &locker)
{
    fillCurrentUser(s, locker);
    return s.manualProxyRecords.value(s.currentUserName);
}

QString aptProxyOption(const QString &scheme, int index)
{
    ProxyState &s = state();
    Locker locker(&s.mutex);
    fillCurrentUser(s, locker);
    const auto record = s.manualProxyRecords.constFind(s.currentUserName);
    if (record == s.manualProxyRecords.cend()) {
        return {};
    }
    const ProxyServer &server = record->servers.at(index);
    return QStringLiteral("Acquire::") + scheme + QStringLiteral("::proxy=http://") + server.host +
           QLatin1Char(':') + server.port;
}

} // namespace

void ProxySystem::setSystemProxy(const QString &userName, const QString &environment)
{
    if (userName.isEmpty() || environment.isEmpty() || refuseUserName(userName)) {
        return;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(environment.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        qCWarning(daemonLogCategory) << "parse system proxy failed:" << environment;
        return;
    }
    const QVariantMap map = document.object().toVariantMap();
    if (!hasOnlyAllowedKeys(map)) {
        return;
    }
    ProxyState &s = state();
    Locker locker(&s.mutex);
    s.currentUserName = userName;
    s.systemProxyMap.insert(userName, map);
    qCDebug(daemonLogCategory) << "system proxy of" << userName << map;
    applyLocked(s, map);
    // Saved at once: a stop by signal skips the quit handler.
    saveLocked(s);
}

void ProxySystem::setManual(const QString &userName, const QString &type, const QString &host,
                            const QString &port)
{
    if (userName.isEmpty() || refuseUserName(userName)) {
        return;
    }
    const uint index = type.toUInt();
    if (index >= std::tuple_size<decltype(UserProxyRecord::servers)>::value) {
        qCWarning(daemonLogCategory)
            << "Refused manual proxy of unknown type" << type << "for" << userName;
        return;
    }
    ProxyState &s = state();
    Locker locker(&s.mutex);
    s.currentUserName = userName;
    qCDebug(daemonLogCategory) << Q_FUNC_INFO << "userName:" << userName << "type:" << type
                               << "host:" << host << "port:" << port;
    UserProxyRecord record = s.manualProxyRecords.value(userName);
    record.mode = kManualMode;
    record.servers[index] = ProxyServer{type, host, port};
    s.manualProxyRecords.insert(userName, record);
}

void ProxySystem::setMode(const QString &userName, const QString &mode)
{
    if (userName.trimmed().isEmpty() || refuseUserName(userName)) {
        return;
    }
    ProxyState &s = state();
    Locker locker(&s.mutex);
    s.currentUserName = userName;
    qCDebug(daemonLogCategory) << Q_FUNC_INFO << "userName:" << userName << "mode:" << mode;
    UserProxyRecord record = s.manualProxyRecords.value(userName);
    record.mode = mode;
    s.manualProxyRecords.insert(userName, record);
}

void ProxySystem::loadProxy()
{
    ProxyState &s = state();
    Locker locker(&s.mutex);
    QSettings settings(s.settingsPath, QSettings::IniFormat);
    s.currentUserName = settings.value(kUserKey).toString();
    if (!isAcceptableUserName(s.currentUserName)) {
        s.currentUserName.clear();
    }
    s.systemProxyMap.clear();
    const QStringList users = settings.childGroups();
    for (const QString &user : users) {
        if (isAcceptableUserName(user)) {
            s.systemProxyMap.insert(user, readUserGroup(settings, user));
        }
    }
    const QVariantMap current = s.systemProxyMap.value(s.currentUserName).toMap();
    qCDebug(daemonLogCategory) << "loaded proxy of" << s.currentUserName << current;
    applyLocked(s, current);
}

void ProxySystem::saveProxy()
{
    ProxyState &s = state();
    Locker locker(&s.mutex);
    saveLocked(s);
}

QStringList ProxySystem::proxyEnvironmentList(QString &userName)
{
    ProxyState &s = state();
    Locker locker(&s.mutex);
    fillCurrentUser(s, locker);
    if (userName.isEmpty()) {
        userName = s.currentUserName;
    }
    const QVariantMap map = s.systemProxyMap.value(userName).toMap();
    QStringList entries;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        const QString text = it.value().toString();
        if (!it.key().isEmpty() && !text.isEmpty()) {
            entries.append(it.key() + QLatin1Char('=') + text);
        }
    }
    return entries;
}

void ProxySystem::applyProxyEnvironment(const QVariantMap &map)
{
    ProxyState &s = state();
    Locker locker(&s.mutex);
    applyLocked(s, map);
}

void ProxySystem::updateUserProxyRecord(const QString &userName, const UserProxyRecord &record)
{
    ProxyState &s = state();
    Locker locker(&s.mutex);
    s.manualProxyRecords.insert(userName, record);
}

QString ProxySystem::currentMode()
{
    ProxyState &s = state();
    Locker locker(&s.mutex);
    const QString mode = currentRecord(s, locker).mode;
    return mode.isEmpty() ? QStringLiteral("none") : mode;
}

QString ProxySystem::aptHttpProxyOption()
{
    return aptProxyOption(QStringLiteral("http"), 0);
}

QString ProxySystem::aptHttpsProxyOption()
{
    return aptProxyOption(QStringLiteral("https"), 1);
}

void ProxySystem::applyNetworkProxy(QNetworkAccessManager *manager, const QString &url)
{
    UserProxyRecord record;
    {
        ProxyState &s = state();
        Locker locker(&s.mutex);
        record = currentRecord(s, locker);
    }
    if (record.mode != kManualMode) {
        return;
    }
    const ProxyServer &server = record.servers.at(isHttpsUrl(url) ? 1 : 0);
    manager->setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, server.host, server.port.toUShort()));
}

bool ProxySystem::isHttpsUrl(const QString &url)
{
    const QStringList parts = url.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    return !parts.isEmpty() && parts.constFirst() == QLatin1String("https");
}

QString ProxySystem::settingsFilePath()
{
    ProxyState &s = state();
    Locker locker(&s.mutex);
    return s.settingsPath;
}

void ProxySystem::setSettingsFilePath(const QString &path)
{
    ProxyState &s = state();
    Locker locker(&s.mutex);
    s.settingsPath = path;
}
