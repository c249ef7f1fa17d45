#include "installed_packages.h"

#include "apt_utils/aptcache.h"
#include "apt_utils/dpkg_query.h"
#include "apt_utils/kapla_cli.h"
#include "common/daemon_log.h"
#include "utils/utils.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace AppStore {

namespace {

constexpr int kKaplaMode = 2;
const char kGetLocalPackagesSignature[] = "static bool AptCache::getLocalPackages(QStringList&)";

QString packageLine(const QString &name, const QString &version, const QString &size,
                    const QString &channel, const QStringList &desktopFiles)
{
    return QLatin1Char('{') + name + QLatin1Char(' ') + version + QLatin1Char(' ') + size +
           QLatin1Char(' ') + channel + QLatin1Char('[') + desktopFiles.join(QLatin1Char(' ')) +
           QStringLiteral("]}");
}

// One package of the listing as it is read line by line: its fields from the
// head line, then of its files only the desktop files an application offers,
// so that a package with tens of thousands of files costs no more than one
// with a few. The lines are judged as the record parser judges the joined
// record: a file line starts with one blank, and a line that does not ends
// the files.
struct ListedPackage
{
    bool valid = false; // the head line parsed
    DpkgQuery::Record record;
    bool hasFiles = false;
    bool filesEnded = false;
    QStringList desktopFiles;

    void takeHead(QByteArrayView line)
    {
        valid = DpkgQuery::parseRecord(QString::fromUtf8(line), 5, true, record);
        // The head line ends with the first file when there is one.
        hasFiles = !record.files.isEmpty();
        desktopFiles = DpkgQuery::applicationDesktopFiles(record.files);
        record.files.clear();
    }

    void takeFileLine(QByteArrayView line)
    {
        if (!valid || filesEnded)
            return;
        if (line.front() != ' ') {
            filesEnded = true;
            return;
        }
        hasFiles = true;
        desktopFiles += DpkgQuery::applicationDesktopFiles({QString::fromUtf8(line.sliced(1))});
    }
};

// Runs the listing over every package and hands each installed package with
// files to take, with its desktop files already chosen. A record starts on a
// line of its own with the package name, and every file line starts with a
// blank (a tab-started line still belongs to the record); no path holds a
// newline, so no path can start a record. The records are read while
// dpkg-query prints them and handed on only once the listing has run to a
// clean end.
template<typename Take> bool forEachInstalledDebianPackage(Take take)
{
    QList<ListedPackage> installed;
    ListedPackage current;
    const auto finish = [&installed, &current] {
        if (!current.valid)
            return;
        const DpkgQuery::Record &record = current.record;
        if (record.status != QLatin1String("installed") || !current.hasFiles) {
            qCDebug(daemonLogCategory).noquote()
                << QStringLiteral("Package %1 db:Status-Status: %2, db-fsys:Files: %3, skip")
                       .arg(record.name, record.status)
                       .arg(current.hasFiles ? 1 : 0);
            return;
        }
        installed.append(std::move(current));
    };
    const bool complete = DpkgQuery::streamListing(
        {QStringLiteral("-W"),
         QStringLiteral("-f=${Package} ${Version} ${Installed-Size} ${db:Status-Status} "
                        "${Section} ${XB-channel} ${db-fsys:Files}\n")},
        [&](QByteArrayView line) {
            if (line.front() == ' ' || line.front() == '\t') {
                current.takeFileLine(line);
                return;
            }
            finish();
            current = ListedPackage();
            current.takeHead(line);
        });
    if (!complete)
        return false;
    finish();
    for (const ListedPackage &package : std::as_const(installed))
        take(package.record, package.desktopFiles);
    return true;
}

LocalPackageEntry entryOf(const DpkgQuery::Record &record, const QStringList &desktopFiles)
{
    LocalPackageEntry entry;
    entry.packageName = record.name;
    entry.version = record.version;
    entry.installedSize = record.installedSize.toLongLong();
    entry.channel = record.channel;
    entry.desktopFiles = desktopFiles;
    return entry;
}

} // namespace

bool InstalledPackages::getLocalPackages(QStringList &lines)
{
    LocalPackageList kapla;
    const bool kaplaOk = getLocalKaplaPkgsWithCli(kapla);
    if (!kaplaOk)
        qCWarning(daemonLogCategory).noquote()
            << kGetLocalPackagesSignature << "getLocalKaplaPkgs failed";

    LocalPackageList plain;
    LocalPackageList withDesktop;
    LocalPackageList channelList;
    if (!getLocalDebianPkgs(plain, withDesktop, channelList)) {
        qCWarning(daemonLogCategory).noquote()
            << kGetLocalPackagesSignature << "getLocalDebianPkgs failed";
        if (!kaplaOk) {
            qCWarning(daemonLogCategory).noquote()
                << kGetLocalPackagesSignature
                << "getLocalPackages failed, return empty localPkgList...";
            return false;
        }
    }

    const QMap<QString, LocalPackageEntry> merged = mergeLocalPkgLists(kapla, plain, channelList);
    for (const LocalPackageEntry &entry : merged)
        lines.append(packageLine(entry.packageName, entry.version,
                                 QString::number(entry.installedSize), entry.channel,
                                 entry.desktopFiles));
    return true;
}

bool InstalledPackages::getLocalKaplaPkgsWithCli(LocalPackageList &out)
{
    if (!Utils::isKaplaSupported(false))
        return false;
    const ProcessResult result = KaplaCli::list();
    if (!result.succeeded()) {
        qCWarning(daemonLogCategory) << "kapla-cli list error:" << result.standardError;
        qCDebug(daemonLogCategory) << "kapla-cli list output:" << result.standardOutput;
        return false;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(result.standardOutput, &error);
    if (error.error != QJsonParseError::NoError || !document.isArray()) {
        qCWarning(daemonLogCategory)
            << "Parse kapla-cli list output error:" << error.errorString() << result.standardOutput;
        return false;
    }

    QMap<QString, LocalPackageEntry> newest;
    const QJsonArray items = document.array();
    for (const QJsonValue &item : items) {
        if (!item.isObject())
            continue;
        const QJsonObject app = item.toObject();
        if (app.value(QLatin1String("kind")).toString() != QLatin1String("app"))
            continue;
        LocalPackageEntry entry;
        entry.packageName = app.contains(QLatin1String("id"))
                                ? app.value(QLatin1String("id")).toString()
                                : app.value(QLatin1String("appid")).toString();
        entry.version = app.value(QLatin1String("version")).toString();
        entry.installedSize = KaplaCli::sizeInKiB(app.value(QLatin1String("size")));
        AptCache::getPackageDesktopFiles(entry.packageName, entry.desktopFiles, kKaplaMode);

        const auto known = newest.constFind(entry.packageName);
        if (known == newest.cend() || Utils::compareVersion(known->version, entry.version) < 0)
            newest.insert(entry.packageName, entry);
    }
    for (const LocalPackageEntry &entry : std::as_const(newest))
        out.append(entry);
    return true;
}

bool InstalledPackages::getLocalDebianPkgs(LocalPackageList &plain, LocalPackageList &withDesktop,
                                           LocalPackageList &channelList)
{
    return forEachInstalledDebianPackage(
        [&](const DpkgQuery::Record &record, QStringList desktopFiles) {
            removeRepeatedDesktops(desktopFiles);
            const LocalPackageEntry entry = entryOf(record, desktopFiles);
            if (!entry.channel.isEmpty()) {
                channelList.append(entry);
                return;
            }
            plain.append(entry);
            if (!entry.desktopFiles.isEmpty())
                withDesktop.append(entry);
        });
}

bool InstalledPackages::getLocalDebianPkgs(QStringList &lines)
{
    return forEachInstalledDebianPackage([&](const DpkgQuery::Record &record,
                                             QStringList desktopFiles) {
        DpkgQuery::preferPackageNamedDesktopFile(record.name, desktopFiles);
        removeRepeatedDesktops(desktopFiles);
        lines.append(
            packageLine(record.name, record.version,
                        record.installedSize.isEmpty() ? QStringLiteral("0") : record.installedSize,
                        record.channel, desktopFiles));
    });
}

QMap<QString, LocalPackageEntry>
InstalledPackages::mergeLocalPkgLists(const LocalPackageList &kapla, const LocalPackageList &plain,
                                      const LocalPackageList &channelList)
{
    QMap<QString, LocalPackageEntry> merged;
    for (const LocalPackageEntry &entry : kapla)
        merged.insert(entry.packageName, entry);
    for (const LocalPackageEntry &entry : plain) {
        if (!merged.contains(entry.packageName))
            merged.insert(entry.packageName, entry);
    }
    for (const LocalPackageEntry &entry : channelList)
        merged.remove(entry.packageName);
    return merged;
}

void InstalledPackages::removeRepeatedDesktops(QStringList &desktopFiles)
{
    if (desktopFiles.isEmpty())
        return;
    QMap<QString, QString> byExec;
    for (const QString &file : std::as_const(desktopFiles)) {
        const QString exec = Utils::getDesktopExecInfo(file.trimmed());
        if (!exec.isEmpty())
            byExec.insert(exec, file);
    }
    desktopFiles = byExec.values();
}

} // namespace AppStore
