#include "apt_utils/package_name_patterns.h"

#include "apt_utils/aptcache.h"

namespace AppStore {

void PackageNamePatterns::escapeRegexChars(QString &text)
{
    // A backslash is not among them, so escaping twice adds no backslash
    // before a backslash.
    static const QLatin1Char special[] = {QLatin1Char('.'), QLatin1Char('?'), QLatin1Char('+'),
                                          QLatin1Char('*'), QLatin1Char('|'), QLatin1Char('['),
                                          QLatin1Char('^'), QLatin1Char('$')};
    for (const QLatin1Char c : special)
        text.replace(c, QLatin1Char('\\') + QString(c));
}

bool PackageNamePatterns::getLocalKaplaPkgStrings(QStringList &records)
{
    LocalPackageList apps;
    if (!AptCache::getLocalKaplaPkgsWithCli(apps))
        return false;
    for (const LocalPackageEntry &app : std::as_const(apps))
        records.append(QLatin1Char('{') + app.packageName + QLatin1Char(' ') + app.version +
                       QLatin1Char(' ') + QString::number(app.installedSize) +
                       QStringLiteral(" [") + app.desktopFiles.join(QLatin1Char(' ')) +
                       QStringLiteral("]}"));
    return true;
}

} // namespace AppStore
