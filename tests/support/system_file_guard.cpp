#include "system_file_guard.h"

#include "test_env.h"

#include <QDir>
#include <QFileInfo>

namespace {

bool existsOrDangles(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

} // namespace

SystemFileGuard::SystemFileGuard(const QStringList &absolutePaths)
{
    if (!m_dir.isValid()) {
        fail(QStringLiteral("no room for the backup"));
        return;
    }
    for (const QString &path : absolutePaths) {
        const QString clean = QDir::cleanPath(path);
        if (!QDir::isAbsolutePath(clean) || clean == QLatin1String("/")) {
            fail(QStringLiteral("refusing to guard ") + path);
            return;
        }
        Entry entry{clean, QString()};
        if (existsOrDangles(clean)) {
            entry.backup = m_dir.filePath(QString::number(m_entries.size()));
            if (!copyTree(clean, entry.backup))
                return;
        }
        m_entries.append(entry);
    }
    m_valid = true;
}

SystemFileGuard::~SystemFileGuard()
{
    restore();
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
            ok = copyTree(entry.backup, entry.path) && ok;
    }
    m_restored = ok;
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
