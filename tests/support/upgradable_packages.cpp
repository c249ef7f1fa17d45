#include "upgradable_packages.h"

#include "local_apt_repository.h"
#include "test_env.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// One dpkg run over a few hundred packages runs their triggers once, but
// still takes a while on a slow disk. Throw-away packages need no syncing
// (--force-unsafe-io), which makes that run several times faster.
constexpr int kDpkgTimeoutMs = 900000;

const QString kSourcesList = QStringLiteral("/etc/apt/sources.list");
const QString kSourcesParts = QStringLiteral("/etc/apt/sources.list.d");
const QString kLists = QStringLiteral("/var/lib/apt/lists");

} // namespace

UpgradablePackages::UpgradablePackages(LocalAptRepository &repository, const QString &prefix)
    : m_repository(repository)
    , m_prefix(prefix)
{}

UpgradablePackages::~UpgradablePackages()
{
    purge();
    if (m_aptGuard)
        m_aptGuard->restore();
}

bool UpgradablePackages::build(int count, const QString &installedVersion,
                               const QString &publishedVersion,
                               const LocalAptRepository::PackageOptions &publishedOptions)
{
    m_installedVersion = installedVersion;
    m_publishedVersion = publishedVersion;
    m_names.clear();
    for (int i = 1; i <= count; ++i)
        m_names.append(m_prefix + QString::number(i));
    if (!m_repository.addPackages(m_names, {installedVersion}) ||
        !m_repository.addPackages(m_names, {publishedVersion}, publishedOptions))
        return fail(m_repository.errorString());
    return true;
}

bool UpgradablePackages::pointSystemAptAtRepository()
{
    m_aptGuard =
        std::make_unique<SystemFileGuard>(QStringList{kSourcesList, kSourcesParts, kLists});
    if (!m_aptGuard->isValid())
        return fail(m_aptGuard->errorString());
    if (!QDir(kSourcesParts).removeRecursively() || !QDir().mkpath(kSourcesParts) ||
        !TestEnv::writeFile(kSourcesList, m_repository.sourcesLine().toUtf8() + '\n'))
        return fail(QStringLiteral("cannot point the machine's apt sources at the repository"));
    const AppStore::ProcessResult update = TestEnv::runTool(
        QStringLiteral("apt-get"), {QStringLiteral("update")},
        {QStringLiteral("DEBIAN_FRONTEND=noninteractive"), QStringLiteral("LC_ALL=C")});
    if (!update.succeeded())
        return fail(QStringLiteral("apt-get update failed: ") + update.errorText());
    return true;
}

bool UpgradablePackages::install()
{
    if (m_repository.uri().isEmpty())
        return fail(QStringLiteral("the repository is not published"));
    if (!pointSystemAptAtRepository())
        return false;
    QStringList debs;
    for (const QString &name : std::as_const(m_names))
        debs.append(m_repository.debPath(name, m_installedVersion));
    m_installStarted = true;
    const AppStore::ProcessResult install =
        TestEnv::runTool(QStringLiteral("dpkg"), QStringList{QStringLiteral("-i")} + debs,
                         m_repository.environment(), kDpkgTimeoutMs);
    if (!install.succeeded())
        return fail(QStringLiteral("dpkg -i failed: ") + install.errorText());
    return true;
}

bool UpgradablePackages::purge()
{
    if (!m_installStarted)
        return true;
    // dpkg only warns about the names it does not know.
    const AppStore::ProcessResult purge = TestEnv::runTool(
        QStringLiteral("dpkg"),
        QStringList{QStringLiteral("--force-unsafe-io"), QStringLiteral("--purge")} + m_names,
        m_repository.environment(), kDpkgTimeoutMs);
    if (!purge.succeeded())
        return fail(QStringLiteral("dpkg --purge failed: ") + purge.errorText());
    m_installStarted = false;
    return true;
}

QByteArray UpgradablePackages::briefInfoReply() const
{
    QJsonArray records;
    for (int i = 0; i < m_names.size(); ++i) {
        const QString &name = m_names.at(i);
        records.append(QJsonObject{{QStringLiteral("id"), QString::number(10000 + i)},
                                   {QStringLiteral("appid"), 10000 + i},
                                   {QStringLiteral("package_name"), name},
                                   {QStringLiteral("package_version"), m_publishedVersion},
                                   {QStringLiteral("name"), name},
                                   {QStringLiteral("icon_url"), QString()},
                                   {QStringLiteral("is_forced_update"), 1},
                                   {QStringLiteral("package_mode"), 0},
                                   {QStringLiteral("isSpecificPkg"), 0},
                                   {QStringLiteral("pkgInstallMode"), 1}});
    }
    const QJsonObject envelope{{QStringLiteral("status"), 200},
                               {QStringLiteral("desc"), QStringLiteral("ok")},
                               {QStringLiteral("datas"), records}};
    return QJsonDocument(envelope).toJson(QJsonDocument::Compact);
}

bool UpgradablePackages::fail(const QString &message)
{
    m_error = message;
    qWarning().noquote() << message;
    return false;
}
