#include "database/sqlite_thread_connections.h"

#include "common/daemon_log.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

#include <atomic>

namespace {

std::atomic<quint64> s_nextOwnerSerial{1};
std::atomic<quint64> s_nextThreadSerial{1};

// The connections the current thread opened; they are removed when the thread
// ends. Thread-local objects of a thread are destroyed before any static
// object, so Qt's connection registry is still there, also for the main thread
// at process exit.
class ThreadConnectionNames
{
public:
    ~ThreadConnectionNames()
    {
        for (const QString &name : std::as_const(names)) {
            QSqlDatabase::removeDatabase(name);
        }
    }

    const quint64 serial = s_nextThreadSerial.fetch_add(1);
    QStringList names;
};

thread_local ThreadConnectionNames t_connections;

// A writer that finds the file locked by another process waits this long.
const QString BUSY_TIMEOUT_OPTION = QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000");

void configure(QSqlDatabase &db)
{
    QSqlQuery query(db);
    for (const QString &pragma :
         {QStringLiteral("PRAGMA journal_mode=WAL"), QStringLiteral("PRAGMA synchronous=FULL")}) {
        if (!query.exec(pragma)) {
            qCWarning(daemonLogCategory).noquote()
                << Q_FUNC_INFO << pragma << "failed:" << query.lastError().text();
        }
    }
}

} // namespace

SqliteThreadConnections::SqliteThreadConnections(const QString &path)
    : m_path(path)
    , m_namePrefix(QStringLiteral("appstoredb-%1-").arg(s_nextOwnerSerial.fetch_add(1)))
{}

SqliteThreadConnections::~SqliteThreadConnections()
{
    // Connections of threads that still run are removed from here; their
    // threads find them gone when they end. Callers end those threads first.
    QMutexLocker locker(&m_namesMutex);
    for (const QString &name : std::as_const(m_names)) {
        QSqlDatabase::removeDatabase(name);
    }
}

QSqlDatabase SqliteThreadConnections::connection()
{
    const QString name = m_namePrefix + QString::number(t_connections.serial);
    if (QSqlDatabase::contains(name)) {
        return QSqlDatabase::database(name, false);
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(m_path);
    db.setConnectOptions(BUSY_TIMEOUT_OPTION);
    t_connections.names.append(name);
    {
        QMutexLocker locker(&m_namesMutex);
        m_names.insert(name);
    }
    if (!db.open()) {
        qCWarning(daemonLogCategory).noquote()
            << Q_FUNC_INFO << "Failed to open search db:" << m_path << db.lastError().text();
        return db;
    }
    configure(db);
    return db;
}
