#include "task/unpacked_tree_check.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace AppStore {

namespace {

// As many links as the kernel follows on one path.
constexpr int kMaxLinkHops = 40;

// The link's own text: relative targets must be resolved from the link's
// folder one component at a time, which Qt's resolved target cannot show.
QString readLink(const QString &path)
{
    QByteArray target(4096, '\0');
    const ssize_t length = ::readlink(QFile::encodeName(path).constData(), target.data(),
                                      static_cast<size_t>(target.size()));
    if (length < 0 || length >= target.size())
        return QString();
    target.truncate(length);
    return QFile::decodeName(target);
}

QString parentOf(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash <= 0 ? QStringLiteral("/") : path.left(slash);
}

// The names in folder as the file system holds them. Qt's directory
// iterator leaves out a name it cannot decode, and with a folder so named
// all below it, so the walk reads them itself.
bool readFolder(const QByteArray &folder, QList<QByteArray> &names)
{
    DIR *dir = ::opendir(folder.constData());
    if (!dir)
        return false;
    errno = 0;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names.append(name);
        errno = 0;
    }
    const bool complete = errno == 0;
    ::closedir(dir);
    return complete;
}

} // namespace

bool UnpackedTreeCheck::linksStayInside(const QString &root, QString *reason)
{
    const QString top = QFileInfo(root).canonicalFilePath();
    if (top.isEmpty()) {
        *reason = QStringLiteral("no unpacked folder ") + root;
        return false;
    }
    // One folder is open at a time, however deep the tree.
    QList<QByteArray> folders{QFile::encodeName(top)};
    while (!folders.isEmpty()) {
        const QByteArray folder = folders.takeLast();
        QList<QByteArray> names;
        if (!readFolder(folder, names)) {
            *reason = QStringLiteral("unreadable folder ") + QFile::decodeName(folder);
            return false;
        }
        for (const QByteArray &name : std::as_const(names)) {
            if (!entryStaysInside(top, folder + '/' + name, folders, reason))
                return false;
        }
    }
    return true;
}

// Links are looked at, never followed: a link to a folder is checked as a
// link, and nothing outside the tree is walked.
bool UnpackedTreeCheck::entryStaysInside(const QString &top, const QByteArray &entry,
                                         QList<QByteArray> &folders, QString *reason)
{
    const QString path = QFile::decodeName(entry);
    // Every later step names files as text: a name that does not come back
    // the same would be another file, or none.
    if (QFile::encodeName(path) != entry) {
        *reason = QStringLiteral("a name that is not UTF-8: ") + path;
        return false;
    }
    struct stat status;
    if (::lstat(entry.constData(), &status) != 0) {
        *reason = QStringLiteral("vanished while checked: ") + path;
        return false;
    }
    if (S_ISDIR(status.st_mode))
        folders.append(entry);
    if (!S_ISLNK(status.st_mode))
        return true;
    const QString end = resolved(path);
    if (end == top || end.startsWith(top + QLatin1Char('/')))
        return true;
    *reason = QStringLiteral("symbolic link leaving the folder: ") + path;
    return false;
}

QString UnpackedTreeCheck::resolved(const QString &path)
{
    QString current = parentOf(path);
    QStringList pending{path.mid(current.size() + 1)};
    int hops = 0;
    while (!pending.isEmpty()) {
        const QString part = pending.takeFirst();
        if (part.isEmpty() || part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            current = parentOf(current);
            continue;
        }
        const QString next =
            (current == QLatin1String("/") ? QString() : current) + QLatin1Char('/') + part;
        if (!QFileInfo(next).isSymLink()) {
            current = next;
            continue;
        }
        if (++hops > kMaxLinkHops)
            return QString();
        const QString target = readLink(next);
        if (target.isEmpty())
            return QString();
        if (target.startsWith(QLatin1Char('/')))
            current = QStringLiteral("/");
        pending = target.split(QLatin1Char('/')) + pending;
    }
    return current;
}

} // namespace AppStore
