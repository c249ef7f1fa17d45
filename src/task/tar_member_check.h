#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QStringList>

namespace AppStore {

// Decides from tar's own listing of a bundle whether unpacking it as root can
// only create plain files, directories and links that stay inside the folder
// it is unpacked into, and whether the bundle holds its install script.
//
// The listing is the one of
//   LC_ALL=C tar --list --verbose --full-time --quoting-style=escape --numeric-owner
//       --absolute-names --file <bundle>
// which shows every member name and link target exactly as stored (tar would
// otherwise strip leading "/" and "../" in the listing and hide them). The
// same program lists and unpacks, so both read the headers alike.
class TarMemberCheck
{
public:
    static QStringList listArguments(const QString &bundle);

    // true when every member is acceptable; otherwise reason says why not.
    static bool accepts(const QByteArray &listing, const QString &scriptName, QString *reason);

private:
    struct Member
    {
        char type = 0;
        QStringList path; // components, without "." and empty ones
        QString target;   // a link's target as stored
    };

    static bool parseLine(const QByteArray &line, qsizetype &dateWidth, Member &member,
                          QString &reason);
    static bool splitLink(const QString &text, const QString &separator, QString &name,
                          QString &target);
    static bool unescape(const QByteArray &text, QString &decoded);
    static bool relativeComponents(const QString &path, QStringList &components);
    static bool checkMember(const Member &member, const QSet<QString> &symlinks, QString &reason);
    static bool symlinkStaysInside(const Member &link, const QSet<QString> &symlinks);
    static bool passesThroughSymlink(const QStringList &path, const QSet<QString> &symlinks);
};

} // namespace AppStore
