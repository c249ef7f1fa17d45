#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QVariant>

class QFileSystemWatcher;

namespace Bexa::Core {

// One configuration (application id, name, subpath), kept as a JSON object
// file under the configuration directory ("BEXA_CONFIG_DIR", by default
// "/etc/bexa/config"): "<dir>/<appId>/<name>.json", or
// "<dir>/<appId>/<name>/<subpath>.json" when a subpath is given.
// Changes made on disk by other writers are picked up and announced.
class BConfig : public QObject
{
    Q_OBJECT
public:
    // Never returns null; the caller deletes an object that is not valid.
    static BConfig *create(const QString &appId, const QString &name,
                           const QString &subpath = QString(), QObject *parent = nullptr);

    // Whether the names were acceptable and the file held a JSON object
    // when the object was created.
    bool isValid() const;
    QVariant value(const QString &key, const QVariant &fallback = QVariant()) const;
    // Writes the whole file atomically; nothing changes (and nothing is
    // announced) when the value is the same or the file cannot be written.
    void setValue(const QString &key, const QVariant &value);

signals:
    void valueChanged(const QString &key);

private:
    BConfig(const QString &path, QObject *parent);
    // Empty when a name could leave the configuration directory.
    static QString filePath(const QString &appId, const QString &name, const QString &subpath);
    bool load(QJsonObject &values) const;
    void watch();
    void startWatching();
    void onDiskChanged();

    QString m_path;
    QJsonObject m_values;
    bool m_valid = false;
    QFileSystemWatcher *m_watcher = nullptr;
};

} // namespace Bexa::Core
