#include "wine_autostart_watcher.h"

#include "common/daemon_log.h"
#include "database/appstoredb.h"
#include "task/abstract_task.h"
#include "utils/bus_argument_checks.h"
#include "utils/worker_thread.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QMutexLocker>
#include <QSaveFile>
#include <QThread>
#include <QTimer>

namespace {

const QString kAutoStartFile = QStringLiteral("autostart");
const QString kAutoStartAllFile = QStringLiteral("autostart.all");
constexpr int kSettleMs = 100;

QString &toolsDirSetting()
{
    static QString dir = QStringLiteral("/opt/velkorwine/tools/");
    return dir;
}

bool samePath(const QString &lhs, const QString &rhs)
{
    return QDir::cleanPath(lhs) == QDir::cleanPath(rhs);
}

// Trimmed lines, empty ones and repeats left out, in file order; empty when
// the file is missing or unreadable.
QStringList readNames(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QStringList names;
    while (!file.atEnd()) {
        const QString name = QString::fromUtf8(file.readLine()).trimmed();
        if (!name.isEmpty() && !names.contains(name))
            names.append(name);
    }
    return names;
}

void appendMissing(QStringList &list, const QStringList &names)
{
    for (const QString &name : names) {
        if (!list.contains(name))
            list.append(name);
    }
}

} // namespace

WineAutoStartWatcher *WineAutoStartWatcher::instance()
{
    return AppStore::LazySingleton<WineAutoStartWatcher>::instance();
}

QString WineAutoStartWatcher::toolsDir()
{
    return toolsDirSetting();
}

void WineAutoStartWatcher::setToolsDir(const QString &dir)
{
    toolsDirSetting() = dir.endsWith(QLatin1Char('/')) ? dir : dir + QLatin1Char('/');
}

WineAutoStartWatcher::WineAutoStartWatcher()
    : QObject(nullptr)
    , dir(toolsDir())
{
    start();
}

WineAutoStartWatcher::~WineAutoStartWatcher()
{
    if (thread)
        thread->deleteLater();
    thread = nullptr;
}

void WineAutoStartWatcher::start()
{
    if (!thread)
        thread = AppStore::startWorkerThread(this, "WineAutoStart");
    QMetaObject::invokeMethod(this, "init", Qt::QueuedConnection);
}

void WineAutoStartWatcher::stop()
{
    // File events must not reach the object while its thread winds down.
    if (watcher)
        watcher->disconnect();
    AppStore::stopWorkerThread(thread);
}

void WineAutoStartWatcher::getAutoStartPkgs()
{
    QMetaObject::invokeMethod(this, "refreshAutoStartPkgs", Qt::QueuedConnection);
}

void WineAutoStartWatcher::setAutoStartPkg(const QString &packageName, bool operate)
{
    QMetaObject::invokeMethod(this, "changeAutoStartPkg", Qt::QueuedConnection,
                              Q_ARG(QString, packageName), Q_ARG(bool, operate));
}

void WineAutoStartWatcher::init()
{
    if (!settle) {
        settle = new QTimer(this);
        settle->setSingleShot(true);
        settle->setInterval(kSettleMs);
        connect(settle, &QTimer::timeout, this, [this] {
            // A file created or replaced in the folder is watched again.
            setWatchPaths();
            initAutoStartPkgs(false);
        });
    }
    setWatchPaths();
    connect(watcher, &QFileSystemWatcher::fileChanged, this, &WineAutoStartWatcher::slotFileChanged,
            static_cast<Qt::ConnectionType>(Qt::DirectConnection | Qt::UniqueConnection));
    connect(watcher, &QFileSystemWatcher::directoryChanged, this,
            &WineAutoStartWatcher::slotDirectoryChanged,
            static_cast<Qt::ConnectionType>(Qt::DirectConnection | Qt::UniqueConnection));
    initAutoStartPkgs(true);
}

// One edit comes as several file and folder events, a truncation and a write
// among them: the files are read once they have been quiet for a moment.
void WineAutoStartWatcher::slotFileChanged(const QString &path)
{
    if (samePath(path, dir + kAutoStartFile))
        settle->start();
}

void WineAutoStartWatcher::slotDirectoryChanged(const QString &path)
{
    if (samePath(path, dir))
        settle->start();
}

void WineAutoStartWatcher::refreshAutoStartPkgs()
{
    AbstractTask busy;
    setWatchPaths();
    initAutoStartPkgs(true);
}

void WineAutoStartWatcher::setWatchPaths()
{
    if (!watcher)
        watcher = new QFileSystemWatcher(this);
    const QStringList watched = watcher->files() + watcher->directories();
    for (const QString &path : QStringList{dir + kAutoStartFile, dir + kAutoStartAllFile, dir}) {
        // Paths that do not exist are not watched; those watched already
        // would only draw a warning of Qt's own.
        if (QFileInfo::exists(path) && !watched.contains(path))
            watcher->addPath(path);
    }
}

QStringList WineAutoStartWatcher::getInstalledWinePkgNames()
{
    QList<QStringList> columns;
    AppstoreDb::instance()->seleteRecords({QStringLiteral("package_name")},
                                          {{QStringLiteral("package_mode"), QStringLiteral("1")}},
                                          columns, QStringLiteral("LocalOnTheShelvesAPP"));
    if (columns.isEmpty() || columns.first().isEmpty()) {
        qCDebug(daemonLogCategory) << "find LocalOnTheShelvesAPP package_mode = 1: not found";
        return {};
    }
    QStringList names;
    for (const QString &name : columns.first()) {
        // One name a line: a name that would break a line never goes in.
        if (!name.isEmpty() && AppStore::BusArgumentChecks::isPlainText(name, 256))
            names.append(name);
    }
    return names;
}

// File events follow our own writes as well: for them only a list that
// differs from the last one is told.
void WineAutoStartWatcher::initAutoStartPkgs(bool always)
{
    QMutexLocker locker(&mutex);
    QStringList current;
    const QStringList installed = getInstalledWinePkgNames();
    if (QFileInfo::exists(dir + kAutoStartAllFile)) {
        appendMissing(current, installed);
    } else {
        for (const QString &name : readNames(dir + kAutoStartFile)) {
            // A name the store did not install as a wine application is
            // never reported, even when the file names it.
            if (installed.contains(name))
                current.append(name);
        }
    }
    if (!always && current == autoStartPkgs)
        return;
    autoStartPkgs = current;
    qCDebug(daemonLogCategory) << "wine autostart packages:" << autoStartPkgs;
    Q_EMIT sigWineAutoStartPkgsChanged(autoStartPkgs);
}

void WineAutoStartWatcher::changeAutoStartPkg(const QString &packageName, bool operate)
{
    AbstractTask busy;
    {
        QMutexLocker locker(&mutex);
        const QStringList installed = getInstalledWinePkgNames();
        if (installed.contains(packageName)) {
            writeAutoStartChange(installed, packageName, operate);
        } else {
            qCWarning(daemonLogCategory)
                << Q_FUNC_INFO << packageName << "is not an installed wine application";
        }
    }
    // The replaced file is watched again; the client learns the outcome in
    // every case.
    setWatchPaths();
    initAutoStartPkgs(true);
}

bool WineAutoStartWatcher::writeAutoStartChange(const QStringList &installed,
                                                const QString &packageName, bool operate)
{
    const QString path = dir + kAutoStartFile;
    const QString allPath = dir + kAutoStartAllFile;
    const bool allMode = QFileInfo::exists(allPath);
    QStringList names = readNames(path);
    // The "all" state is carried into the list before the all-file goes,
    // so no application that started through it is lost.
    if (allMode)
        appendMissing(names, installed);
    const QStringList before = names;
    if (operate)
        appendMissing(names, {packageName});
    else
        names.removeAll(packageName);
    if (names == before && !allMode) {
        qCDebug(daemonLogCategory) << path << "not changed";
        return false;
    }
    // Written aside and renamed: readers see the old list or the new one.
    // The renamed file is a new inode; the old one's watch goes first, so
    // that its late removal event cannot cancel the watch set afterwards.
    watcher->removePath(path);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text) ||
        file.write(names.join(QLatin1Char('\n')).toUtf8()) < 0 || !file.commit()) {
        qCWarning(daemonLogCategory) << path << "write failed";
        return false;
    }
    if (allMode && !QFile::remove(allPath))
        qCWarning(daemonLogCategory) << allPath << "remove failed";
    return true;
}
