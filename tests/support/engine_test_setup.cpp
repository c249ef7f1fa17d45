#include "engine_test_setup.h"

#include "database/appstoredb.h"
#include "database/cachedatabase.h"
#include "test_env.h"
#include "utils/utils.h"

#include <QFile>

using AppStore::Utils;

EngineTestSetup::EngineTestSetup() = default;

EngineTestSetup::~EngineTestSetup()
{
    if (m_guard)
        m_guard->restore();
}

QString EngineTestSetup::stateDir(const QString &name) const
{
    return m_dir.filePath(QStringLiteral("state/") + name);
}

QString EngineTestSetup::writeAptConfigs(const QString &stateDir, const QString &cacheDir)
{
    for (const QString &name :
         {QStringLiteral("apt_default.conf"), QStringLiteral("apt_custom.conf"),
          QStringLiteral("apt_custom_v2.conf")}) {
        QString text = QString::fromUtf8(
            TestEnv::readFile(TestEnv::sourceDir() + QStringLiteral("/data/apt/") + name));
        if (text.isEmpty())
            return QStringLiteral("cannot read ") + name;
        text.replace(QStringLiteral("/var/lib/tarnwick-daemon/"), stateDir);
        text.replace(QStringLiteral("/var/cache/velkor/tarnwick-daemon/"), cacheDir);
        if (!TestEnv::writeFile(stateDir + name, text.toUtf8()))
            return QStringLiteral("cannot write ") + name;
    }
    return QString();
}

bool EngineTestSetup::writeSystemSources(const QString &aptEtcDir, const QString &sourcesLine)
{
    return TestEnv::writeFile(aptEtcDir + QStringLiteral("/sources.list"),
                              "# the distribution's sources\n") &&
           TestEnv::writeFile(aptEtcDir + QStringLiteral("/sources.list.d/appstore.list"),
                              sourcesLine.toUtf8() + '\n');
}

bool EngineTestSetup::fail(const QString &message)
{
    m_error = message;
    return false;
}

bool EngineTestSetup::start(const QString &accountStandin, const QStringList &accounts,
                            int bytesPerSecond)
{
    if (!m_dir.isValid())
        return fail(QStringLiteral("no temporary folder"));
    // The daemon's apt configuration records auto-installed marks there.
    m_guard = std::make_unique<SystemFileGuard>(
        QStringList{QStringLiteral("/var/lib/apt/extended_states")});
    if (!m_guard->isValid())
        return fail(m_guard->errorString());

    m_bus.allowService(QStringLiteral("com.velkor.daemon.ChildrenGuard.Account"));
    if (m_bus.start().isEmpty())
        return fail(m_bus.errorString());
    if (!m_accounts.start(accountStandin, accounts, m_bus.environment()))
        return fail(m_accounts.errorString());

    AppstoreDb::setDatabasePath(m_dir.filePath(QStringLiteral("appstore.db")));
    CacheDatabase::setDatabasePath(m_dir.filePath(QStringLiteral("cache.db")));
    AppstoreDb::instance();
    const QString cache = m_dir.filePath(QStringLiteral("cache/"));
    Utils::setRoots(stateDir(), m_dir.filePath(QStringLiteral("etc-apt")), cache);

    if (!m_repository.publish(LocalAptRepository::Transport::Http, bytesPerSecond))
        return fail(m_repository.errorString());
    if (!writeSystemSources(m_dir.filePath(QStringLiteral("etc-apt")), m_repository.sourcesLine()))
        return fail(QStringLiteral("cannot write the sources list"));
    if (!Utils::updateSourceDir() || !Utils::checkCustomCacheDir())
        return fail(QStringLiteral("cannot set up the daemon's apt folders"));
    const QString configError = writeAptConfigs(stateDir(), cache);
    if (!configError.isEmpty())
        return fail(configError);
    if (!Utils::aptConfigFilePath().startsWith(stateDir()))
        return fail(QStringLiteral("the daemon's apt configuration is not the private one: ") +
                    Utils::aptConfigFilePath());
    const auto update = TestEnv::runTool(
        QStringLiteral("apt-get"),
        {QStringLiteral("-c"), Utils::aptConfigFilePath(), QStringLiteral("update")});
    if (!update.succeeded())
        return fail(update.errorText());
    return true;
}

Apt_Task EngineTestSetup::storeTask(const QString &name, const QString &loginName)
{
    Apt_Task task;
    task.sourceId = QStringLiteral("velkor-app-store");
    task.packageName = name;
    task.version = QStringLiteral("1.0");
    task.appName = name;
    task.loginName = loginName;
    task.appType = QStringLiteral("0");
    return task;
}

QStringList EngineTestSetup::firstRow(const QString &table, const QString &keyColumn,
                                      const QString &key, const QStringList &columns)
{
    // The reader answers column by column.
    QList<QStringList> values;
    AppstoreDb::instance()->seleteRecords(columns, {{keyColumn, key}}, values, table);
    QStringList row;
    for (const QStringList &column : std::as_const(values)) {
        if (column.isEmpty())
            return {};
        row.append(column.first());
    }
    return row;
}

QStringList EngineTestSetup::historyRow(const QString &package, const QStringList &columns)
{
    return firstRow(QStringLiteral("application_history"), QStringLiteral("packageName"), package,
                    columns);
}
