#include "bdesktopentry.h"

#include <QFile>
#include <QLocale>
#include <QSaveFile>

#include <sys/stat.h>
#include <unistd.h>

namespace Bexa::Core {

namespace {

bool isWritableKey(const QString &key)
{
    return !key.isEmpty() && key == key.trimmed() && !key.contains(QLatin1Char('=')) &&
           !key.contains(QLatin1Char('\n')) && !key.contains(QLatin1Char('\r')) &&
           !key.startsWith(QLatin1Char('[')) && !key.startsWith(QLatin1Char('#'));
}

bool isWritableGroup(const QString &group)
{
    return !group.isEmpty() && !group.contains(QLatin1Char('[')) &&
           !group.contains(QLatin1Char(']')) && !group.contains(QLatin1Char('\n')) &&
           !group.contains(QLatin1Char('\r'));
}

// Locale suffixes to try, most specific first: lang_COUNTRY@MODIFIER,
// lang_COUNTRY, lang@MODIFIER, lang. An encoding part is ignored.
QStringList localeCandidates(QString locale)
{
    QString modifier;
    const int at = locale.indexOf(QLatin1Char('@'));
    if (at >= 0) {
        modifier = locale.mid(at + 1);
        locale.truncate(at);
    }
    const int dot = locale.indexOf(QLatin1Char('.'));
    if (dot >= 0)
        locale.truncate(dot);
    QString lang = locale;
    QString country;
    const int underscore = locale.indexOf(QLatin1Char('_'));
    if (underscore >= 0) {
        lang = locale.left(underscore);
        country = locale.mid(underscore + 1);
    }
    QStringList candidates;
    if (lang.isEmpty())
        return candidates;
    if (!country.isEmpty() && !modifier.isEmpty())
        candidates << lang + QLatin1Char('_') + country + QLatin1Char('@') + modifier;
    if (!country.isEmpty())
        candidates << lang + QLatin1Char('_') + country;
    if (!modifier.isEmpty())
        candidates << lang + QLatin1Char('@') + modifier;
    candidates << lang;
    return candidates;
}

} // namespace

BDesktopEntry::BDesktopEntry(const QString &filePath)
    : m_filePath(filePath)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        m_status = AccessError;
        return;
    }
    const QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        m_status = AccessError;
        return;
    }
    parse(QString::fromUtf8(content));
}

void BDesktopEntry::parse(const QString &content)
{
    QStringList rawLines = content.split(QLatin1Char('\n'));
    m_finalNewline = rawLines.constLast().isEmpty();
    if (m_finalNewline)
        rawLines.removeLast();

    QString group;
    for (const QString &raw : std::as_const(rawLines)) {
        // Read without the "\r" of a CRLF ending, written back with it.
        const QString text = raw.endsWith(QLatin1Char('\r')) ? raw.chopped(1) : raw;
        const QString trimmed = text.trimmed();
        Line line;
        line.text = raw;
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#'))) {
            line.kind = Line::Other;
        } else if (trimmed.startsWith(QLatin1Char('['))) {
            const QString name = trimmed.mid(1, trimmed.size() - 2);
            if (!trimmed.endsWith(QLatin1Char(']')) || !isWritableGroup(name)) {
                m_status = FormatError;
                m_lines.clear();
                return;
            }
            group = name;
            line.kind = Line::Group;
            line.group = name;
        } else {
            const int eq = text.indexOf(QLatin1Char('='));
            const QString key = eq > 0 ? text.left(eq).trimmed() : QString();
            if (key.isEmpty() || group.isEmpty()) {
                m_status = FormatError;
                m_lines.clear();
                return;
            }
            QString value = text.mid(eq + 1);
            int start = 0;
            while (start < value.size() &&
                   (value[start] == QLatin1Char(' ') || value[start] == QLatin1Char('\t')))
                ++start;
            line.kind = Line::Entry;
            line.group = group;
            line.key = key;
            line.value = value.mid(start);
        }
        m_lines.append(line);
    }
}

BDesktopEntry::Status BDesktopEntry::status() const
{
    return m_status;
}

QStringList BDesktopEntry::allGroups() const
{
    QStringList groups;
    for (const Line &line : m_lines) {
        if (line.kind == Line::Group && !groups.contains(line.group))
            groups.append(line.group);
    }
    return groups;
}

QStringList BDesktopEntry::keys(const QString &section) const
{
    QStringList result;
    for (const Line &line : m_lines) {
        if (line.kind == Line::Entry && line.group == section && !result.contains(line.key))
            result.append(line.key);
    }
    return result;
}

int BDesktopEntry::findEntry(const QString &key, const QString &section) const
{
    for (int i = 0; i < m_lines.size(); ++i) {
        const Line &line = m_lines.at(i);
        if (line.kind == Line::Entry && line.group == section && line.key == key)
            return i;
    }
    return -1;
}

bool BDesktopEntry::contains(const QString &key, const QString &section) const
{
    return findEntry(key, section) >= 0;
}

QString BDesktopEntry::stringValue(const QString &key, const QString &section,
                                   const QString &defaultValue) const
{
    const int index = findEntry(key, section);
    return index < 0 ? defaultValue : m_lines.at(index).value;
}

QString BDesktopEntry::localizedValue(const QString &key, const QString &localeKey,
                                      const QString &section, const QString &defaultValue) const
{
    const QString locale =
        localeKey == QLatin1String("default") ? QLocale::system().name() : localeKey;
    const QStringList candidates = localeCandidates(locale);
    for (const QString &candidate : candidates) {
        const int index = findEntry(key + QLatin1Char('[') + candidate + QLatin1Char(']'), section);
        if (index >= 0)
            return m_lines.at(index).value;
    }
    return stringValue(key, section, defaultValue);
}

QStringList BDesktopEntry::stringListValue(const QString &key, const QString &section) const
{
    const QString value = stringValue(key, section);
    QStringList items;
    QString current;
    for (int i = 0; i < value.size(); ++i) {
        const QChar ch = value.at(i);
        if (ch == QLatin1Char('\\') && i + 1 < value.size()) {
            // Other escapes stay for the caller; only the separator is undone.
            if (value.at(i + 1) != QLatin1Char(';'))
                current += ch;
            current += value.at(++i);
        } else if (ch == QLatin1Char(';')) {
            items.append(current);
            current.clear();
        } else {
            current += ch;
        }
    }
    if (!current.isEmpty())
        items.append(current);
    return items;
}

int BDesktopEntry::insertionPoint(const QString &section) const
{
    for (int i = m_lines.size() - 1; i >= 0; --i) {
        const Line &line = m_lines.at(i);
        if (line.kind != Line::Other && line.group == section)
            return i + 1;
    }
    return -1;
}

void BDesktopEntry::setStringValue(const QString &value, const QString &key, const QString &section)
{
    if (!isWritableKey(key) || !isWritableGroup(section))
        return;
    QString escaped = value;
    escaped.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    escaped.replace(QLatin1Char('\r'), QLatin1String("\\r"));

    Line entry;
    entry.kind = Line::Entry;
    entry.group = section;
    entry.key = key;
    entry.value = escaped;
    entry.text = key + QLatin1Char('=') + escaped;

    const int existing = findEntry(key, section);
    if (existing >= 0) {
        m_lines[existing] = entry;
        return;
    }
    const int at = insertionPoint(section);
    if (at >= 0) {
        m_lines.insert(at, entry);
        return;
    }
    if (!m_lines.isEmpty() && !m_lines.constLast().text.trimmed().isEmpty())
        m_lines.append(Line());
    Line header;
    header.kind = Line::Group;
    header.group = section;
    header.text = QLatin1Char('[') + section + QLatin1Char(']');
    m_lines.append(header);
    m_lines.append(entry);
}

bool BDesktopEntry::removeEntry(const QString &key, const QString &section)
{
    bool removed = false;
    for (int index = findEntry(key, section); index >= 0; index = findEntry(key, section)) {
        m_lines.removeAt(index);
        removed = true;
    }
    return removed;
}

bool BDesktopEntry::save() const
{
    // Saving what could not be read would wipe the file.
    if (m_status != NoError)
        return false;
    struct stat before;
    const bool existed = ::lstat(QFile::encodeName(m_filePath).constData(), &before) == 0;
    if (existed && S_ISLNK(before.st_mode))
        return false;

    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (existed) {
        struct stat created;
        if (::fstat(file.handle(), &created) == 0 &&
            (created.st_uid != before.st_uid || created.st_gid != before.st_gid)) {
            // Best effort: only root can hand the file back to another owner.
            [[maybe_unused]] const int chowned =
                ::fchown(file.handle(), before.st_uid, before.st_gid);
        }
    }
    QStringList texts;
    for (const Line &line : m_lines)
        texts.append(line.text);
    QString content = texts.join(QLatin1Char('\n'));
    if (!texts.isEmpty() && m_finalNewline)
        content += QLatin1Char('\n');
    if (file.write(content.toUtf8()) < 0)
        return false;
    return file.commit();
}

void BDesktopEntry::unescape(QString &str, bool unescapeSemicolons)
{
    QString out;
    out.reserve(str.size());
    for (int i = 0; i < str.size(); ++i) {
        const QChar ch = str.at(i);
        if (ch != QLatin1Char('\\') || i + 1 == str.size()) {
            out += ch;
            continue;
        }
        const QChar next = str.at(++i);
        switch (next.unicode()) {
        case 's':
            out += QLatin1Char(' ');
            break;
        case 'n':
            out += QLatin1Char('\n');
            break;
        case 't':
            out += QLatin1Char('\t');
            break;
        case 'r':
            out += QLatin1Char('\r');
            break;
        case '\\':
            out += QLatin1Char('\\');
            break;
        case ';':
            if (!unescapeSemicolons)
                out += ch;
            out += next;
            break;
        default:
            out += ch;
            out += next;
            break;
        }
    }
    str = out;
}

void BDesktopEntry::unescapeExec(QString &str)
{
    unescape(str, false);
    QString out;
    out.reserve(str.size());
    bool quoted = false;
    for (int i = 0; i < str.size(); ++i) {
        const QChar ch = str.at(i);
        if (ch == QLatin1Char('"')) {
            quoted = !quoted;
        } else if (quoted && ch == QLatin1Char('\\') && i + 1 < str.size()) {
            const QChar next = str.at(i + 1);
            if (next == QLatin1Char('"') || next == QLatin1Char('`') || next == QLatin1Char('$') ||
                next == QLatin1Char('\\')) {
                out += next;
                ++i;
                continue;
            }
        }
        out += ch;
    }
    str = out;
}

} // namespace Bexa::Core
