#include "bsysinfo.h"

#include "bdesktopentry.h"

#include <optional>
#include <QFile>
#include <QHash>

namespace Bexa::Core {

namespace {

const QString versionGroup = QStringLiteral("Version");

QString pathFromEnvironment(const char *variable, const QString &fallback)
{
    const QString path = qEnvironmentVariable(variable);
    return path.isEmpty() ? fallback : path;
}

std::optional<BDesktopEntry> readOsVersion()
{
    BDesktopEntry entry(
        pathFromEnvironment("BEXA_OS_VERSION_FILE", QStringLiteral("/etc/os-version")));
    if (entry.status() != BDesktopEntry::NoError)
        return std::nullopt;
    return entry;
}

QString unescaped(QString value)
{
    BDesktopEntry::unescape(value);
    return value;
}

// Shell-style assignments; quoted values lose their quotes and, inside
// double quotes, the backslash before " \ $ `.
QHash<QString, QString> readOsRelease()
{
    QHash<QString, QString> fields;
    QFile file(pathFromEnvironment("BEXA_OS_RELEASE_FILE", QStringLiteral("/etc/os-release")));
    if (!file.open(QIODevice::ReadOnly))
        return fields;
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        const int eq = line.indexOf(QLatin1Char('='));
        if (line.startsWith(QLatin1Char('#')) || eq <= 0)
            continue;
        QString value = line.mid(eq + 1);
        const bool doubleQuoted = value.size() >= 2 && value.startsWith(QLatin1Char('"')) &&
                                  value.endsWith(QLatin1Char('"'));
        const bool singleQuoted = value.size() >= 2 && value.startsWith(QLatin1Char('\'')) &&
                                  value.endsWith(QLatin1Char('\''));
        if (doubleQuoted || singleQuoted)
            value = value.mid(1, value.size() - 2);
        if (doubleQuoted) {
            QString out;
            for (int i = 0; i < value.size(); ++i) {
                if (value.at(i) == QLatin1Char('\\') && i + 1 < value.size())
                    ++i;
                out += value.at(i);
            }
            value = out;
        }
        fields.insert(line.left(eq), value);
    }
    return fields;
}

QString versionPart(const QString &key, int index)
{
    if (const auto entry = readOsVersion())
        return unescaped(entry->stringValue(key, versionGroup));
    const QStringList parts =
        readOsRelease().value(QStringLiteral("VERSION_ID")).split(QLatin1Char('.'));
    return parts.value(index);
}

} // namespace

QString BSysInfo::orvexProductTypeName(const QLocale &locale)
{
    if (const auto entry = readOsVersion())
        return unescaped(
            entry->localizedValue(QStringLiteral("ProductType"), locale.name(), versionGroup));
    return readOsRelease().value(QStringLiteral("NAME"));
}

QString BSysInfo::orvexEditionName(const QLocale &locale)
{
    if (const auto entry = readOsVersion())
        return unescaped(
            entry->localizedValue(QStringLiteral("EditionName"), locale.name(), versionGroup));
    return QString();
}

QString BSysInfo::majorVersion()
{
    return versionPart(QStringLiteral("MajorVersion"), 0);
}

QString BSysInfo::minorVersion()
{
    return versionPart(QStringLiteral("MinorVersion"), 1);
}

int BSysInfo::orvexEditionType()
{
    const auto entry = readOsVersion();
    if (!entry)
        return -1;
    bool ok = false;
    const int type =
        entry->stringValue(QStringLiteral("EditionType"), versionGroup).trimmed().toInt(&ok);
    return ok ? type : -1;
}

} // namespace Bexa::Core
