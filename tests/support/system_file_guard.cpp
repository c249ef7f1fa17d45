#include "system_file_guard.h"

#include "test_env.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

bool existsOrDangles(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

} // namespace

QString SystemFileGuard::recordsDir()
{
    return qEnvironmentVariable("TWK_GUARD_RECORDS",
                                QStringLiteral("/var/tmp/tarnwick-daemon-test-guards"));
}

SystemFileGuard::SystemFileGuard(const QStringList &absolutePaths)
{
    for (const QString &path : absolutePaths) {
        const QString clean = QDir::cleanPath(path);
        // One path a manifest line.
        if (!QDir::isAbsolutePath(clean) || clean == QLatin1String("/") ||
            clean.contains(QLatin1Char('\n'))) {
            fail(QStringLiteral("refusing to guard ") + path);
            return;
        }
    }
    if (!createRecord())
        return;
    for (const QString &path : absolutePaths) {
        Entry entry{QDir::cleanPath(path), QString()};
        if (existsOrDangles(entry.path)) {
            entry.backup = QString::number(m_entries.size());
            if (!copyTree(entry.path, m_record + u'/' + entry.backup))
                return;
        }
        m_entries.append(entry);
    }
    m_valid = writeManifest();
}

SystemFileGuard::~SystemFileGuard()
{
    restore();
    // Nothing was changed under an invalid guard.
    if (!m_valid)
        removeRecord();
}

// Named by its time of creation, so that the restore of nested records puts
// back the oldest copy last. Made under a hidden name and locked before it
// takes its own, so that the restore never meets a living guard's record
// unlocked; the lock goes with the process.
bool SystemFileGuard::createRecord()
{
    static QAtomicInt sequence;
    const QString root = recordsDir();
    if (!QDir().mkpath(root) ||
        !QFile::setPermissions(root, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        return fail(QStringLiteral("no room for the backup in ") + root);
    const QString name = QStringLiteral("%1-%2-%3")
                             .arg(QDateTime::currentMSecsSinceEpoch(), 13, 10, QLatin1Char('0'))
                             .arg(::getpid())
                             .arg(sequence.fetchAndAddRelaxed(1), 6, 10, QLatin1Char('0'));
    const QString draft = root + QStringLiteral("/.") + name;
    if (!QDir().mkdir(draft))
        return fail(QStringLiteral("cannot create ") + draft);
    m_record = draft;
    m_lockFd = ::open(QFile::encodeName(draft + QStringLiteral("/lock")).constData(),
                      O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_lockFd < 0 || ::flock(m_lockFd, LOCK_EX) != 0)
        return fail(QStringLiteral("cannot lock ") + draft);
    const QString record = root + u'/' + name;
    if (::rename(QFile::encodeName(draft).constData(), QFile::encodeName(record).constData()) != 0)
        return fail(QStringLiteral("cannot name ") + record);
    m_record = record;
    return true;
}

// Written whole before the test changes anything: a record without one is
// only removed.
bool SystemFileGuard::writeManifest()
{
    QSaveFile manifest(m_record + QStringLiteral("/manifest"));
    if (!manifest.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write ") + manifest.fileName());
    for (const Entry &entry : std::as_const(m_entries))
        manifest.write((entry.backup.isEmpty() ? QStringLiteral("-") : entry.backup).toUtf8() +
                       ' ' + QFile::encodeName(entry.path) + '\n');
    if (!manifest.commit())
        return fail(QStringLiteral("cannot write ") + manifest.fileName());
    return true;
}

// Gone before the lock is let go of.
void SystemFileGuard::removeRecord()
{
    if (!m_record.isEmpty()) {
        TestEnv::runTool(QStringLiteral("rm"),
                         {QStringLiteral("-rf"), QStringLiteral("--"), m_record});
        m_record.clear();
    }
    if (m_lockFd >= 0) {
        ::close(m_lockFd);
        m_lockFd = -1;
    }
}

bool SystemFileGuard::restore()
{
    if (!m_valid || m_restored)
        return m_restored;
    bool ok = true;
    for (const Entry &entry : std::as_const(m_entries)) {
        const AppStore::ProcessResult removed = TestEnv::runTool(
            QStringLiteral("rm"), {QStringLiteral("-rf"), QStringLiteral("--"), entry.path});
        if (!removed.succeeded())
            ok = fail(QStringLiteral("cannot remove ") + entry.path + u' ' + removed.errorText());
        else if (!entry.backup.isEmpty())
            ok = copyTree(m_record + u'/' + entry.backup, entry.path) && ok;
    }
    m_restored = ok;
    if (ok)
        removeRecord();
    return ok;
}

bool SystemFileGuard::copyTree(const QString &from, const QString &to)
{
    // cp -a keeps what a Qt copy loses: owners, times, links, extended attributes.
    const AppStore::ProcessResult copied = TestEnv::runTool(
        QStringLiteral("cp"), {QStringLiteral("-a"), QStringLiteral("--no-target-directory"),
                               QStringLiteral("--"), from, to});
    if (!copied.succeeded())
        return fail(QStringLiteral("cannot copy ") + from + QStringLiteral(" to ") + to + u' ' +
                    copied.errorText());
    return true;
}

bool SystemFileGuard::fail(const QString &message)
{
    m_error = message;
    qWarning().noquote() << message;
    return false;
}
