#include "task/debconf_preseed.h"

#include "common/daemon_log.h"
#include "utils/process_runner.h"

#include <sys/stat.h>

namespace AppStore {

DebconfPreseed::DebconfPreseed(const QString &databasePath)
    : m_databasePath(databasePath)
{}

QString DebconfPreseed::defaultDatabasePath()
{
    return QStringLiteral("/var/cache/debconf/config.dat");
}

QByteArray DebconfPreseed::selections()
{
    return QByteArrayLiteral("libpam-runtime libpam-runtime/override boolean false\n"
                             "libc6 libraries/restart-without-asking boolean true\n");
}

bool DebconfPreseed::FileStamp::operator==(const FileStamp &other) const
{
    return exists == other.exists && device == other.device && inode == other.inode &&
           size == other.size && modifiedNs == other.modifiedNs;
}

// debconf saves its database by writing a new file and renaming it over the
// old one: any save changes the inode, most also the time and size.
DebconfPreseed::FileStamp DebconfPreseed::stampOfDatabase() const
{
    FileStamp stamp;
    struct stat info = {};
    if (::stat(m_databasePath.toLocal8Bit().constData(), &info) != 0)
        return stamp;
    stamp.exists = true;
    stamp.device = info.st_dev;
    stamp.inode = info.st_ino;
    stamp.size = info.st_size;
    stamp.modifiedNs = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return stamp;
}

void DebconfPreseed::apply()
{
    QMutexLocker locker(&m_mutex);
    // Unchanged since the answers went in: they are still there.
    if (m_applied && m_stampAfterRun.exists && stampOfDatabase() == m_stampAfterRun)
        return;
    ProcessSpec spec;
    spec.program = QStringLiteral("debconf-set-selections");
    spec.standardInput = selections();
    const ProcessResult result = ProcessRunner::run(spec);
    if (!result.succeeded())
        qCDebug(daemonLogCategory).noquote()
            << "debconf-set-selections failed:" << result.errorText();
    m_applied = result.succeeded();
    m_stampAfterRun = stampOfDatabase();
}

} // namespace AppStore
