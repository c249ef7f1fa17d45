#include "upload_hardware.h"

#include "service.h"

#include "common/daemon_log.h"
#include "database/appstoredb.h"
#include "utils/service_bus.h"
#include "utils/utils.h"
#include "utils/worker_thread.h"

#include <QDBusConnection>
#include <QThread>
#include <QTimer>
#include <QVector>

namespace {

const QString kMarkKey = QStringLiteral("upload_hardware");
const QString kNmService = QStringLiteral("org.freedesktop.NetworkManager");
const QString kNmPath = QStringLiteral("/org/freedesktop/NetworkManager");
const QString kNmInterface = QStringLiteral("org.freedesktop.NetworkManager");
// NetworkManager's state for a connection with global connectivity.
constexpr uint kConnectedGlobal = 70;

} // namespace

UploadHardware::UploadHardware()
    : QObject(nullptr)
{
    m_thread = AppStore::startWorkerThread(this, "UploadHardware");
}

UploadHardware::~UploadHardware()
{
    // Once the thread has ended nothing runs there any more: its objects go
    // at once, as a deletion scheduled on it would never happen.
    const bool stopped = !m_thread || m_thread->isFinished();
    if (stopped) {
        delete m_retryTimer;
        delete m_thread;
    } else {
        if (m_retryTimer)
            m_retryTimer->deleteLater();
        m_thread->deleteLater();
    }
    m_retryTimer = nullptr;
    m_thread = nullptr;
}

void UploadHardware::setIntervals(int startDelayMs, int retryIntervalMs)
{
    m_startDelay = startDelayMs;
    m_interval = retryIntervalMs;
}

void UploadHardware::start()
{
    QTimer::singleShot(m_startDelay, Qt::CoarseTimer, this, &UploadHardware::startHardwareUpload);
}

void UploadHardware::stopThread()
{
    AppStore::stopWorkerThread(m_thread);
}

void UploadHardware::startHardwareUpload()
{
    QString value = QStringLiteral("no");
    if (!AppstoreDb::instance()->selectKeyValueInfo(kMarkKey, value))
        AppstoreDb::instance()->insertKeyValueInfo(kMarkKey, value);
    if (value == QLatin1String("yes"))
        return;
    m_retryTimer = new QTimer();
    connect(m_retryTimer, &QTimer::timeout, this, &UploadHardware::uploadHardwareEvent);
    m_retryTimer->setInterval(m_interval);
    m_retryTimer->start();
    if (!uploadHardwareEvent())
        watchNetwork(true);
}

bool UploadHardware::uploadHardwareEvent()
{
    // Connectivity news queued while an attempt waited arrive afterwards:
    // the report goes out once.
    if (m_reported)
        return true;
    if (m_attemptRunning)
        return false;
    m_attemptRunning = true;
    const bool sent = attempt();
    m_attemptRunning = false;
    return sent;
}

bool UploadHardware::attempt()
{
    if (AppStore::Utils::networkManagerState() != kConnectedGlobal)
        return false;
    QVector<StoreService::AppBriefInfo> infos;
    if (!Service::instance()->getLocalPackagesInfo({QStringLiteral("velkor-app-store")}, infos))
        return false;
    m_reported = true;
    AppstoreDb::instance()->updateKeyValueInfo(kMarkKey, QStringLiteral("yes"));
    if (m_retryTimer && m_retryTimer->isActive())
        m_retryTimer->stop();
    watchNetwork(false);
    qCInfo(daemonLogCategory) << "Hardware report sent";
    return true;
}

void UploadHardware::watchNetwork(bool on)
{
    QDBusConnection bus = AppStore::ServiceBus::connection();
    if (on)
        bus.connect(kNmService, kNmPath, kNmInterface, QStringLiteral("PropertiesChanged"), this,
                    SLOT(onPropertiesChangedSlot(QVariantMap)));
    else
        bus.disconnect(kNmService, kNmPath, kNmInterface, QStringLiteral("PropertiesChanged"), this,
                       SLOT(onPropertiesChangedSlot(QVariantMap)));
}

void UploadHardware::onPropertiesChangedSlot(QVariantMap para)
{
    const auto state = para.constFind(QStringLiteral("State"));
    if (state == para.constEnd())
        return;
    bool isNumber = false;
    if (state->toUInt(&isNumber) == kConnectedGlobal && isNumber)
        uploadHardwareEvent();
}
