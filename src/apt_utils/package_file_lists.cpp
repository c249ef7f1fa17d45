#include "package_file_lists.h"

#include "apt_utils/dpkg_query.h"
#include "common/daemon_log.h"
#include "utils/package_name_validator.h"

#include <QFileInfo>

namespace AppStore {

namespace {

bool isIndexedPath(const QString &path)
{
    if (!path.startsWith(QLatin1Char('/')))
        return false;
    const QString directory = path.left(path.lastIndexOf(QLatin1Char('/')));
    static const QLatin1String kIndexed[] = {
        QLatin1String("/usr/bin"), QLatin1String("/usr/local/bin"), QLatin1String("/usr/share"),
        QLatin1String("/usr/sbin"), QLatin1String("/opt/apps")};
    const bool indexed = std::any_of(std::begin(kIndexed), std::end(kIndexed),
                                     [&](QLatin1String dir) { return directory.contains(dir); });
    if (!indexed || directory.contains(QLatin1String("/usr/share/icons")))
        return false;
    const QFileInfo info(path);
    return !info.isSymLink() && info.isFile();
}

bool ranToEnd(const ProcessResult &result)
{
    if (result.started && !result.timedOut && !result.crashed)
        return true;
    qCWarning(daemonLogCategory) << "dpkg-query failed:" << result.errorString
                                 << "output:" << result.outputText()
                                 << "error:" << result.errorText();
    return false;
}

} // namespace

bool PackageFileLists::getPackageBinaryFiles(const QString &name, QStringList &files)
{
    // Not a name dpkg could know: it owns no files.
    if (!PackageNameValidator::isValidArchQualifiedName(name))
        return true;
    const ProcessResult result = DpkgQuery::runForPackage({QStringLiteral("--listfiles")}, name);
    if (!ranToEnd(result))
        return false;
    const QStringList lines = result.outputText().split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (isIndexedPath(line))
            files.append(line);
    }
    return true;
}

bool PackageFileLists::getAllPackageBinaryFiles(LocalPackageList &packages)
{
    LocalPackageList read;
    const bool complete = forEachPackageBinaryFiles([&read](const LocalPackageEntry &entry) {
        read.append(entry);
        return true;
    });
    if (complete)
        packages += read;
    return complete;
}

bool PackageFileLists::forEachPackageBinaryFiles(
    const std::function<bool(const LocalPackageEntry &)> &take)
{
    // Package names on lines of their own, each file on a line that starts
    // with one blank: blanks and tabs in paths cannot split a record.
    LocalPackageEntry entry;
    bool taking = true;
    const auto flush = [&]() {
        if (taking && !entry.desktopFiles.isEmpty())
            taking = take(entry);
        entry = LocalPackageEntry();
    };
    const bool complete = DpkgQuery::streamListing(
        {QStringLiteral("-W"), QStringLiteral("-f=${Package}\n${db-fsys:Files}")},
        [&](QByteArrayView line) {
            if (!taking)
                return;
            if (line.front() != ' ') {
                flush();
                entry.packageName = QString::fromUtf8(line);
            } else if (const QString path = QString::fromUtf8(line.sliced(1));
                       isIndexedPath(path)) {
                entry.desktopFiles.append(path);
            }
        });
    // The last package is complete only when the listing is.
    if (!complete)
        return false;
    flush();
    return true;
}

} // namespace AppStore
