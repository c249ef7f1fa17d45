#pragma once

#include <QMutex>
#include <QString>

#include <sys/types.h>

namespace AppStore {

// The two debconf answers every install gives before apt-get runs: keep the
// PAM configuration as it is, and restart services after a C library upgrade
// without asking. Both go to debconf in one "debconf-set-selections" run (a
// perl start each costs more than the rest of it). One object may serve
// several threads: a run in progress holds the others back, which then find
// the answers given.
class DebconfPreseed
{
public:
    // databasePath: the debconf database file that the run writes; watched
    // so that a retry does not run the tool again for nothing.
    explicit DebconfPreseed(const QString &databasePath = defaultDatabasePath());

    static QString defaultDatabasePath();
    // The answers, one selection a line, as the tool reads them.
    static QByteArray selections();

    // Gives the answers unless this object gave them before and the database
    // file has not been written since. The tool's result is not judged: a
    // failed run leaves the answers to the package's own defaults, as before.
    void apply();

private:
    struct FileStamp
    {
        bool exists = false;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        qint64 modifiedNs = 0;

        bool operator==(const FileStamp &other) const;
    };

    FileStamp stampOfDatabase() const;

    QMutex m_mutex;
    QString m_databasePath;
    bool m_applied = false;
    FileStamp m_stampAfterRun;
};

} // namespace AppStore
