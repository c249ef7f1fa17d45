#include "task/tar_member_check.h"

#include <QList>
#include <QRegularExpression>

#include <algorithm>

namespace AppStore {

namespace {

const QString kSymlinkSeparator = QStringLiteral(" -> ");
const QString kHardLinkSeparator = QStringLiteral(" link to ");

bool isControl(uchar byte)
{
    return byte < 0x20 || byte == 0x7f;
}

QString joined(const QStringList &components)
{
    return components.join(QLatin1Char('/'));
}

// Only the blanks that line the date up with the widest one before it are
// tar's; a blank past them is the name's own.
bool nameAfterDate(const QString &date, const QString &rest, qsizetype &dateWidth, QString &name)
{
    dateWidth = std::max(dateWidth, date.size());
    const qsizetype padding = dateWidth - date.size();
    if (!rest.startsWith(QString(padding, QLatin1Char(' '))))
        return false;
    name = rest.mid(padding);
    return true;
}

} // namespace

QStringList TarMemberCheck::listArguments(const QString &bundle)
{
    return {QStringLiteral("--list"),          QStringLiteral("--verbose"),
            QStringLiteral("--full-time"),     QStringLiteral("--quoting-style=escape"),
            QStringLiteral("--numeric-owner"), QStringLiteral("--absolute-names"),
            QStringLiteral("--file"),          bundle};
}

bool TarMemberCheck::accepts(const QByteArray &listing, const QString &scriptName, QString *reason)
{
    QString why;
    QList<Member> members;
    QSet<QString> symlinks;
    qsizetype dateWidth = 0;
    for (const QByteArray &line : listing.split('\n')) {
        if (line.isEmpty())
            continue;
        Member member;
        if (!parseLine(line, dateWidth, member, why)) {
            *reason = why;
            return false;
        }
        if (member.type == 'l')
            symlinks.insert(joined(member.path));
        members.append(member);
    }
    bool hasScript = false;
    for (const Member &member : std::as_const(members)) {
        if (!checkMember(member, symlinks, why)) {
            *reason = why + QStringLiteral(": ") + joined(member.path);
            return false;
        }
        if (member.path == QStringList{scriptName}) {
            if (member.type != '-') {
                *reason = scriptName + QStringLiteral(" is not a regular file");
                return false;
            }
            hasScript = true;
        }
    }
    if (!hasScript)
        *reason = QStringLiteral("no ") + scriptName + QStringLiteral(" at the top level");
    return hasScript;
}

// A line is: type and mode, uid/gid, size (or device numbers), date and time
// to the second with the fraction an archive may store, then the name; a
// link adds its target. tar pads each date with blanks to the widest one
// printed so far and puts one blank before the name, so the name starts at
// a column known from the lines before: blanks past it belong to the name.
// A date tar cannot print with a four-digit year refuses the bundle before
// any name is read after it.
bool TarMemberCheck::parseLine(const QByteArray &line, qsizetype &dateWidth, Member &member,
                               QString &reason)
{
    static const QRegularExpression pattern(
        QStringLiteral("^(.)\\S{9} \\d+/\\d+ +\\d+(?:,\\d+)? "
                       "(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d(?:\\.\\d{1,9})?) (.*)$"),
        QRegularExpression::DotMatchesEverythingOption);
    // Latin-1 keeps one character per byte, so nothing is merged or lost.
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(line));
    QString name;
    if (!match.hasMatch() ||
        !nameAfterDate(match.captured(2), match.captured(3), dateWidth, name)) {
        reason = QStringLiteral("unreadable listing line ") + QString::fromLatin1(line.left(200));
        return false;
    }
    member.type = match.captured(1).at(0).toLatin1();
    QString target;
    if (member.type == 'l' && !splitLink(name, kSymlinkSeparator, name, target)) {
        reason = QStringLiteral("ambiguous symbolic link ") + name;
        return false;
    }
    if (member.type == 'h' && !splitLink(name, kHardLinkSeparator, name, target)) {
        reason = QStringLiteral("ambiguous hard link ") + name;
        return false;
    }
    if (!unescape(name.toLatin1(), name) || !unescape(target.toLatin1(), member.target)) {
        reason = QStringLiteral("control character in member ") + name;
        return false;
    }
    if (!relativeComponents(name, member.path)) {
        reason = QStringLiteral("member outside the folder: ") + name;
        return false;
    }
    return true;
}

bool TarMemberCheck::splitLink(const QString &text, const QString &separator, QString &name,
                               QString &target)
{
    if (text.count(separator) != 1)
        return false;
    const qsizetype at = text.indexOf(separator);
    target = text.mid(at + separator.size());
    name = text.left(at);
    return true;
}

// Undoes tar's escape quoting. Any control character, escaped or not, and any
// escape tar does not produce, refuses the name.
bool TarMemberCheck::unescape(const QByteArray &text, QString &decoded)
{
    QByteArray bytes;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        if (c != '\\') {
            if (isControl(uchar(c)))
                return false;
            bytes.append(c);
            continue;
        }
        if (i + 1 < text.size() && text.at(i + 1) == '\\') {
            bytes.append('\\');
            ++i;
            continue;
        }
        const QByteArray octal = text.mid(i + 1, 3);
        const bool digits =
            octal.size() == 3 &&
            std::all_of(octal.begin(), octal.end(), [](char d) { return d >= '0' && d <= '7'; });
        const int value = digits ? octal.toInt(nullptr, 8) : -1;
        if (value < 0 || value > 0xff || isControl(uchar(value)))
            return false;
        bytes.append(char(value));
        i += 3;
    }
    decoded = QString::fromLatin1(bytes);
    return true;
}

// The components of a relative path without "." or empty ones; false for an
// absolute path or one with a ".." component.
bool TarMemberCheck::relativeComponents(const QString &path, QStringList &components)
{
    if (path.startsWith(QLatin1Char('/')))
        return false;
    components.clear();
    for (const QString &part : path.split(QLatin1Char('/'))) {
        if (part.isEmpty() || part == QLatin1String("."))
            continue;
        if (part == QLatin1String(".."))
            return false;
        components.append(part);
    }
    return true;
}

bool TarMemberCheck::checkMember(const Member &member, const QSet<QString> &symlinks,
                                 QString &reason)
{
    if (passesThroughSymlink(member.path, symlinks)) {
        reason = QStringLiteral("member below a symbolic link");
        return false;
    }
    switch (member.type) {
    case '-':
        break;
    case 'd':
        return true;
    case 'l':
        if (!symlinkStaysInside(member, symlinks)) {
            reason = QStringLiteral("symbolic link pointing out");
            return false;
        }
        break;
    case 'h': {
        QStringList target;
        // A hard link to a symbolic link is a second symbolic link with the
        // same target text, read from another folder.
        if (!relativeComponents(member.target, target) || target.isEmpty() ||
            passesThroughSymlink(target, symlinks) || symlinks.contains(joined(target))) {
            reason = QStringLiteral("hard link pointing out");
            return false;
        }
        break;
    }
    default:
        reason = QStringLiteral("device, FIFO or other special member");
        return false;
    }
    // Only the folder itself may be named by an empty path.
    if (member.path.isEmpty()) {
        reason = QStringLiteral("the folder itself as a non-directory");
        return false;
    }
    return true;
}

// Resolved from the link's folder without ever leaving the unpack folder.
// Another link of the bundle may be the last component, never an inner one:
// "a/.." after a link "a" leaves for wherever "a" points.
bool TarMemberCheck::symlinkStaysInside(const Member &link, const QSet<QString> &symlinks)
{
    if (link.target.isEmpty() || link.target.startsWith(QLatin1Char('/')))
        return false;
    QStringList resolved = link.path.mid(0, link.path.size() - 1);
    const QStringList parts = link.target.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString &part = parts.at(i);
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (resolved.isEmpty())
                return false;
            resolved.removeLast();
        } else {
            resolved.append(part);
        }
        const bool inner = i + 1 < parts.size();
        if (inner && symlinks.contains(joined(resolved)))
            return false;
    }
    return true;
}

bool TarMemberCheck::passesThroughSymlink(const QStringList &path, const QSet<QString> &symlinks)
{
    for (qsizetype length = 1; length < path.size(); ++length) {
        if (symlinks.contains(joined(path.mid(0, length))))
            return true;
    }
    return false;
}

} // namespace AppStore
