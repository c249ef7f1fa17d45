#include "desktop_shortcuts.h"

#include "apt_utils/aptcache.h"
#include "common/daemon_log.h"
#include "utils/utils.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace AppStore {

namespace {

constexpr int kKaplaMode = 2;
const QString kKaplaApplications = QStringLiteral("/var/lib/kapla/entries/share/applications");
const QString kApplications = QStringLiteral("/usr/share/applications");

// The user's desktop folder, opened without following links, so that every
// later change happens in the folder that was checked even when the user
// swaps it meanwhile.
class UserDesktop
{
public:
    UserDesktop(const UserDesktop &) = delete;
    UserDesktop &operator=(const UserDesktop &) = delete;
    ~UserDesktop()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    explicit UserDesktop(const QString &login)
    {
        if (!Utils::isPlainLoginName(login) || !Utils::getUserIds(login, m_uid, m_gid)) {
            qCWarning(daemonLogCategory) << "no such user, leaving the desktop alone:" << login;
            return;
        }
        const int homes = ::open("/home", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (homes < 0)
            return;
        const int home = openOwnedFolder(homes, QFile::encodeName(login), login);
        ::close(homes);
        if (home < 0)
            return;
        m_fd = openOwnedFolder(home, "Desktop", login);
        ::close(home);
    }

    bool isOpen() const { return m_fd >= 0; }

    enum class Entry {
        Missing,
        Shortcut, // a symbolic link to the expected target
        Other,    // the user's own file, folder or link: never touched
    };

    Entry entry(const QByteArray &name, const QString &target) const
    {
        struct stat info = {};
        if (fstatat(m_fd, name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT ? Entry::Missing : Entry::Other;
        if (!S_ISLNK(info.st_mode))
            return Entry::Other;
        const QByteArray expected = QFile::encodeName(target);
        QByteArray found(expected.size() + 1, '\0');
        const ssize_t length = readlinkat(m_fd, name.constData(), found.data(), found.size());
        return length == expected.size() && found.left(length) == expected ? Entry::Shortcut
                                                                           : Entry::Other;
    }

    void remove(const QByteArray &name) const { unlinkat(m_fd, name.constData(), 0); }

    void link(const QByteArray &name, const QString &target) const
    {
        if (symlinkat(QFile::encodeName(target).constData(), m_fd, name.constData()) == 0)
            fchownat(m_fd, name.constData(), m_uid, m_gid, AT_SYMLINK_NOFOLLOW);
    }

private:
    int openOwnedFolder(int parent, const QByteArray &name, const QString &login) const
    {
        const int fd =
            openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            // A missing folder just leaves nothing to do.
            if (errno != ENOENT)
                qCWarning(daemonLogCategory)
                    << "not a folder of" << login << "(a link?), leaving it alone:" << name;
            return -1;
        }
        struct stat info = {};
        if (fstat(fd, &info) != 0 || info.st_uid != m_uid) {
            qCWarning(daemonLogCategory)
                << "folder not owned by" << login << ", leaving it alone:" << name;
            ::close(fd);
            return -1;
        }
        return fd;
    }

    int m_fd = -1;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
};

QByteArray shortcutName(const QString &desktopFile)
{
    return QFile::encodeName(QFileInfo(desktopFile).fileName());
}

QString shortcutTarget(const QString &desktopFile, int installMode)
{
    const QString &applications = installMode == kKaplaMode ? kKaplaApplications : kApplications;
    return applications + u'/' + QFileInfo(desktopFile).fileName();
}

// What stands at a shortcut's name may be the user's own: only a link to the
// package's desktop file is ours to renew or remove.
UserDesktop::Entry shortcutAt(const UserDesktop &desktop, const QByteArray &shortcut,
                              const QString &target)
{
    const UserDesktop::Entry found = desktop.entry(shortcut, target);
    if (found == UserDesktop::Entry::Other)
        qCWarning(daemonLogCategory)
            << "not a shortcut to" << target << ", leaving it alone:" << shortcut;
    return found;
}

void keepVisibleOwnEntry(const QString &name, QStringList &desktopFiles)
{
    desktopFiles.removeIf([](const QString &file) { return !Utils::isDesktopNeedToShow(file); });
    const QString ownEntry = name + QStringLiteral(".desktop");
    for (const QString &file : std::as_const(desktopFiles)) {
        if (QFileInfo(file).fileName() == ownEntry) {
            desktopFiles = QStringList{file};
            break;
        }
    }
    AptCache::removeRepeatedDesktops(desktopFiles);
}

} // namespace

void DesktopShortcuts::createShortcuts(const QString &name, const QString &login, bool createNew,
                                       int installMode)
{
    if (login.isEmpty()) {
        qCWarning(daemonLogCategory) << "logname is empty";
        return;
    }
    QStringList desktopFiles;
    if (!AptCache::getPackageDesktopFiles(name, desktopFiles, installMode)) {
        qCWarning(daemonLogCategory) << "getPackageDesktopFiles failed";
        return;
    }
    qCDebug(daemonLogCategory) << name << desktopFiles;
    keepVisibleOwnEntry(name, desktopFiles);
    qCDebug(daemonLogCategory) << "remove hidden/repeated desktops:" << desktopFiles;
    if (desktopFiles.isEmpty())
        return;

    const UserDesktop desktop(login);
    if (!desktop.isOpen())
        return;
    for (const QString &file : std::as_const(desktopFiles)) {
        const QByteArray shortcut = shortcutName(file);
        if (shortcut.isEmpty())
            continue;
        const QString target = shortcutTarget(file, installMode);
        const UserDesktop::Entry found = shortcutAt(desktop, shortcut, target);
        if (found == UserDesktop::Entry::Other ||
            (!createNew && found == UserDesktop::Entry::Missing))
            continue;
        if (found == UserDesktop::Entry::Shortcut)
            desktop.remove(shortcut);
        desktop.link(shortcut, target);
    }
}

void DesktopShortcuts::removeShortcuts(const QString &name, const QString &login, int installMode)
{
    if (login.isEmpty()) {
        qCWarning(daemonLogCategory) << "logname is empty";
        return;
    }
    QStringList desktopFiles;
    if (entriesOfShortcutsToRemove(name, installMode, desktopFiles))
        removeShortcutsTo(desktopFiles, login, installMode);
}

bool DesktopShortcuts::entriesOfShortcutsToRemove(const QString &name, int installMode,
                                                  QStringList &desktopFiles)
{
    if (!AptCache::getPackageDesktopFiles(name, desktopFiles, installMode)) {
        qCWarning(daemonLogCategory) << "getPackageDesktopFiles failed";
        return false;
    }
    if (installMode != kKaplaMode) {
        QStringList kaplaFiles;
        if (!AptCache::getPackageDesktopFiles(name, kaplaFiles, kKaplaMode)) {
            qCWarning(daemonLogCategory) << "getKaplaPkgDesktopFiles failed";
        } else {
            for (const QString &kaplaFile : std::as_const(kaplaFiles)) {
                const QString kept = QFileInfo(kaplaFile).fileName();
                desktopFiles.removeIf(
                    [&](const QString &file) { return QFileInfo(file).fileName() == kept; });
            }
        }
    }
    qCDebug(daemonLogCategory) << name << desktopFiles;
    return true;
}

void DesktopShortcuts::removeShortcutsTo(const QStringList &desktopFiles, const QString &login,
                                         int installMode)
{
    if (login.isEmpty()) {
        qCWarning(daemonLogCategory) << "logname is empty";
        return;
    }
    if (desktopFiles.isEmpty())
        return;
    const UserDesktop desktop(login);
    if (!desktop.isOpen())
        return;
    for (const QString &file : std::as_const(desktopFiles)) {
        const QByteArray shortcut = shortcutName(file);
        if (!shortcut.isEmpty() &&
            shortcutAt(desktop, shortcut, shortcutTarget(file, installMode)) ==
                UserDesktop::Entry::Shortcut)
            desktop.remove(shortcut);
    }
}

} // namespace AppStore
