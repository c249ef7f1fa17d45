#include "package_details.h"

#include "apt_utils/aptcache.h"
#include "apt_utils/dpkg_query.h"
#include "apt_utils/kapla_cli.h"
#include "common/daemon_log.h"
#include "utils/package_name_validator.h"

#include <QJsonArray>
#include <QSysInfo>

namespace AppStore {

namespace {

constexpr int kDebianMode = 1;
constexpr int kKaplaMode = 2;

QString detailLine(const QString &name, const QString &version, const QString &size,
                   const QStringList &desktopFiles)
{
    return name + QLatin1Char(' ') + version + QLatin1Char(' ') + size + QLatin1Char('[') +
           desktopFiles.join(QLatin1Char(' ')) + QLatin1Char(']');
}

bool isRemovedStatusLine(const QString &statusLine)
{
    return DpkgQuery::isRemovedStatus(statusLine.section(QLatin1Char(' '), -1));
}

struct DebianFacts
{
    bool ok = false;
    QString version;
    qint64 installedSize = 0;
};

// Reads "dpkg-query -s" into info; each prefix counts only at the start of a
// line and its value is the line's last word.
DebianFacts readDebianStatus(const QString &name, Package_Info &info)
{
    DebianFacts facts;
    const ProcessResult result = DpkgQuery::runForPackage({QStringLiteral("-s")}, name);
    if (!result.succeeded())
        return facts;
    const QStringList lines = result.outputText().split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("Status:")) && isRemovedStatusLine(line))
            return facts; // removed, only its configuration is left
    }
    for (const QString &line : lines) {
        const QString value = line.section(QLatin1Char(' '), -1);
        if (line.startsWith(QLatin1String("Installed-Size:"))) {
            info.installedSize = value.toLongLong();
            facts.installedSize = info.installedSize;
        } else if (line.startsWith(QLatin1String("Version:"))) {
            info.version = value;
            facts.version = value;
        } else if (line.startsWith(QLatin1String("Architecture:"))) {
            info.architecture = value;
        } else if (line.startsWith(QLatin1String("XB-channel:"))) {
            info.channel = value;
        }
    }
    facts.ok = true;
    return facts;
}

bool isNameToLookUp(const QString &name)
{
    if (PackageNameValidator::isValidKaplaId(name) ||
        PackageNameValidator::isValidArchQualifiedName(name))
        return true;
    qCWarning(daemonLogCategory) << "refusing to look up package" << name;
    return false;
}

bool findKaplaApp(const QString &name, LocalPackageEntry &app)
{
    LocalPackageList kaplaApps;
    if (!AptCache::getLocalKaplaPkgsWithCli(kaplaApps))
        return false;
    for (const LocalPackageEntry &entry : std::as_const(kaplaApps)) {
        if (entry.packageName == name) {
            app = entry;
            return true;
        }
    }
    return false;
}

} // namespace

bool PackageDetails::getLocalPackageInfo(const QString &name, Package_Info &info, int mode)
{
    info.packageName = name;

    QJsonObject app;
    const bool kaplaOk = KaplaCli::objectOf(KaplaCli::query(QStringLiteral("info"), name), app);
    QString kaplaVersion;
    qint64 kaplaSize = 0;
    if (kaplaOk) {
        const QString kind = app.value(QLatin1String("kind")).toString();
        if (kind != QLatin1String("app"))
            qCWarning(daemonLogCategory).noquote()
                << QStringLiteral("%1 is not app, kind: %2").arg(name, kind);
        info.version = app.value(QLatin1String("version")).toString();
        const QJsonArray arch = app.value(QLatin1String("arch")).toArray();
        info.architecture =
            arch.isEmpty() ? QSysInfo::currentCpuArchitecture() : arch.first().toString();
        info.installedSize = KaplaCli::sizeInKiB(app.value(QLatin1String("size")));
        kaplaVersion = info.version;
        kaplaSize = info.installedSize;
    }
    if (mode == kKaplaMode)
        return kaplaOk;

    const DebianFacts debian = readDebianStatus(name, info);
    if (mode == kDebianMode)
        return debian.ok;

    if (kaplaOk) {
        info.version = kaplaVersion;
        info.architecture = QSysInfo::currentCpuArchitecture();
        info.installedSize = kaplaSize;
        info.channel.clear();
        return true;
    }
    info.version = debian.version;
    info.installedSize = debian.installedSize;
    return debian.ok;
}

bool PackageDetails::isInstalledPackage(const QString &name, int mode)
{
    if (!isNameToLookUp(name))
        return false;
    LocalPackageEntry app;
    const bool kaplaFound = findKaplaApp(name, app);
    if (mode == kKaplaMode)
        return kaplaFound;
    DpkgQuery::Record record;
    const DpkgQuery::Lookup lookup = DpkgQuery::lookUpPackage(name, record, false);
    if (lookup == DpkgQuery::Lookup::Unreadable)
        return false;
    bool debOk = false;
    if (lookup == DpkgQuery::Lookup::Found) {
        if (record.status != QLatin1String("installed"))
            return false;
        debOk = true;
    }
    if (mode == kDebianMode)
        return debOk;
    return kaplaFound || debOk;
}

PackageDetails::Presence PackageDetails::presence(const QString &name, int mode)
{
    if (!isNameToLookUp(name))
        return Presence::Unknown;
    LocalPackageEntry app;
    if (mode != kDebianMode && findKaplaApp(name, app))
        return Presence::Present;
    if (mode == kKaplaMode)
        return Presence::Absent;
    DpkgQuery::Record record;
    switch (DpkgQuery::lookUpPackage(name, record, false)) {
    case DpkgQuery::Lookup::Unknown:
        return Presence::Absent;
    case DpkgQuery::Lookup::Found:
        return DpkgQuery::isRemovedStatus(record.status) ? Presence::Absent : Presence::Present;
    case DpkgQuery::Lookup::Failed:
    case DpkgQuery::Lookup::Unreadable:
        break;
    }
    return Presence::Unknown;
}

bool PackageDetails::getLocalPackageInfo(const QString &name, QString &out, int mode)
{
    if (!isNameToLookUp(name))
        return false;
    QString kaplaLine;
    LocalPackageEntry app;
    const bool kaplaFound = findKaplaApp(name, app);
    if (kaplaFound) {
        kaplaLine =
            detailLine(name, app.version, QString::number(app.installedSize), app.desktopFiles);
        out.append(kaplaLine);
    }
    if (mode == kKaplaMode)
        return kaplaFound;

    DpkgQuery::Record record;
    const DpkgQuery::Lookup lookup = DpkgQuery::lookUpPackage(name, record);
    bool debOk = false;
    if (lookup == DpkgQuery::Lookup::Unreadable)
        return false;
    if (lookup == DpkgQuery::Lookup::Found) {
        if (record.status != QLatin1String("installed")) {
            qCDebug(daemonLogCategory).noquote()
                << QStringLiteral("Package %1 db:Status-Status: %2, skip").arg(name, record.status);
            return false;
        }
        QStringList desktopFiles = DpkgQuery::applicationDesktopFiles(record.files);
        DpkgQuery::preferPackageNamedDesktopFile(record.name, desktopFiles);
        AptCache::removeRepeatedDesktops(desktopFiles);
        out =
            detailLine(record.name, record.version,
                       record.installedSize.isEmpty() ? QStringLiteral("0") : record.installedSize,
                       desktopFiles);
        debOk = true;
    }
    if (mode == kDebianMode)
        return debOk;

    if (kaplaFound) {
        out = kaplaLine;
        return true;
    }
    return debOk;
}

} // namespace AppStore
