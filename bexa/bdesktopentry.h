#pragma once

#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

namespace Bexa::Core {

// A freedesktop.org desktop-entry style file (desktop files, "/etc/os-version").
// The file is read once, at construction. Values are handed out as written in
// the file; the static helpers undo the escapes a caller needs undone. A save
// writes the file back with its comments, blank lines and order kept.
class BDesktopEntry
{
    Q_GADGET
public:
    enum Status { NoError = 0, AccessError = 1, FormatError = 2 };
    Q_ENUM(Status)

    explicit BDesktopEntry(const QString &filePath);

    Status status() const;
    QStringList allGroups() const;
    QStringList keys(const QString &section = QStringLiteral("Desktop Entry")) const;
    bool contains(const QString &key,
                  const QString &section = QStringLiteral("Desktop Entry")) const;
    QString stringValue(const QString &key,
                        const QString &section = QStringLiteral("Desktop Entry"),
                        const QString &defaultValue = QString()) const;
    // localeKey is a locale name such as "de_DE@euro"; "default" stands for
    // the system locale, an empty one for the unlocalised key alone.
    QString localizedValue(const QString &key, const QString &localeKey = QStringLiteral("default"),
                           const QString &section = QStringLiteral("Desktop Entry"),
                           const QString &defaultValue = QString()) const;
    QStringList stringListValue(const QString &key,
                                const QString &section = QStringLiteral("Desktop Entry")) const;

    // Stores the value as given (line breaks escaped); adds the key and the
    // group when missing. Keys and groups that cannot be written are ignored.
    void setStringValue(const QString &value, const QString &key,
                        const QString &section = QStringLiteral("Desktop Entry"));
    bool removeEntry(const QString &key, const QString &section = QStringLiteral("Desktop Entry"));
    // Replaces the file atomically, keeping its mode and owner. Refused for a
    // file that was not read cleanly and for a symbolic link.
    bool save() const;

    // Undoes \s \n \t \r \\ and, when asked, \; ; other escapes stay as they are.
    static void unescape(QString &str, bool unescapeSemicolons = false);
    // Undoes the string escapes, then the backslash escapes of " ` $ \ inside
    // double-quoted arguments of an Exec value. The quotes themselves stay.
    static void unescapeExec(QString &str);

private:
    struct Line
    {
        enum Kind { Other, Group, Entry };
        Kind kind = Other;
        QString text; // written back as is, so untouched lines keep their form
        QString group;
        QString key;
        QString value;
    };

    void parse(const QString &content);
    int findEntry(const QString &key, const QString &section) const;
    int insertionPoint(const QString &section) const;

    QString m_filePath;
    Status m_status = NoError;
    bool m_finalNewline = true; // whether the file read ended its last line
    QList<Line> m_lines;
};

} // namespace Bexa::Core
