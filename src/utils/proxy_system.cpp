#include "proxy_system.h"

#include "common/common.h"
#include "common/daemon_log.h"
#include "utils.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QMutexLocker>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSettings>

#include <algorithm>

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
    // What the applied maps make of the environment that children inherit:
    // a value to set, or an empty one for a variable to take away. Kept
    // here rather than in the daemon's own environment, which other threads
    // read while they start processes.
    QMap<QString, QString> childEnvironment;
};

ProxyState &state()
{
    static ProxyState instance;
    return instance;
}

using Locker = QMutexLocker<QMutex>;

bool hasControlCharacter(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(),
                       [](QChar c) { return c.category() == QChar::Other_Control; });
}

// The name becomes a group of the settings file, where "/" and "\" separate
// groups: such a user would come back under another name after a restart.
bool isAcceptableUserName(const QString &name)
{
    return !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) &&
           !hasControlCharacter(name);
}

// A line break in a value would start another line of whatever a child
// writes the variable into.
bool isAcceptableValue(const QVariant &value)
{
    return !hasControlCharacter(value.toString());
}

// Proxy addresses may carry "user:password@"; logs go to the journal and to
// files kept for days, so only the scheme and the host are shown.
QString maskedValue(const QString &value)
{
    const qsizetype at = value.lastIndexOf(QLatin1Char('@'));
    if (at < 0) {
        return value;
    }
    const qsizetype scheme = value.indexOf(QLatin1String("://"));
    const qsizetype start = scheme >= 0 && scheme < at ? scheme + 3 : 0;
    return value.left(start) + QStringLiteral("***") + value.mid(at);
}

QVariantMap maskedMap(const QVariantMap &map)
{
    QVariantMap masked;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        masked.insert(it.key(), maskedValue(it.value().toString()));
    }
    return masked;
}

// The same for text that did not parse: every token that holds an "@".
QString maskedText(const QString &text)
{
    static const QRegularExpression credentials(
        QStringLiteral(R"(([A-Za-z][A-Za-z0-9+.\-]*:(?:\\?/)+)?[^\s"'<>{}\[\]=]*@)"));
    QString masked = text;
    return masked.replace(credentials, QStringLiteral("\\1***@"));
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

bool hasOnlyAcceptableValues(const QVariantMap &map)
{
    return std::all_of(map.cbegin(), map.cend(), isAcceptableValue);
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
    // A proxy the user removed must not keep carrying the children's traffic.
    for (auto it = s.childEnvironment.begin(); it != s.childEnvironment.end(); ++it) {
        if (!map.contains(it.key())) {
            it.value().clear();
        }
    }
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        if (!it.key().isEmpty()) {
            s.childEnvironment.insert(it.key(), it.value().toString());
        }
    }
}

// QSettings writes through a save file that takes the mode of the file it
// replaces, so a private file stays private from the save file's first byte.
bool makePrivateFile(const QString &path)
{
    const QFile::Permissions owner = QFile::ReadOwner | QFile::WriteOwner;
    QFile file(path);
    if (file.exists()) {
        return file.setPermissions(owner);
    }
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly, owner)) {
        return false;
    }
    file.close();
    return true;
}

void saveLocked(const ProxyState &s)
{
    if (!makePrivateFile(s.settingsPath)) {
        qCWarning(daemonLogCategory) << "Failed to save proxy settings to" << s.settingsPath;
        return;
    }
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
        // The same keys and values as SetSystemProxy accepts: the file
        // feeds the environment of every package tool run as root.
        const QString value = settingText(settings.value(key));
        if (!allowedProxyKeys().contains(key) || !isAcceptableValue(value)) {
            qCWarning(daemonLogCategory) << "Ignored proxy setting" << key << "of" << userName;
            continue;
        }
        map.insert(key, value);
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

void ProxySystem::setSystemProxy(const QString &userName, const QString &environment,
                                 bool makeCurrent)
{
    if (userName.isEmpty() || environment.isEmpty() || refuseUserName(userName)) {
        return;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(environment.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        qCWarning(daemonLogCategory) << "parse system proxy failed:" << maskedText(environment);
        return;
    }
    const QVariantMap map = document.object().toVariantMap();
    if (!hasOnlyAllowedKeys(map)) {
        return;
    }
    if (!hasOnlyAcceptableValues(map)) {
        qCWarning(daemonLogCategory)
            << "Refused proxy settings with a control character of" << userName;
        return;
    }
    ProxyState &s = state();
    Locker locker(&s.mutex);
    s.systemProxyMap.insert(userName, map);
    qCDebug(daemonLogCategory) << "system proxy of" << userName << maskedMap(map);
    // The current user's map stays the one applied, whoever changes it.
    if (makeCurrent || userName == s.currentUserName) {
        s.currentUserName = userName;
        applyLocked(s, map);
    }
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
                               << "host:" << maskedValue(host) << "port:" << port;
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
    // Files saved before they were kept private.
    if (QFile::exists(s.settingsPath)) {
        QFile::setPermissions(s.settingsPath, QFile::ReadOwner | QFile::WriteOwner);
    }
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
    qCDebug(daemonLogCategory) << "loaded proxy of" << s.currentUserName << maskedMap(current);
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

void ProxySystem::applyToChildEnvironment(QProcessEnvironment &environment)
{
    ProxyState &s = state();
    Locker locker(&s.mutex);
    for (auto it = s.childEnvironment.cbegin(); it != s.childEnvironment.cend(); ++it) {
        if (it.value().isEmpty()) {
            environment.remove(it.key());
        } else {
            environment.insert(it.key(), it.value());
        }
    }
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
