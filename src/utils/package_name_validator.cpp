#include "utils/package_name_validator.h"

namespace AppStore {

namespace {

constexpr qsizetype kMaxLength = 255;

bool isLowerOrDigit(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
           (c >= QLatin1Char('0') && c <= QLatin1Char('9'));
}

bool isAsciiAlnum(QChar c)
{
    return isLowerOrDigit(c) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'));
}

bool isDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// True when text is not empty and every character is alphanumeric or one of
// extra.
bool consistsOf(QStringView text, bool (*alnum)(QChar), QLatin1String extra)
{
    if (text.isEmpty())
        return false;
    for (QChar c : text) {
        if (!alnum(c) && !extra.contains(c))
            return false;
    }
    return true;
}

} // namespace

bool PackageNameValidator::isValidPackageName(const QString &name)
{
    return name.size() >= 2 && name.size() <= kMaxLength && isLowerOrDigit(name.at(0)) &&
           consistsOf(name, isLowerOrDigit, QLatin1String("+.-"));
}

bool PackageNameValidator::isValidArchQualifiedName(const QString &name)
{
    const qsizetype colon = name.indexOf(QLatin1Char(':'));
    if (colon < 0)
        return isValidPackageName(name);
    return name.size() <= kMaxLength && isValidPackageName(name.left(colon)) &&
           consistsOf(QStringView(name).mid(colon + 1), isLowerOrDigit, QLatin1String("-"));
}

bool PackageNameValidator::isValidVersion(const QString &version)
{
    if (version.isEmpty() || version.size() > kMaxLength)
        return false;
    QStringView rest(version);
    const qsizetype colon = rest.indexOf(QLatin1Char(':'));
    const bool hasEpoch = colon >= 0;
    if (hasEpoch) {
        if (!consistsOf(rest.left(colon), isDigit, QLatin1String()))
            return false;
        rest = rest.mid(colon + 1);
    }
    QStringView upstream = rest;
    const qsizetype dash = rest.lastIndexOf(QLatin1Char('-'));
    if (dash >= 0) {
        if (!consistsOf(rest.mid(dash + 1), isAsciiAlnum, QLatin1String(".+~")))
            return false;
        upstream = rest.left(dash);
    }
    if (upstream.isEmpty() || !isDigit(upstream.at(0)))
        return false;
    return consistsOf(upstream, isAsciiAlnum,
                      hasEpoch ? QLatin1String(".+~-:") : QLatin1String(".+~-"));
}

bool PackageNameValidator::isValidKaplaId(const QString &id)
{
    return !id.isEmpty() && id.size() <= kMaxLength && isAsciiAlnum(id.at(0)) &&
           consistsOf(id, isAsciiAlnum, QLatin1String("._+-")) && !id.contains(QLatin1String(".."));
}

} // namespace AppStore
