#include "app_store_interface.h"

#include "common/apt_task.h"
#include "common/daemon_log.h"
#include "task/task_manager.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>

namespace {

const QString kObjectPath = QStringLiteral("/appstore");
const QString kServiceName = QStringLiteral("com.tarnwick.daemon");

} // namespace

AppStoreInterface *AppStoreInterface::instance()
{
    return AppStore::LazySingleton<AppStoreInterface>::instance();
}

AppStoreInterface::AppStoreInterface()
{
    registerAptTaskMetaType();
    TaskManager::instance();
}

bool AppStoreInterface::registerDBus()
{
    QDBusConnection bus = QDBusConnection::systemBus();
    const auto options =
        QDBusConnection::ExportScriptableSlots | QDBusConnection::ExportScriptableSignals |
        QDBusConnection::ExportScriptableProperties | QDBusConnection::ExportScriptableInvokables;
    if (!bus.registerObject(kObjectPath, this, options)) {
        qCWarning(daemonLogCategory).noquote() << "Error:" << bus.lastError().message();
        return false;
    }
    if (!bus.registerService(kServiceName)) {
        qCWarning(daemonLogCategory).noquote() << "Error:" << bus.lastError().message();
        bus.unregisterObject(kObjectPath);
        return false;
    }
    return true;
}

QString AppStoreInterface::version() const
{
    return QCoreApplication::applicationVersion();
}
