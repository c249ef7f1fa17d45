#include "bconfig.h"

#include <QAbstractEventDispatcher>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QSet>

Q_LOGGING_CATEGORY(bexaConfigLog, "bexa.core.config")

namespace Bexa::Core {

namespace {

bool isSafeComponent(const QString &part)
{
    return !part.isEmpty() && part != QLatin1String(".") && part != QLatin1String("..") &&
           !part.contains(QLatin1Char('/')) && !part.contains(QChar(0));
}

} // namespace

BConfig *BConfig::create(const QString &appId, const QString &name, const QString &subpath,
                         QObject *parent)
{
    return new BConfig(filePath(appId, name, subpath), parent);
}

QString BConfig::filePath(const QString &appId, const QString &name, const QString &subpath)
{
    if (!isSafeComponent(appId) || !isSafeComponent(name))
        return QString();
    const QStringList subParts = subpath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &part : subParts) {
        if (!isSafeComponent(part))
            return QString();
    }
    QString dir = qEnvironmentVariable("BEXA_CONFIG_DIR");
    if (dir.isEmpty())
        dir = QStringLiteral("/etc/bexa/config");
    if (subParts.isEmpty())
        return dir + QLatin1Char('/') + appId + QLatin1Char('/') + name + QStringLiteral(".json");
    return dir + QLatin1Char('/') + appId + QLatin1Char('/') + name + QLatin1Char('/') +
           subParts.join(QLatin1Char('/')) + QStringLiteral(".json");
}

BConfig::BConfig(const QString &path, QObject *parent)
    : QObject(parent)
    , m_path(path)
{
    if (m_path.isEmpty())
        return;
    m_valid = load(m_values);
    if (m_valid)
        watch();
}

bool BConfig::isValid() const
{
    return m_valid;
}

QVariant BConfig::value(const QString &key, const QVariant &fallback) const
{
    const auto it = m_values.constFind(key);
    return it == m_values.constEnd() ? fallback : it->toVariant();
}

void BConfig::setValue(const QString &key, const QVariant &value)
{
    if (!m_valid)
        return;
    const QJsonValue newValue = QJsonValue::fromVariant(value);
    if (m_values.value(key) == newValue)
        return;
    QJsonObject values = m_values;
    values.insert(key, newValue);

    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QJsonDocument(values).toJson(QJsonDocument::Indented)) < 0 || !file.commit()) {
        qCWarning(bexaConfigLog) << "cannot write" << m_path << file.errorString();
        return;
    }
    m_values = values;
    emit valueChanged(key);
}

bool BConfig::load(QJsonObject &values) const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return false;
    values = doc.object();
    return true;
}

void BConfig::watch()
{
    // A file watch needs the event dispatcher of this thread, which the main
    // thread gets only with the application object; an object made before
    // that starts watching once the event loop runs, and then announces what
    // changed on disk in between.
    if (!QAbstractEventDispatcher::instance(thread())) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                startWatching();
                onDiskChanged();
            },
            Qt::QueuedConnection);
        return;
    }
    startWatching();
}

void BConfig::startWatching()
{
    m_watcher = new QFileSystemWatcher(this);
    // Editors and our own writer replace the file by a rename, which ends a
    // watch on the file itself; the directory watch sees the new file.
    m_watcher->addPath(QFileInfo(m_path).absolutePath());
    m_watcher->addPath(m_path);
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this, &BConfig::onDiskChanged);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &BConfig::onDiskChanged);
}

void BConfig::onDiskChanged()
{
    if (!m_watcher->files().contains(m_path) && QFile::exists(m_path))
        m_watcher->addPath(m_path);

    QJsonObject values;
    // A missing or half-written file keeps the last good values: the write
    // that completes it is seen as one more change.
    if (!load(values))
        return;

    QSet<QString> keys;
    for (auto it = m_values.constBegin(); it != m_values.constEnd(); ++it)
        keys.insert(it.key());
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        keys.insert(it.key());
    QStringList changed;
    for (const QString &key : std::as_const(keys)) {
        if (m_values.value(key) != values.value(key))
            changed.append(key);
    }
    changed.sort();

    m_values = values;
    for (const QString &key : std::as_const(changed))
        emit valueChanged(key);
}

} // namespace Bexa::Core
