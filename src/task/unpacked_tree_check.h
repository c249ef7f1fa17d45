#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace AppStore {

// The second look at a bundle, after tar has unpacked it and before its
// script runs as root: every symbolic link in the tree, followed the way the
// kernel follows it (through other links, a missing end allowed), must end
// inside the tree. The listing check decides from tar's words; this one from
// what is on disk, so a listing tar prints in an unexpected form cannot let
// a link out.
class UnpackedTreeCheck
{
public:
    // true when no link leaves root and every name in it is UTF-8 (the rest
    // of the install names files as text); otherwise reason names the first
    // entry that fails.
    static bool linksStayInside(const QString &root, QString *reason);

private:
    // Checks one entry of the walk; a folder goes to folders, to be walked.
    static bool entryStaysInside(const QString &top, const QByteArray &entry,
                                 QList<QByteArray> &folders, QString *reason);
    // Where path ends up once every link on the way is followed, lexically
    // past the first component that does not exist; empty when the links
    // loop.
    static QString resolved(const QString &path);
};

} // namespace AppStore
