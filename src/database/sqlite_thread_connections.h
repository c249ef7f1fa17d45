#pragma once

#include <QMutex>
#include <QSet>
#include <QSqlDatabase>
#include <QString>

// Gives every calling thread its own connection to one SQLite file.
//
// A QSqlDatabase connection belongs to the thread that opened it: Qt refuses
// to hand it to another thread, and its driver object lives there. Since any
// thread of the daemon may write to the store database, each thread gets its
// own named connection, opened on first use and removed when the thread ends
// (or when this object goes away, whichever comes first). The connections
// share the file through SQLite's own locking; the owner of this object still
// serialises its operations so that only one connection works at a time.
//
// The file runs in WAL journal mode with synchronous=FULL: every commit is on
// disk before it returns, so a crash of the process or of the machine keeps
// every committed row, and the daemon writes few rows, so the sync is cheap.
class SqliteThreadConnections
{
public:
    explicit SqliteThreadConnections(const QString &path);
    ~SqliteThreadConnections();
    SqliteThreadConnections(const SqliteThreadConnections &) = delete;
    SqliteThreadConnections &operator=(const SqliteThreadConnections &) = delete;

    QString path() const { return m_path; }

    // The calling thread's connection, opened on its first use. When opening
    // fails the connection stays closed and every statement on it fails.
    QSqlDatabase connection();

private:
    const QString m_path;
    const QString m_namePrefix;
    QMutex m_namesMutex;
    QSet<QString> m_names;
};
