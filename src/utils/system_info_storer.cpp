#include "system_info_storer.h"

#include "common/common.h"
#include "common/daemon_log.h"
#include "task/abstract_task.h"
#include "utils/utils.h"
#include "utils/worker_thread.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>
#include <QSaveFile>
#include <QThread>

#include <sys/stat.h>

namespace {

// Where the file lived in earlier releases; removed so that no stale copy
// stays readable there.
const QString kFormerHardwareJsonPath = QStringLiteral("/usr/share/tarnwick-daemon/hardware.json");

QString hardwareJsonPath()
{
    return DAEMON_STATE_DIR + QStringLiteral("hardware.json");
}

QString compactJson(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QString cpuInfoText(const CpuInfo &info)
{
    return compactJson({{QStringLiteral("modelName"), info.modelName},
                        {QStringLiteral("cpuCores"), info.cpuCores},
                        {QStringLiteral("cpuMHz"), info.cpuMHz},
                        {QStringLiteral("vendorID"), info.vendorID},
                        {QStringLiteral("cpuID"), info.cpuID}});
}

QString boardInfoText(const BoardInfo &info)
{
    return compactJson({{QStringLiteral("board_name"), info.board_name},
                        {QStringLiteral("board_serial"), info.board_serial},
                        {QStringLiteral("board_vendor"), info.board_vendor},
                        {QStringLiteral("board_version"), info.board_version},
                        {QStringLiteral("board_uuid"), info.board_uuid}});
}

QString gpuInfoText(const GpuInfo &info)
{
    return compactJson({{QStringLiteral("name"), info.name},
                        {QStringLiteral("manufacturers"), info.manufacturers},
                        {QStringLiteral("model"), info.model},
                        {QStringLiteral("version"), info.version},
                        {QStringLiteral("gpuMemorySize"), info.gpuMemorySize},
                        {QStringLiteral("bitWidth"), info.bitWidth},
                        {QStringLiteral("frequency"), info.frequency}});
}

QJsonObject objectOf(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

} // namespace

SystemInfoStorer *SystemInfoStorer::instance()
{
    return AppStore::LazySingleton<SystemInfoStorer>::instance();
}

SystemInfoStorer::SystemInfoStorer()
    : QObject(nullptr)
{
    connect(this, &SystemInfoStorer::getCpuAndBoardInfoFinished, this,
            &SystemInfoStorer::slotUpdateHardwareJsonFile, Qt::DirectConnection);
}

SystemInfoStorer::~SystemInfoStorer()
{
    if (m_thread) {
        m_thread->deleteLater();
    }
}

void SystemInfoStorer::startThread()
{
    if (m_thread) {
        return;
    }
    m_thread = AppStore::startWorkerThread(this, "SystemInfoStorer");
}

void SystemInfoStorer::stopThread()
{
    AppStore::stopWorkerThread(m_thread);
}

QStringList SystemInfoStorer::cachedList()
{
    QMutexLocker locker(&m_cacheMutex);
    return m_cpuAndBoardInfoList;
}

QStringList SystemInfoStorer::getCpuAndBoardInfo()
{
    const QStringList list = cachedList();
    if (list.isEmpty()) {
        QMetaObject::invokeMethod(this, "onGetCpuAndBoardInfo", Qt::QueuedConnection);
        return {};
    }
    Q_EMIT getCpuAndBoardInfoFinished(list);
    return list;
}

int SystemInfoStorer::isQSMotherBoardKnown()
{
    QMutexLocker locker(&m_cacheMutex);
    return m_isQSMotherBoard;
}

int SystemInfoStorer::getIsQSMotherBoard()
{
    int value = 0;
    {
        QMutexLocker locker(&m_cacheMutex);
        value = m_isQSMotherBoard;
    }
    if (value == 0) {
        QMetaObject::invokeMethod(this, "onGetIsQSMotherBoard", Qt::QueuedConnection);
        return 0;
    }
    Q_EMIT getIsQSMotherBoardFinished(value);
    return value;
}

void SystemInfoStorer::onGetCpuAndBoardInfo()
{
    AbstractTask guard;
    // Runs queued while the cache was still empty find it filled by the first
    // one: they answer from it rather than run the tools again and grow the
    // list past the four texts the client reads.
    QStringList list = cachedList();
    if (list.isEmpty()) {
        const CpuInfo cpuInfo = AppStore::Utils::getCpuInfo();
        const BoardInfo boardInfo = AppStore::Utils::getBoardInfo();
        const GpuInfo gpuInfo = AppStore::Utils::getGpuInfo();
        const QString hardDriveSN = AppStore::Utils::getHardDriveSN();
        list = QStringList{cpuInfoText(cpuInfo), boardInfoText(boardInfo), gpuInfoText(gpuInfo),
                           hardDriveSN};
        QMutexLocker locker(&m_cacheMutex);
        m_cpuAndBoardInfoList = list;
    }
    Q_EMIT getCpuAndBoardInfoFinished(list);
}

void SystemInfoStorer::onGetIsQSMotherBoard()
{
    AbstractTask guard;
    {
        QMutexLocker locker(&m_cacheMutex);
        m_isQSMotherBoard = 1;
    }
    Q_EMIT getIsQSMotherBoardFinished(1);
}

void SystemInfoStorer::slotUpdateHardwareJsonFile(const QStringList &resList)
{
    QMutexLocker locker(&m_fileMutex);
    QFile::remove(kFormerHardwareJsonPath);

    const QString path = hardwareJsonPath();
    if (QFile::exists(path)) {
        qCDebug(daemonLogCategory) << Q_FUNC_INFO << "File existed, skip update.";
        return;
    }
    // Written whole or not at all: a torn file would count as present and
    // never be rewritten.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        qCWarning(daemonLogCategory) << Q_FUNC_INFO << "File open failed!" << file.errorString();
        return;
    }
    // Board serial, product uuid and drive serial are root-only facts.
    if (::fchmod(file.handle(), S_IRUSR | S_IWUSR) != 0) {
        qCWarning(daemonLogCategory) << Q_FUNC_INFO << "cannot restrict access to" << path;
        file.cancelWriting();
        return;
    }

    const QJsonObject object{
        {QStringLiteral("cpuInfo"), objectOf(resList.value(0))},
        {QStringLiteral("boardInfo"), objectOf(resList.value(1))},
        {QStringLiteral("gpuInfo"), objectOf(resList.value(2))},
        {QStringLiteral("hardDriveSN"), resList.value(3)},
    };
    file.write(QJsonDocument(object).toJson(QJsonDocument::Compact));
    if (!file.commit()) {
        qCWarning(daemonLogCategory)
            << Q_FUNC_INFO << "File write failed!" << path << file.errorString();
    }
}
