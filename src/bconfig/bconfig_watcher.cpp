#include "bconfig_watcher.h"

#include "common/daemon_log.h"

#include <bconfig.h>

using Bexa::Core::BConfig;

namespace {

const QString kStoreAppId = QStringLiteral("velkor-app-store");
const QString kStoreConfigName = QStringLiteral("com.velkor.app-store");

QString describe(const BConfigKey &key)
{
    return QStringLiteral("appId = %1, name = %2, subpath = %3")
        .arg(key.appId, key.name, key.subpath);
}

} // namespace

BConfigWatcher *BConfigWatcher::instance()
{
    // The first call comes from main() before anything else runs, and the
    // watcher is used from the main thread only: no lock needed.
    static BConfigWatcher *watcher = new BConfigWatcher();
    return watcher;
}

BConfigWatcher::BConfigWatcher(QObject *parent)
    : QObject(parent)
{
    addBConfig(kStoreAppId, kStoreConfigName, QString());
}

BConfigWatcher::~BConfigWatcher()
{
    for (BConfig *config : std::as_const(m_configs)) {
        config->disconnect();
        delete config;
    }
}

bool BConfigWatcher::addBConfig(QString appId, const QString &name, const QString &subpath)
{
    const BConfigKey key{appId, name, subpath};
    if (m_configs.contains(key)) {
        return true;
    }
    BConfig *config = BConfig::create(appId, name, subpath, this);
    if (!config || !config->isValid()) {
        qCWarning(daemonLogCategory).noquote()
            << Q_FUNC_INFO << QStringLiteral("BConfig is invalid: %1").arg(describe(key));
        delete config;
        return false;
    }
    connect(config, &BConfig::valueChanged, this, &BConfigWatcher::slotValueChanged,
            Qt::UniqueConnection);
    m_configs.insert(key, config);
    return true;
}

void BConfigWatcher::removeBConfig(const QString &appId, const QString &name,
                                   const QString &subpath)
{
    delete m_configs.take(BConfigKey{appId, name, subpath});
}

BConfig *BConfigWatcher::find(const BConfigKey &key) const
{
    return m_configs.value(key, nullptr);
}

QVariant BConfigWatcher::getValueSync(QString appId, const QString &name, const QString &subpath,
                                      const QString &key)
{
    const BConfigKey configKey{appId, name, subpath};
    BConfig *config = find(configKey);
    if (!config) {
        qCWarning(daemonLogCategory).noquote()
            << Q_FUNC_INFO << QStringLiteral("find BConfig failed: %1").arg(describe(configKey));
        return QVariant();
    }
    return config->value(key, QVariant());
}

void BConfigWatcher::getValue(const QString &appId, const QString &name, const QString &subpath,
                              const QString &key)
{
    const QVariant value = getValueSync(appId, name, subpath, key);
    if (!value.isValid()) {
        Q_EMIT sigValueChanged(appId, name, subpath, key, value);
    }
}

void BConfigWatcher::setValue(QString appId, const QString &name, const QString &subpath,
                              const QString &key, const QVariant &value)
{
    const BConfigKey configKey{appId, name, subpath};
    BConfig *config = find(configKey);
    if (!config) {
        qCWarning(daemonLogCategory).noquote()
            << Q_FUNC_INFO << QStringLiteral("find BConfig failed: %1").arg(describe(configKey));
        return;
    }
    config->setValue(key, value);
}

void BConfigWatcher::slotValueChanged(const QString &key)
{
    auto *config = qobject_cast<BConfig *>(sender());
    if (!config) {
        qCWarning(daemonLogCategory).noquote() << Q_FUNC_INFO << "cast to BConfig failed";
        return;
    }
    const BConfigKey configKey = m_configs.key(config, BConfigKey{});
    if (!m_configs.contains(configKey) || m_configs.value(configKey) != config) {
        qCWarning(daemonLogCategory).noquote() << Q_FUNC_INFO << "find BConfig failed";
        return;
    }
    Q_EMIT sigValueChanged(configKey.appId, configKey.name, configKey.subpath, key,
                           config->value(key, QVariant()));
}
