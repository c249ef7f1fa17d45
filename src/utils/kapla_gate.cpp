#include "kapla_gate.h"

#include "apt_utils/aptcache.h"
#include "common/daemon_log.h"
#include "common/json_value_reader.h"
#include "utils/utils.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaProperty>
#include <QMutex>
#include <QMutexLocker>
#include <QThreadPool>
#include <QVariantMap>
#include <QWaitCondition>

#include <atomic>
#include <sys/stat.h>

namespace AppStore {

namespace {

const QString kRuntimePackage = QStringLiteral("kapla-bin");
const QString kMinimumRuntimeVersion = QStringLiteral("1.5");
constexpr int kDebianPackageMode = 1;

// Written by a refresh on whichever thread learns of a runtime change, read
// by everyone else.
std::atomic<bool> s_kaplaSupported{false};

QMutex asideMutex;
QWaitCondition asideDone;
int refreshesAside = 0;
// The refresh's own reads must not wait for it.
thread_local bool refreshingAside = false;

void waitForRefreshAside()
{
    if (refreshingAside)
        return;
    QMutexLocker locker(&asideMutex);
    while (refreshesAside > 0)
        asideDone.wait(&asideMutex);
}

void fillFromMap(QObject &object, const QVariantMap &map)
{
    const QMetaObject *meta = object.metaObject();
    for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        const auto value = map.constFind(QString::fromLatin1(property.name()));
        if (value == map.cend())
            continue;
        QVariant converted = *value;
        if (converted.convert(property.metaType()))
            property.write(&object, converted);
    }
}

} // namespace

bool KaplaGate::isKaplaSupported(bool refresh)
{
    if (!refresh) {
        waitForRefreshAside();
        return s_kaplaSupported.load();
    }
    // Readers see "not supported" while the answer is being renewed.
    s_kaplaSupported.store(false);
    Package_Info info;
    const bool supported =
        AptCache::getLocalPackageInfo(kRuntimePackage, info, kDebianPackageMode) &&
        Utils::compareVersion(info.version, kMinimumRuntimeVersion) >= 0;
    s_kaplaSupported.store(supported);
    return supported;
}

void KaplaGate::refreshAside()
{
    {
        QMutexLocker locker(&asideMutex);
        ++refreshesAside;
    }
    QThreadPool::globalInstance()->start([] {
        refreshingAside = true;
        isKaplaSupported(true);
        refreshingAside = false;
        QMutexLocker locker(&asideMutex);
        if (--refreshesAside == 0)
            asideDone.wakeAll();
    });
}

QString KaplaGate::supportedPackageTypes()
{
    waitForRefreshAside();
    return QString::number(s_kaplaSupported.load() ? 19 : 1, 2);
}

bool KaplaGate::parseKaplaPkgInfoList(const QString &json, kapla::package::AppMetaInfoList &out)
{
    if (json.isEmpty()) {
        qCWarning(daemonLogCategory).noquote()
            << "static bool AppStore::Utils::parseKaplaPkgInfoList(const QString&, "
               "kapla::package::AppMetaInfoList&)"
            << "json is empty, maybe DBus error...";
        return true;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isArray()) {
        qCWarning(daemonLogCategory).noquote()
            << "Parse kapla package info list failed:" << error.errorString();
        return false;
    }
    const QJsonArray items = document.array();
    for (const QJsonValue &item : items) {
        auto info = QSharedPointer<kapla::package::AppMetaInfo>::create();
        fillFromMap(*info, item.toObject().toVariantMap());
        out.append(info);
    }
    return true;
}

qint64 KaplaGate::parseKaplaPkgSizeFromInfoJson(const QString &infoFilePath)
{
    QFile file(infoFilePath);
    if (!file.exists() || !file.open(QIODevice::ReadOnly | QIODevice::Text))
        return 0;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError) {
        qCWarning(daemonLogCategory).noquote()
            << QStringLiteral("Parse %1 failed:").arg(infoFilePath) << error.errorString();
        return 0;
    }
    const QJsonObject object = document.object();
    if (!document.isObject() || !object.contains(QLatin1String("size")))
        return 0;
    return JsonValueReader::toInt64(object.value(QLatin1String("size")));
}

qint64 KaplaGate::directoryTreeSize(const QString &directory)
{
    const QDir dir(directory);
    if (!dir.exists())
        return 0;
    qint64 total = 0;
    const QStringList entries = dir.entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QString &name : entries) {
        const QString path = directory + QLatin1Char('/') + name;
        struct stat info
        {
        };
        if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
            continue;
        // A link into a large tree must not count that tree.
        if (S_ISDIR(info.st_mode))
            total += directoryTreeSize(path);
        else
            total += qint64(info.st_size);
    }
    return total;
}

} // namespace AppStore
