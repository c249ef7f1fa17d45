#pragma once

#include <QMap>
#include <QObject>
#include <QString>
#include <QVariant>

#include <tuple>

namespace Bexa::Core {
class BConfig;
}

// One configuration of the configuration service: application id, name and
// subpath. Configurations that differ only in the subpath are different.
struct BConfigKey
{
    QString appId;
    QString name;
    QString subpath;

    bool operator<(const BConfigKey &other) const
    {
        return std::tie(appId, name, subpath) < std::tie(other.appId, other.name, other.subpath);
    }
};

// The daemon's one path to the configuration service: keeps one configuration
// object per configuration and turns their change notifications into one
// signal naming the configuration, the key and the new value. Main thread only.
class BConfigWatcher : public QObject
{
    Q_OBJECT
public:
    static BConfigWatcher *instance();

    explicit BConfigWatcher(QObject *parent = nullptr);
    ~BConfigWatcher() override;

    bool addBConfig(QString appId, const QString &name, const QString &subpath);
    void removeBConfig(const QString &appId, const QString &name, const QString &subpath);
    QVariant getValueSync(QString appId, const QString &name, const QString &subpath,
                          const QString &key);
    void getValue(const QString &appId, const QString &name, const QString &subpath,
                  const QString &key);
    void setValue(QString appId, const QString &name, const QString &subpath, const QString &key,
                  const QVariant &value);

Q_SIGNALS:
    void sigValueChanged(QString appId, QString name, QString subpath, QString key, QVariant value);

private Q_SLOTS:
    void slotValueChanged(const QString &key);

private:
    Bexa::Core::BConfig *find(const BConfigKey &key) const;

    QMap<BConfigKey, Bexa::Core::BConfig *> m_configs;
};
