#include "task/unpacked_tree_check.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

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

} // namespace

bool UnpackedTreeCheck::linksStayInside(const QString &root, QString *reason)
{
    const QString top = QFileInfo(root).canonicalFilePath();
    if (top.isEmpty()) {
        *reason = QStringLiteral("no unpacked folder ") + root;
        return false;
    }
    // Links are listed, never followed: a link to a folder is checked as a
    // link, and nothing outside the tree is walked.
    QDirIterator it(top, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!it.fileInfo().isSymLink())
            continue;
        const QString end = resolved(path);
        if (end != top && !end.startsWith(top + QLatin1Char('/'))) {
            *reason = QStringLiteral("symbolic link leaving the folder: ") + path;
            return false;
        }
    }
    return true;
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
