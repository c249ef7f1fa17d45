#include "cachedatabase.h"

#include "apt_utils/aptcache.h"
#include "common/daemon_log.h"
#include "task/abstract_task.h"
#include "utils/folder_trust.h"
#include "utils/worker_thread.h"

#include <QFileInfo>
#include <QMutexLocker>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QVariantList>

#include <functional>

namespace {

const QString FULL_BUILD_CONNECTION = QStringLiteral("CACHE_DATABASE");
const QString ONE_PACKAGE_CONNECTION = QStringLiteral("CACHE_DATABASE1");

const QString CREATE_TABLE =
    QStringLiteral("CREATE TABLE IF NOT EXISTS package_binary_file "
                   "(binaryPath varchar(260) primary key, packageName varchar(40))");
// The first package stored for a path keeps it, and a rebuild adds the paths
// a package gained since without tripping over those already indexed.
const QString INSERT_ROW =
    QStringLiteral("INSERT OR IGNORE INTO package_binary_file(binaryPath,packageName) VALUES(?,?)");

// Readers of other programs hold the file's lock now and then; a write waits
// for them rather than failing.
const QString BUSY_TIMEOUT_OPTION = QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000");

QMutex s_pathMutex;

QString &configuredPath()
{
    static QString path = QStringLiteral("/var/lib/velkor-app-store/cache.db");
    return path;
}

// Other programs read the file from a folder that is not the daemon's: a
// rollback journal leaves no side files behind for them to trip over, and
// a full sync keeps every committed package on disk.
QString configure(QSqlDatabase &db)
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("PRAGMA journal_mode=DELETE")) || !query.next()) {
        return query.lastError().text();
    }
    if (query.value(0).toString().compare(QLatin1String("delete"), Qt::CaseInsensitive) != 0) {
        return QStringLiteral("journal mode stays ") + query.value(0).toString();
    }
    if (!query.exec(QStringLiteral("PRAGMA synchronous=FULL"))) {
        return query.lastError().text();
    }
    return QString();
}

// Opens the index under the connection name, runs work on it and removes the
// connection again, all on the calling thread.
void withCacheConnection(const QString &name, const std::function<void(QSqlDatabase &)> &work)
{
    {
        const QString path = CacheDatabase::databasePath();
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.setConnectOptions(BUSY_TIMEOUT_OPTION);
        QString error;
        // Other programs read the file, so it keeps its mode; but root writes
        // it by name, in a folder no one else may change. A missing folder
        // fails the open below.
        const QString folder = QFileInfo(path).absolutePath();
        if (QFileInfo::exists(folder) && !AppStore::FolderTrust::isRootsOwn(folder)) {
            error = QStringLiteral("its folder is not root's alone: ") + folder;
        } else if (!db.open()) {
            error = db.lastError().text();
        } else {
            error = configure(db);
        }
        if (error.isEmpty()) {
            work(db);
        } else {
            qCWarning(daemonLogCategory).noquote()
                << Q_FUNC_INFO << "Cache database open failed:" << error;
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

bool createTable(QSqlDatabase &db)
{
    QSqlQuery query(db);
    if (query.exec(CREATE_TABLE)) {
        return true;
    }
    qCWarning(daemonLogCategory).noquote()
        << Q_FUNC_INFO << "Cache database createTable failed:" << query.lastError().text();
    return false;
}

bool runBatch(QSqlDatabase &db, const QString &package, const QStringList &files, QString &error)
{
    QSqlQuery query(db);
    if (!query.prepare(INSERT_ROW)) {
        error = query.lastError().text();
        return false;
    }
    QVariantList paths;
    QVariantList owners;
    for (const QString &file : files) {
        paths.append(file);
        owners.append(package);
    }
    query.addBindValue(paths);
    query.addBindValue(owners);
    if (!query.execBatch()) {
        error = query.lastError().text();
        return false;
    }
    return true;
}

// All of the package's rows go in together, or none do.
bool insertPackageFiles(QSqlDatabase &db, const QString &package, const QStringList &files)
{
    if (files.isEmpty()) {
        return true;
    }
    QString error;
    bool done = db.transaction();
    if (!done) {
        error = db.lastError().text();
    } else if (!(done = runBatch(db, package, files, error))) {
        db.rollback();
    } else if (!(done = db.commit())) {
        error = db.lastError().text();
        db.rollback();
    }
    if (!done) {
        qCWarning(daemonLogCategory).noquote()
            << Q_FUNC_INFO << QStringLiteral("Cache database insert %1 failed:").arg(package)
            << error;
    }
    return done;
}

} // namespace

CacheDatabase *CacheDatabase::instance()
{
    return AppStore::LazySingleton<CacheDatabase>::instance();
}

void CacheDatabase::setDatabasePath(const QString &path)
{
    QMutexLocker locker(&s_pathMutex);
    configuredPath() = path;
}

QString CacheDatabase::databasePath()
{
    QMutexLocker locker(&s_pathMutex);
    return configuredPath();
}

CacheDatabase::CacheDatabase()
    : m_thread(new QThread())
{
    m_thread->setObjectName(QStringLiteral("CacheDatabase"));
    moveToThread(m_thread);
}

CacheDatabase::~CacheDatabase()
{
    m_thread->deleteLater();
    m_thread = nullptr;
}

void CacheDatabase::start()
{
    {
        QMutexLocker locker(&m_mutex);
        if (!m_threadLaunched) {
            m_threadLaunched = true;
            m_thread->start();
        }
    }
    QMetaObject::invokeMethod(this, "OnStartSlot", Qt::QueuedConnection);
}

void CacheDatabase::insertData(const QString &package)
{
    QMetaObject::invokeMethod(this, "OnInsertDataSlot", Qt::QueuedConnection,
                              Q_ARG(QString, package));
}

void CacheDatabase::stop()
{
    {
        // A start() that comes after the quit must not launch a thread that
        // nothing would end.
        QMutexLocker locker(&m_mutex);
        m_threadLaunched = true;
    }
    AppStore::stopWorkerThread(m_thread);
}

bool CacheDatabase::isInitialized()
{
    QMutexLocker locker(&m_mutex);
    return m_initialized;
}

void CacheDatabase::setInitialized(bool initialized)
{
    QMutexLocker locker(&m_mutex);
    m_initialized = initialized;
}

void CacheDatabase::OnStartSlot()
{
    const AbstractTask keepsDaemonAlive;
    if (isInitialized()) {
        qCDebug(daemonLogCategory).noquote()
            << Q_FUNC_INFO << "Cache database has been initialized";
        return;
    }
    qCDebug(daemonLogCategory).noquote() << Q_FUNC_INFO << "Cache database start initializing";

    // A build that did not get every package in is tried again at the next
    // start(); rows already in are kept and not stored twice.
    bool complete = false;
    withCacheConnection(FULL_BUILD_CONNECTION, [&complete](QSqlDatabase &db) {
        if (!createTable(db))
            return;
        bool stopped = false;
        bool inserted = true;
        const bool listed =
            AptCache::forEachPackageBinaryFiles([&](const LocalPackageEntry &entry) {
                // The quit waits for this slot: give way between packages.
                if (QThread::currentThread()->isInterruptionRequested()) {
                    stopped = true;
                    return false;
                }
                inserted =
                    insertPackageFiles(db, entry.packageName, entry.desktopFiles) && inserted;
                return true;
            });
        complete = listed && !stopped && inserted;
    });
    if (complete) {
        setInitialized(true);
        qCDebug(daemonLogCategory).noquote() << Q_FUNC_INFO << "Cache database initialized";
    }
}

void CacheDatabase::OnInsertDataSlot(QString package)
{
    withCacheConnection(ONE_PACKAGE_CONNECTION, [&package](QSqlDatabase &db) {
        QStringList files;
        if (AptCache::getPackageBinaryFiles(package, files)) {
            insertPackageFiles(db, package, files);
        }
    });
}
