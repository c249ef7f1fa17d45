#include "app_store_interface.h"

#include "service/app_brief_info_interface.h"
#include "service/service.h"
#include "service/upload_hardware.h"

#include "apt_utils/aptcache.h"
#include "apt_utils/aptupdatethread.h"
#include "apt_utils/clearcachedirthread.h"
#include "apt_utils/updatesrcdirthread.h"
#include "common/apt_task.h"
#include "common/daemon_log.h"
#include "database/appstoredb.h"
#include "task/apt_install_manager.h"
#include "task/task_manager.h"
#include "utils/system_info_storer.h"
#include "utils/utils.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>

namespace {

const QString kObjectPath = QStringLiteral("/appstore");
const QString kServiceName = QStringLiteral("com.tarnwick.daemon");
// dpkg cut off in an unpack can leave a package broken, so a stop waits this
// long for it; the unit's stop time-out lies above it.
constexpr int kShutdownWaitMs = 15 * 60 * 1000;

} // namespace

AppStoreInterface *AppStoreInterface::instance()
{
    return AppStore::LazySingleton<AppStoreInterface>::instance();
}

// Nothing here may touch the database, the package cache or any thread: a
// second daemon builds this object before it learns that the name is taken.
AppStoreInterface::AppStoreInterface()
{
    registerAptTaskMetaType();
}

AppStoreInterface::~AppStoreInterface()
{
    stopWorkers();
}

void AppStoreInterface::startWorkers()
{
    if (m_aptInstallManager)
        return;
    initDatabase();
    // Before the install manager, whose construction asks it for facts.
    SystemInfoStorer::instance()->startThread();
    TaskManager::instance();

    m_updateSrcDirThread = std::make_unique<UpdateSrcDirThread>(&AppStore::Utils::updateSourceDir);
    m_clearCacheDirThread = std::make_unique<ClearCacheDirThread>(&AptCache::cleanPackagesCache);
    // The package cache is cleaned once at every start.
    Q_EMIT m_clearCacheDirThread->sigStartClearCacheDir();
    m_aptUpdateThread = std::make_unique<AptUpdateThread>(&AptCache::AptUpdate);

    // No parent: the manager moves itself to a thread of its own.
    m_aptInstallManager = new AptInstallManager;
    // Rows left "installing" by a crash are settled before anything listens.
    m_aptInstallManager->syncLastInstallingTaskToPauseImply();
    connect(m_aptInstallManager, &AptInstallManager::sigAptUpdate, this,
            &AppStoreInterface::AptUpdateSource);

    // The store client is first built on the lookup thread, so that its
    // start-up probes keep off the bus thread.
    AppBriefInfoInterface *lookup = AppBriefInfoInterface::instance();
    QMetaObject::invokeMethod(
        lookup, [] { Service::instance(); }, Qt::QueuedConnection);
    m_uploadHardware = std::make_unique<UploadHardware>();
    m_uploadHardware->start();
}

void AppStoreInterface::initDatabase()
{
    AppstoreDb *db = AppstoreDb::instance();
    db->addAllNewColumn();
    QString keepArchives = QStringLiteral("0");
    db->selectSettingByColumnName(QStringLiteral("keepArchives"), keepArchives);
    AppStore::Utils::setKeepArchives(keepArchives == QLatin1String("2"));
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

void AppStoreInterface::stopWorkers()
{
    if (AppBriefInfoInterface *lookup = AppBriefInfoInterface::existingInstance())
        lookup->stopThread();
    if (m_uploadHardware)
        m_uploadHardware->stopThread();
    if (m_aptInstallManager) {
        m_aptInstallManager->stopThread();
        m_aptInstallManager->deleteLater();
        m_aptInstallManager = nullptr;
    }
    for (MaintenanceThread *thread :
         {static_cast<MaintenanceThread *>(m_aptUpdateThread.get()),
          static_cast<MaintenanceThread *>(m_clearCacheDirThread.get()),
          static_cast<MaintenanceThread *>(m_updateSrcDirThread.get())}) {
        if (thread) {
            thread->stop();
        }
    }
}

void AppStoreInterface::shutDown()
{
    if (!m_aptInstallManager) {
        QCoreApplication::quit();
        return;
    }
    connect(
        m_aptInstallManager, &AptInstallManager::sigShutdownReady, this,
        [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    m_aptInstallManager->beginShutdown(kShutdownWaitMs);
}

void AppStoreInterface::AptUpdateSource(bool isStartup)
{
    Q_EMIT m_aptUpdateThread->sigStartAptUpdate(isStartup);
}

void AppStoreInterface::UpdateSourceDir()
{
    Q_EMIT m_updateSrcDirThread->sigStartUpdateSrcDir();
}

void AppStoreInterface::ClearCacheDir()
{
    Q_EMIT m_clearCacheDirThread->sigStartClearCacheDir();
}
