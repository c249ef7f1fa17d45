#include "database/appstoredb.h"

#include "common/common.h"
#include "common/daemon_log.h"
#include "common/operation_codes.h"
#include "database/on_the_shelves_app_columns.h"
#include "database/sqlite_thread_connections.h"
#include "utils/folder_trust.h"
#include "utils/lazy_singleton.h"
#include "utils/small_utils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <array>
#include <functional>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString HISTORY_TABLE = QStringLiteral("application_history");
const QString SETTING_TABLE = QStringLiteral("setting");

const QString CREATE_HISTORY_TABLE = QStringLiteral(
    "CREATE TABLE IF NOT EXISTS application_history (id INTEGER PRIMARY KEY "
    "AUTOINCREMENT,packageName TEXT,version TEXT,path TEXT,operation TEXT,time TEXT,content "
    "TEXT,result TEXT,appName TEXT,iconUrl TEXT,appSize TEXT,externColumnOne "
    "TEXT,externColumnTwo TEXT,packageMode TEXT NOT NULL DEFAULT 0,channelData TEXT,channelId "
    "TEXT,downloadLink TEXT,sh256 TEXT,fileSize TEXT,isSpecificPkg TEXT NOT NULL DEFAULT "
    "0,sessionId TEXT,app_type TEXT NOT NULL DEFAULT -1,owner_role TEXT NOT NULL DEFAULT "
    "-1,pkgInstallMode TEXT NOT NULL DEFAULT 1)");
const QString CREATE_HISTORY_INDEX =
    QStringLiteral("CREATE INDEX IF NOT EXISTS application_history_idx ON application_history (id, "
                   "packageName, version)");
// Every history operation looks its row up by package name; without this the
// lookups scan the whole table.
const QString CREATE_HISTORY_NAME_INDEX = QStringLiteral(
    "CREATE INDEX IF NOT EXISTS application_history_name_idx ON application_history (packageName)");
const QString CREATE_ON_THE_SHELVES_TABLE = QStringLiteral(
    "CREATE TABLE IF NOT EXISTS LocalOnTheShelvesAPP (packageid TEXT PRIMARY KEY,uri "
    "TEXT,appid TEXT,file_size TEXT,package_name TEXT,package_version TEXT,app_package_url "
    "TEXT,name TEXT,brief_info TEXT,update_desc TEXT,icon_url TEXT,copywriting "
    "TEXT,enable_mul_select TEXT,is_forced_update TEXT,sha256 TEXT,app_type TEXT NOT NULL "
    "DEFAULT -1,user_show TEXT NOT NULL DEFAULT -1,kid_show TEXT NOT NULL DEFAULT "
    "-1,package_mode TEXT NOT NULL DEFAULT 0,isSpecificPkg TEXT NOT NULL DEFAULT "
    "0,supportWayland TEXT NOT NULL DEFAULT 0,channelPkgs TEXT,pkgInstallMode TEXT NOT NULL "
    "DEFAULT 1)");
const QString CREATE_REPORT_BI_TABLE = QStringLiteral(
    "CREATE TABLE IF NOT EXISTS report_bi (id INTEGER PRIMARY KEY AUTOINCREMENT,type "
    "TEXT,reportData TEXT,createTime TEXT,updateTime TEXT)");
const QString CREATE_KEY_VALUE_TABLE =
    QStringLiteral("CREATE TABLE IF NOT EXISTS key_value_info (key TEXT,Value TEXT)");
const QString CREATE_INSTALL_STATUS_TABLE = QStringLiteral(
    "CREATE TABLE IF NOT EXISTS app_install_status (package_name TEXT NOT NULL,app_name TEXT "
    "NOT NULL,desktop TEXT,app_type TEXT NOT NULL DEFAULT -1,app_status TEXT NOT NULL DEFAULT "
    "-1,owner_role TEXT NOT NULL DEFAULT -1,create_time TEXT NOT NULL,update_time TEXT NOT "
    "NULL,PRIMARY KEY(package_name, desktop))");
const QString CREATE_SETTING_TABLE = QStringLiteral(
    "CREATE TABLE IF NOT EXISTS setting (createDesktop TEXT,freeDownload TEXT,onNotice "
    "TEXT,serviceVersion TEXT,privacyVersion TEXT,agreeSign TEXT,upgradeNoticeTime "
    "TEXT,keepArchives TEXT)");
const QString INSERT_DEFAULT_SETTING = QStringLiteral(
    "INSERT INTO setting (createDesktop, freeDownload, onNotice, serviceVersion, "
    "privacyVersion, agreeSign, upgradeNoticeTime, keepArchives) SELECT '2', '2', '0', '0', "
    "'0', '0', '19700101', '0' WHERE NOT EXISTS(SELECT * FROM setting)");

const QString SELECT_HISTORY_BY_NAME =
    QStringLiteral("SELECT * FROM application_history WHERE packageName = ?");
const QString DELETE_HISTORY_BY_NAME =
    QStringLiteral("DELETE FROM application_history WHERE packageName = ?");
const QString DELETE_ON_THE_SHELVES_BY_NAME =
    QStringLiteral("DELETE FROM LocalOnTheShelvesAPP WHERE package_name = ?");

// The history columns after id, in creation order; the insert writes them all.
const std::array<const char *, 23> HISTORY_COLUMNS = {
    "packageName",     "version",         "path",           "operation",     "time",
    "content",         "result",          "appName",        "iconUrl",       "appSize",
    "externColumnOne", "externColumnTwo", "packageMode",    "channelData",   "channelId",
    "downloadLink",    "sh256",           "fileSize",       "isSpecificPkg", "sessionId",
    "app_type",        "owner_role",      "pkgInstallMode",
};

// What the list reads return of a row: everything but app_type and owner_role.
const std::array<const char *, 21> HISTORY_LIST_COLUMNS = {
    "packageName",     "version",         "path",        "operation",     "time",
    "content",         "result",          "appName",     "iconUrl",       "appSize",
    "externColumnOne", "externColumnTwo", "packageMode", "channelData",   "channelId",
    "downloadLink",    "sh256",           "fileSize",    "isSpecificPkg", "sessionId",
    "pkgInstallMode",
};

struct MigrationColumn
{
    const char *table;
    const char *column;
    const char *defaultValue;
};

// Columns that later versions added, with the default existing rows take.
const std::array<MigrationColumn, 27> MIGRATION_COLUMNS = {{
    {"application_history", "externColumnOne", ""},
    {"application_history", "externColumnTwo", ""},
    {"application_history", "packageMode", "0"},
    {"application_history", "channelData", ""},
    {"application_history", "channelId", ""},
    {"application_history", "downloadLink", ""},
    {"application_history", "sh256", ""},
    {"application_history", "fileSize", ""},
    {"application_history", "isSpecificPkg", "0"},
    {"application_history", "sessionId", ""},
    {"application_history", "app_type", "-1"},
    {"application_history", "owner_role", "-1"},
    {"application_history", "pkgInstallMode", "1"},
    {"LocalOnTheShelvesAPP", "app_type", "-1"},
    {"LocalOnTheShelvesAPP", "user_show", "-1"},
    {"LocalOnTheShelvesAPP", "kid_show", "-1"},
    {"LocalOnTheShelvesAPP", "package_mode", "0"},
    {"LocalOnTheShelvesAPP", "isSpecificPkg", "0"},
    {"LocalOnTheShelvesAPP", "supportWayland", "0"},
    {"LocalOnTheShelvesAPP", "channelPkgs", ""},
    {"LocalOnTheShelvesAPP", "pkgInstallMode", "1"},
    {"setting", "installFilter", "0"},
    {"setting", "agreeSign", ""},
    {"setting", "serviceVersion", ""},
    {"setting", "privacyVersion", ""},
    {"setting", "upgradeNoticeTime", "19700101"},
    {"setting", "keepArchives", "0"},
}};

// Every stored value is text: a null string would be bound as SQL NULL, which
// the NOT NULL columns refuse, so it goes in as the empty text.
QVariant boundText(const QString &text)
{
    return text.isNull() ? QVariant(QString(QLatin1String(""))) : QVariant(text);
}

QVariantList boundTexts(const QStringList &texts)
{
    QVariantList values;
    values.reserve(texts.size());
    for (const QString &text : texts) {
        values.append(boundText(text));
    }
    return values;
}

QString quotedIdentifier(const QString &name)
{
    QString escaped = name;
    escaped.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

bool isPlainIdentifier(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*$"));
    return pattern.match(name).hasMatch();
}

// The columns of one of the store's own tables as the file has them; empty
// for a name that is no such table (SQLite's internal tables included).
QStringList tableColumns(const QSqlDatabase &db, const QString &table)
{
    QStringList columns;
    if (!isPlainIdentifier(table) ||
        table.startsWith(QLatin1String("sqlite_"), Qt::CaseInsensitive)) {
        return columns;
    }
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT name FROM pragma_table_info(?)"));
    query.addBindValue(table);
    if (query.exec()) {
        while (query.next()) {
            columns.append(query.value(0).toString());
        }
    }
    return columns;
}

// The stored spelling of a column (names compare without letter case, as in
// SQLite); empty when the table has no such column.
QString realColumn(const QStringList &columns, const QString &name)
{
    for (const QString &column : columns) {
        if (column.compare(name, Qt::CaseInsensitive) == 0) {
            return column;
        }
    }
    return QString();
}

// Runs work inside one transaction: committed when it succeeds, rolled back
// otherwise, so a failure leaves the file as it was.
bool inTransaction(QSqlDatabase &db, const std::function<bool()> &work)
{
    if (!db.transaction()) {
        return false;
    }
    if (work() && db.commit()) {
        return true;
    }
    db.rollback();
    return false;
}

struct ColumnText
{
    QLatin1String column;
    const QString *value;
};

enum class UpdateOutcome { Done, NothingToWrite, Failed };

// Writes the pairs whose value is not blank into every row whose keyColumn
// equals key; blank values leave their columns as stored.
UpdateOutcome updateNonBlankColumns(QSqlQuery &query, const QString &table,
                                    const QList<ColumnText> &pairs, QLatin1String keyColumn,
                                    const QString &key)
{
    QStringList assignments;
    QStringList kept;
    for (const ColumnText &pair : pairs) {
        if (!pair.value->trimmed().isEmpty()) {
            assignments.append(pair.column + QLatin1String(" = ?"));
            kept.append(*pair.value);
        }
    }
    if (kept.isEmpty()) {
        return UpdateOutcome::NothingToWrite;
    }
    qCDebug(daemonLogCategory) << "updateStr" << kept;
    query.prepare(QStringLiteral("UPDATE ") + table + QStringLiteral(" set ") +
                  assignments.join(QStringLiteral(", ")) + QStringLiteral(" WHERE ") + keyColumn +
                  QStringLiteral(" = ?"));
    for (const QString &value : std::as_const(kept)) {
        query.addBindValue(value);
    }
    query.addBindValue(boundText(key));
    return query.exec() ? UpdateOutcome::Done : UpdateOutcome::Failed;
}

// Runs the prepared statement; a failure is logged under the caller's name.
bool execLogged(QSqlQuery &query, const char *caller, const char *failure)
{
    if (query.exec()) {
        return true;
    }
    qCCritical(daemonLogCategory).noquote() << caller << failure << query.lastError().text();
    return false;
}

QString historyText(const QSqlRecord &row, const char *column)
{
    return row.value(QLatin1String(column)).toString();
}

// The output lists of the history selections, in the order of
// HISTORY_LIST_COLUMNS.
using HistoryLists = std::array<QStringList *, 21>;

template<typename... Lists> HistoryLists historyLists(Lists &...lists)
{
    static_assert(sizeof...(Lists) == std::tuple_size_v<HistoryLists>,
                  "one list for each history column");
    return {&lists...};
}

// Appends the rows of a "SELECT *" on the history to the lists and returns
// their number. Columns are found by name once, so a table whose columns an
// older version added in another order still reads right.
int appendHistoryRows(QSqlQuery &query, const HistoryLists &lists, bool firstRowOnly)
{
    std::array<int, std::tuple_size_v<HistoryLists>> positions;
    const QSqlRecord columns = query.record();
    for (size_t i = 0; i < positions.size(); ++i) {
        positions[i] = columns.indexOf(QLatin1String(HISTORY_LIST_COLUMNS[i]));
    }
    int rows = 0;
    while (query.next()) {
        for (size_t i = 0; i < lists.size(); ++i) {
            lists[i]->append(positions[i] < 0 ? QString() : query.value(positions[i]).toString());
        }
        ++rows;
        if (firstRowOnly) {
            break;
        }
    }
    return rows;
}

QMutex s_pathMutex;

QString &configuredPath()
{
    static QString path = DAEMON_STATE_DIR + QStringLiteral("appstore.db");
    return path;
}

// The database file, made when missing, and its WAL side files when present,
// readable by root alone; SQLite gives new side files the mode of the
// database file. No link is followed.
bool makePrivateFiles(const QString &path)
{
    for (const QString &suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")}) {
        const int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | (suffix.isEmpty() ? O_CREAT : 0);
        const int fd =
            ::open(QFile::encodeName(path + suffix).constData(), flags, S_IRUSR | S_IWUSR);
        if (fd < 0 && !suffix.isEmpty() && errno == ENOENT)
            continue;
        struct stat info = {};
        const bool done = fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                          ::fchmod(fd, S_IRUSR | S_IWUSR) == 0;
        if (fd >= 0)
            ::close(fd);
        if (!done)
            return false;
    }
    return true;
}

} // namespace

struct AppstoreDb::Private
{
    explicit Private(const QString &path)
        : connections(path)
    {}

    // Not recursive: no operation calls another one while it holds the lock.
    QMutex mutex;
    SqliteThreadConnections connections;
    // False when the file lies where another user could put a link in its
    // place: every operation then fails on a connection that is not open.
    bool usable = true;

    QSqlDatabase connection() { return usable ? connections.connection() : QSqlDatabase(); }
};

AppstoreDb *AppstoreDb::instance()
{
    return AppStore::LazySingleton<AppstoreDb>::instance();
}

void AppstoreDb::setDatabasePath(const QString &path)
{
    QMutexLocker locker(&s_pathMutex);
    configuredPath() = path;
}

QString AppstoreDb::databasePath()
{
    QMutexLocker locker(&s_pathMutex);
    return configuredPath();
}

AppstoreDb::AppstoreDb(QObject *parent)
    : AppstoreDb(databasePath(), parent)
{}

AppstoreDb::AppstoreDb(const QString &path, QObject *parent)
    : QObject(parent)
    , d(std::make_unique<Private>(path))
{
    qRegisterMetaType<ParamStringMap>("ParamStringMap");
    qRegisterMetaType<NetRetryData>("NetRetryData");
    if (initDb()) {
        initApplicationHistoryTable();
        initSettingTable();
    }
}

AppstoreDb::~AppstoreDb() = default;

bool AppstoreDb::initDb()
{
    const QString path = d->connections.path();
    const QString folder = QFileInfo(path).absolutePath();
    QDir().mkpath(folder);
    qCDebug(daemonLogCategory).noquote() << Q_FUNC_INFO << "initDb database path is--->:" << path;
    QMutexLocker locker(&d->mutex);
    // History and settings are no other user's to read, nor to swap for a
    // link that root would then write through.
    if (!AppStore::FolderTrust::isRootsOwn(folder) || !makePrivateFiles(path)) {
        qCCritical(daemonLogCategory).noquote()
            << Q_FUNC_INFO
            << "database left unopened: its folder or file is not root's alone:" << path;
        d->usable = false;
        return false;
    }
    d->connection();
    return true;
}

void AppstoreDb::initApplicationHistoryTable()
{
    struct Step
    {
        const QString &statement;
        const char *failure;
    };
    const std::array<Step, 7> steps = {{
        {CREATE_HISTORY_TABLE, "Failed to initialize application_history table:"},
        {CREATE_HISTORY_INDEX, "Failed to create index for application_history table"},
        {CREATE_HISTORY_NAME_INDEX, "Failed to create index for application_history table"},
        {CREATE_ON_THE_SHELVES_TABLE, "Failed to initialize LocalOnTheShelvesAPP table:"},
        {CREATE_REPORT_BI_TABLE, "Failed to initialize report_bi table:"},
        {CREATE_KEY_VALUE_TABLE, "Failed to initialize key_value_info table:"},
        {CREATE_INSTALL_STATUS_TABLE, "Failed to initialize app_install_status table:"},
    }};
    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    for (const Step &step : steps) {
        if (!query.exec(step.statement)) {
            qCCritical(daemonLogCategory).noquote()
                << Q_FUNC_INFO << step.failure << query.lastError().text();
            return;
        }
    }
}

void AppstoreDb::initSettingTable()
{
    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    if (!query.exec(CREATE_SETTING_TABLE)) {
        qCCritical(daemonLogCategory).noquote()
            << Q_FUNC_INFO << "Failed to initialize setting table:" << query.lastError().text();
        return;
    }
    if (!query.exec(INSERT_DEFAULT_SETTING)) {
        qCCritical(daemonLogCategory).noquote()
            << Q_FUNC_INFO << "Failed to insert setting " << query.lastError().text();
    }
}

// ---- application_history -------------------------------------------------

void AppstoreDb::deleteApplicationHistoryInfo(const QStringList &packageNameList)
{
    if (packageNameList.isEmpty()) {
        return;
    }
    QMutexLocker locker(&d->mutex);
    QSqlDatabase db = d->connection();
    QSqlQuery query(db);
    query.prepare(DELETE_HISTORY_BY_NAME);
    query.addBindValue(boundTexts(packageNameList));
    // One commit for the whole list rather than one per name.
    if (!inTransaction(db, [&query] { return query.execBatch(); })) {
        qCCritical(daemonLogCategory).noquote()
            << Q_FUNC_INFO
            << "Failed to delete application_history entry:" << query.lastError().text();
    }
}

void AppstoreDb::deleteApplicationHistoryInfo(const QString &packageName)
{
    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    query.prepare(DELETE_HISTORY_BY_NAME);
    query.addBindValue(boundText(packageName));
    execLogged(query, Q_FUNC_INFO, "Failed to delete application_history entry:");
}

void AppstoreDb::selectApplicationHistoryInfo(
    QStringList &packageNameList, QStringList &versionList, QStringList &pathList,
    QStringList &operationList, QStringList &timeList, QStringList &contentList,
    QStringList &resultList, QStringList &appNameList, QStringList &iconUrlList,
    QStringList &appSizeList, QStringList &externColumnOneList, QStringList &externColumnTwoList,
    QStringList &packageModeList, QStringList &channelDataList, QStringList &channelIdList,
    QStringList &downloadLinkList, QStringList &sh256List, QStringList &fileSizeList,
    QStringList &isSpecificPkgList, QStringList &sessionIdList, QStringList &pkgInstallModeList)
{
    const HistoryLists lists = historyLists(
        packageNameList, versionList, pathList, operationList, timeList, contentList, resultList,
        appNameList, iconUrlList, appSizeList, externColumnOneList, externColumnTwoList,
        packageModeList, channelDataList, channelIdList, downloadLinkList, sh256List, fileSizeList,
        isSpecificPkgList, sessionIdList, pkgInstallModeList);
    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    if (query.exec(QStringLiteral("SELECT * FROM application_history"))) {
        appendHistoryRows(query, lists, false);
    }
}

bool AppstoreDb::selectApplicationHistoryInfoByOperation(
    const QString &iOperation, QStringList &packageNameList, QStringList &versionList,
    QStringList &pathList, QStringList &operationList, QStringList &timeList,
    QStringList &contentList, QStringList &resultList, QStringList &appNameList,
    QStringList &iconUrlList, QStringList &appSizeList, QStringList &externColumnOneList,
    QStringList &externColumnTwoList, QStringList &packageModeList, QStringList &channelDataList,
    QStringList &channelIdList, QStringList &downloadLinkList, QStringList &sh256List,
    QStringList &fileSizeList, QStringList &isSpecificPkgList, QStringList &sessionIdList,
    QStringList &pkgInstallModeList)
{
    const HistoryLists lists = historyLists(
        packageNameList, versionList, pathList, operationList, timeList, contentList, resultList,
        appNameList, iconUrlList, appSizeList, externColumnOneList, externColumnTwoList,
        packageModeList, channelDataList, channelIdList, downloadLinkList, sh256List, fileSizeList,
        isSpecificPkgList, sessionIdList, pkgInstallModeList);
    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    query.prepare(QStringLiteral("SELECT * FROM application_history WHERE operation = ?"));
    query.addBindValue(boundText(iOperation));
    return query.exec() && appendHistoryRows(query, lists, true) > 0;
}

bool AppstoreDb::selectApplicationHistoryInfoByName(
    const QString &packageName, QString &version, QString &path, QString &operation, QString &time,
    QString &content, QString &result, QString &appName, QString &iconUrl, QString &appSize,
    QString &externColumnOne, QString &externColumnTwo, QString &packageMode, QString &channelData,
    QString &channelId, QString &downloadLink, QString &sh256, QString &fileSize,
    QString &isSpecificPkg, QString &sessionId, QString &appType, QString &ownerRole,
    QString &pkgInstallMode)
{
    // In column order from "version" on.
    const std::array<QString *, 22> texts = {
        &version,         &path,           &operation,     &time,      &content,
        &result,          &appName,        &iconUrl,       &appSize,   &externColumnOne,
        &externColumnTwo, &packageMode,    &channelData,   &channelId, &downloadLink,
        &sh256,           &fileSize,       &isSpecificPkg, &sessionId, &appType,
        &ownerRole,       &pkgInstallMode,
    };
    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    query.prepare(SELECT_HISTORY_BY_NAME);
    query.addBindValue(boundText(packageName));
    if (!query.exec() || !query.next()) {
        return false;
    }
    const QSqlRecord row = query.record();
    for (size_t i = 0; i < texts.size(); ++i) {
        *texts[i] = historyText(row, HISTORY_COLUMNS[i + 1]);
    }
    return true;
}

bool AppstoreDb::selectApplicationHistoryInfoByName(const QString &packageName,
                                                    AppStore::PackageOperation &operation)
{
    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    query.prepare(SELECT_HISTORY_BY_NAME);
    query.addBindValue(boundText(packageName));
    if (!query.exec() || !query.next()) {
        return false;
    }
    const QSqlRecord row = query.record();
    operation.packagename = historyText(row, "packageName");
    operation.pkgVer = historyText(row, "version");
    operation.operation = historyText(row, "operation");
    operation.downloadedSize = historyText(row, "content");
    operation.name = historyText(row, "appName");
    operation.icon_url = historyText(row, "iconUrl");
    operation.totalSize = historyText(row, "appSize");
    operation.packagemode = historyText(row, "packageMode").toInt(nullptr, 10);
    operation.channelData = historyText(row, "channelData");
    operation.channelId = historyText(row, "channelId");
    operation.downloadLink = historyText(row, "downloadLink");
    operation.sh256 = historyText(row, "sh256");
    operation.packageSize = historyText(row, "fileSize").toLongLong(nullptr, 10);
    operation.isSpecificPkg = historyText(row, "isSpecificPkg").toInt(nullptr, 10);
    operation.sessionId = historyText(row, "sessionId");
    operation.pkgInstallMode = historyText(row, "pkgInstallMode").toInt(nullptr, 10);
    return true;
}

void AppstoreDb::updateApplicationHistoryInfo(
    const QString &packageName, const QString &version, const QString &path,
    const QString &operation, const QString &time, const QString &content, const QString &result,
    const QString &appName, const QString &iconUrl, const QString &appSize,
    const QString &externColumnOne, const QString &externColumnTwo, const QString &packageMode,
    const QString &channelData, const QString &channelId, const QString &downloadLink,
    const QString &sh256, const QString &fileSize, const QString &isSpecificPkg,
    const QString &sessionId, const QString &appType, const QString &ownerRole,
    const QString &pkgInstallMode)
{
    updateApplicationHistoryInfo(ApplicationHistoryRow{
        packageName,     version,         path,          operation,     time,
        content,         result,          appName,       iconUrl,       appSize,
        externColumnOne, externColumnTwo, packageMode,   channelData,   channelId,
        downloadLink,    sh256,           fileSize,      isSpecificPkg, sessionId,
        appType,         ownerRole,       pkgInstallMode});
}

void AppstoreDb::updateApplicationHistoryInfo(const ApplicationHistoryRow &row)
{
    if (row.packageName.trimmed().isEmpty()) {
        return;
    }
    // In column order from "version" on; appType and ownerRole fill app_type
    // and owner_role.
    const std::array<const QString *, 22> values = {
        &row.version,         &row.path,
        &row.operation,       &row.time,
        &row.content,         &row.result,
        &row.appName,         &row.iconUrl,
        &row.appSize,         &row.externColumnOne,
        &row.externColumnTwo, &row.packageMode,
        &row.channelData,     &row.channelId,
        &row.downloadLink,    &row.sh256,
        &row.fileSize,        &row.isSpecificPkg,
        &row.sessionId,       &row.appType,
        &row.ownerRole,       &row.pkgInstallMode,
    };

    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    // Any stored row of the name is updated, so a name never gains a second
    // row here, whatever the first row holds.
    query.prepare(
        QStringLiteral("SELECT 1 FROM application_history WHERE packageName = ? LIMIT 1"));
    query.addBindValue(boundText(row.packageName));
    const bool rowExists = query.exec() && query.next();
    query.finish();

    if (!rowExists) {
        query.prepare(QStringLiteral(
            "INSERT INTO application_history (packageName, version, path, operation, time, "
            "content, result, appName, iconUrl, appSize, externColumnOne, externColumnTwo, "
            "packageMode, channelData, channelId, downloadLink, sh256, fileSize, isSpecificPkg, "
            "sessionId, app_type, owner_role, pkgInstallMode) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, "
            "?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
        query.addBindValue(boundText(row.packageName));
        for (const QString *value : values) {
            query.addBindValue(boundText(*value));
        }
        if (query.exec()) {
            qCDebug(daemonLogCategory).noquote()
                << Q_FUNC_INFO << "insert application_history" << row.packageName << row.version;
        } else {
            qCCritical(daemonLogCategory).noquote()
                << Q_FUNC_INFO << "Failed to insert application_history "
                << query.lastError().text();
        }
        return;
    }

    QList<ColumnText> pairs;
    for (size_t i = 0; i < values.size(); ++i) {
        pairs.append({QLatin1String(HISTORY_COLUMNS[i + 1]), values[i]});
    }
    switch (updateNonBlankColumns(query, HISTORY_TABLE, pairs, QLatin1String("packageName"),
                                  row.packageName)) {
    case UpdateOutcome::Done:
        qCDebug(daemonLogCategory).noquote()
            << Q_FUNC_INFO << "update application_history" << row.packageName << row.version;
        break;
    case UpdateOutcome::NothingToWrite:
        qCCritical(daemonLogCategory).noquote()
            << Q_FUNC_INFO << "Failed to update application_history: no usable param";
        break;
    case UpdateOutcome::Failed:
        qCCritical(daemonLogCategory).noquote()
            << Q_FUNC_INFO << "Failed to update application_history " << query.lastError().text();
        break;
    }
}

void AppstoreDb::updatePackagesOperations(const QStringList &operations,
                                          const QString &targetOperation)
{
    // No code to match changes no row; no statement is needed for that.
    if (operations.isEmpty()) {
        return;
    }
    QStringList placeholders;
    for (qsizetype i = 0; i < operations.size(); ++i) {
        placeholders.append(QStringLiteral("?"));
    }
    const QString text = QStringLiteral("UPDATE application_history  SET operation = ? WHERE "
                                        "operation in ( ") +
                         placeholders.join(QLatin1Char(',')) + QStringLiteral(" )");
    qCDebug(daemonLogCategory).noquote() << Q_FUNC_INFO << text << operations << targetOperation;
    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    query.prepare(text);
    query.addBindValue(boundText(targetOperation));
    for (const QString &operation : operations) {
        query.addBindValue(boundText(operation));
    }
    if (!query.exec()) {
        qCCritical(daemonLogCategory).noquote() << Q_FUNC_INFO << query.lastError().text();
    }
}

void AppstoreDb::updateApplicationHistoryResult(const QString &packageName, const QString &target)
{
    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    query.prepare(
        QStringLiteral("UPDATE application_history  SET result = ? WHERE packageName = ?"));
    query.addBindValue(boundText(target));
    query.addBindValue(boundText(packageName));
    if (execLogged(query, Q_FUNC_INFO, "Failed to updateApplicationHistoryResult ")) {
        qCDebug(daemonLogCategory).noquote()
            << Q_FUNC_INFO << "updatePackagesResult" << packageName << target;
    }
}

void AppstoreDb::updateApplicationHistoryOperationByRemove(const QString &packageName)
{
    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    query.prepare(
        QStringLiteral("UPDATE application_history  SET operation=? WHERE packageName=?"));
    query.addBindValue(OPERATION_PURGE);
    query.addBindValue(boundText(packageName));
    if (execLogged(query, Q_FUNC_INFO,
                   "Failed to update application_history operation for remove")) {
        qCDebug(daemonLogCategory).noquote()
            << Q_FUNC_INFO << "update application_history operation for remove";
    }
}

void AppstoreDb::clearApplicationHistoryTable()
{
    QMutexLocker locker(&d->mutex);
    QSqlDatabase db = d->connection();
    QSqlQuery query(db);
    // One transaction: a failing step brings the old table back instead of
    // leaving the history without a table for the rest of the run.
    inTransaction(db, [&query]() {
        if (!query.exec(QStringLiteral("DROP TABLE IF EXISTS application_history"))) {
            qCCritical(daemonLogCategory).noquote()
                << Q_FUNC_INFO << "Failed to drop application_history table";
            return false;
        }
        if (!query.exec(CREATE_HISTORY_TABLE)) {
            qCCritical(daemonLogCategory).noquote()
                << Q_FUNC_INFO
                << "Failed to initialize application_history table:" << query.lastError().text();
            return false;
        }
        if (!query.exec(CREATE_HISTORY_INDEX) || !query.exec(CREATE_HISTORY_NAME_INDEX)) {
            qCCritical(daemonLogCategory).noquote()
                << Q_FUNC_INFO << "Failed to create index for application_history table"
                << query.lastError().text();
            return false;
        }
        return true;
    });
}

void AppstoreDb::updateApplicationHistoryInfoByUpgradeCheck(const QString &packageName,
                                                            const QString &version)
{
    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    query.prepare(QStringLiteral(
        "UPDATE application_history SET version = ? WHERE packageName = ? and (operation = ? "
        "or operation = ? or operation = ?)"));
    query.addBindValue(boundText(version));
    query.addBindValue(boundText(packageName));
    query.addBindValue(OPERATION_PAUSE);
    query.addBindValue(OPERATION_DOWNLOAD_ERROR);
    query.addBindValue(OPERATION_INSTALL_ERROR);
    if (execLogged(query, Q_FUNC_INFO,
                   "Failed to update application_history operation for upgradeCheck")) {
        qCDebug(daemonLogCategory).noquote()
            << Q_FUNC_INFO << "update application_history operation for upgradeCheck"
            << packageName;
    }
}

void AppstoreDb::getBiDataFromApplicationHistoryByOperations(
    QList<DownloadStateBiData> &biDataVector, const QString &operationStr)
{
    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    query.prepare(QStringLiteral(
        "SELECT packageName, version, sessionId FROM application_history WHERE operation = ?"));
    query.addBindValue(boundText(operationStr));
    if (!query.exec()) {
        return;
    }
    while (query.next()) {
        DownloadStateBiData data;
        data.package_name = query.value(0).toString();
        data.package_version = query.value(1).toString();
        data.session_id = query.value(2).toString();
        biDataVector.append(data);
    }
}

// ---- generic record operations --------------------------------------------

void AppstoreDb::seleteRecords(const QStringList &keyList, const ParamStringMap &where,
                               QList<QStringList> &resultList, const QString &table_name)
{
    if (keyList.isEmpty()) {
        return;
    }
    const qsizetype firstList = resultList.size();
    for (qsizetype i = 0; i < keyList.size(); ++i) {
        resultList.append(QStringList());
    }

    QMutexLocker locker(&d->mutex);
    QSqlDatabase db = d->connection();
    const QStringList columns = tableColumns(db, table_name);
    QStringList selected;
    for (const QString &key : keyList) {
        const QString column = realColumn(columns, key);
        if (column.isEmpty()) {
            qCWarning(daemonLogCategory).noquote()
                << Q_FUNC_INFO << "refused column" << key << "of table" << table_name;
            return;
        }
        selected.append(quotedIdentifier(column));
    }
    QString text = QStringLiteral("select ") + selected.join(QLatin1Char(',')) +
                   QStringLiteral(" from ") + quotedIdentifier(table_name);
    QStringList conditions;
    for (auto it = where.cbegin(); it != where.cend(); ++it) {
        const QString column = realColumn(columns, it.key());
        if (column.isEmpty()) {
            qCWarning(daemonLogCategory).noquote()
                << Q_FUNC_INFO << "refused column" << it.key() << "of table" << table_name;
            return;
        }
        conditions.append(quotedIdentifier(column) + QStringLiteral(" = ?"));
    }
    if (!conditions.isEmpty()) {
        text += QStringLiteral(" where ") + conditions.join(QStringLiteral(" and "));
    }

    QSqlQuery query(db);
    query.prepare(text);
    for (const QString &value : where) {
        query.addBindValue(boundText(value));
    }
    if (!db.transaction()) {
        return;
    }
    if (!query.exec()) {
        db.rollback();
        return;
    }
    while (query.next()) {
        for (qsizetype j = 0; j < keyList.size(); ++j) {
            resultList[firstList + j].append(query.value(int(j)).toString());
        }
    }
    query.finish();
    db.commit();
}

bool AppstoreDb::updateRecords(const ParamStringMap &where, const ParamStringMap &data,
                               const QString &table_name)
{
    const char *failure = "Failed to update LocalOnTheShelvesAPPTable entry:";
    if (where.isEmpty() || data.isEmpty()) {
        qCCritical(daemonLogCategory).noquote()
            << Q_FUNC_INFO << failure << "no column to set or no condition";
        return false;
    }

    QMutexLocker locker(&d->mutex);
    QSqlDatabase db = d->connection();
    const QStringList columns = tableColumns(db, table_name);
    auto assignments = [&columns](const ParamStringMap &map, QStringList &out) {
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            const QString column = realColumn(columns, it.key());
            if (column.isEmpty()) {
                return it.key();
            }
            out.append(quotedIdentifier(column) + QStringLiteral(" = ?"));
        }
        return QString();
    };
    QStringList sets;
    QStringList conditions;
    QString refused = assignments(data, sets);
    if (refused.isEmpty()) {
        refused = assignments(where, conditions);
    }
    if (!refused.isEmpty()) {
        qCCritical(daemonLogCategory).noquote()
            << Q_FUNC_INFO << failure << "no column" << refused << "in table" << table_name;
        return false;
    }

    QSqlQuery query(db);
    query.prepare(QStringLiteral("update ") + quotedIdentifier(table_name) +
                  QStringLiteral(" set ") + sets.join(QLatin1Char(',')) +
                  QStringLiteral(" where ") + conditions.join(QStringLiteral(" and ")));
    for (const QString &value : data) {
        query.addBindValue(boundText(value));
    }
    for (const QString &value : where) {
        query.addBindValue(boundText(value));
    }
    return execLogged(query, Q_FUNC_INFO, failure);
}

void AppstoreDb::clearTable(const QString &table_name)
{
    QMutexLocker locker(&d->mutex);
    QSqlDatabase db = d->connection();
    if (tableColumns(db, table_name).isEmpty()) {
        return;
    }
    QSqlQuery query(db);
    query.prepare(QStringLiteral("delete from ") + quotedIdentifier(table_name));
    inTransaction(db, [&query]() { return query.exec(); });
}

bool AppstoreDb::isExisted(const QString &tableName, const QString &columnName)
{
    bool exists = false;
    {
        QMutexLocker locker(&d->mutex);
        QSqlQuery query(d->connection());
        query.prepare(
            QStringLiteral("SELECT 1 FROM pragma_table_info(?) WHERE name = ? COLLATE NOCASE"));
        query.addBindValue(boundText(tableName));
        query.addBindValue(boundText(columnName));
        exists = query.exec() && query.next();
    }
    qCDebug(daemonLogCategory).noquote()
        << Q_FUNC_INFO << tableName
        << (exists ? " exists columnName." : " doesn't exist columnName.") << columnName;
    return exists;
}

void AppstoreDb::addNewColumn(const QString &tableName, const QString &columnName,
                              const QString &defaultValue)
{
    const char *failure = "Failed to addNewColumn application_history table:";
    if (!isPlainIdentifier(tableName) || !isPlainIdentifier(columnName)) {
        qCCritical(daemonLogCategory).noquote()
            << Q_FUNC_INFO << failure << "invalid name" << tableName << columnName;
        return;
    }
    // A default cannot be bound in a schema statement, so its quotes are doubled.
    QString literal = defaultValue;
    literal.replace(QLatin1Char('\''), QLatin1String("''"));
    const QString text =
        QStringLiteral("ALTER table %1 ADD COLUMN %2 TEXT default '%3'")
            .arg(quotedIdentifier(tableName), quotedIdentifier(columnName), literal);

    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    if (!query.exec(text)) {
        qCCritical(daemonLogCategory).noquote()
            << Q_FUNC_INFO << failure << query.lastError().text();
    }
}

void AppstoreDb::addAllNewColumn()
{
    for (const MigrationColumn &entry : MIGRATION_COLUMNS) {
        const QString table = QLatin1String(entry.table);
        const QString column = QLatin1String(entry.column);
        if (!isExisted(table, column)) {
            addNewColumn(table, column, QLatin1String(entry.defaultValue));
        }
    }
}

// ---- setting ---------------------------------------------------------------

bool AppstoreDb::selectSettingByColumnName(const QString &columnName, QString &value)
{
    QMutexLocker locker(&d->mutex);
    QSqlDatabase db = d->connection();
    // The name comes from bus clients: only a real column of the table is read.
    const QString column = realColumn(tableColumns(db, SETTING_TABLE), columnName);
    if (column.isEmpty()) {
        qCDebug(daemonLogCategory).noquote() << Q_FUNC_INFO << "no setting" << columnName;
        return false;
    }
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT ") + quotedIdentifier(column) +
                    QStringLiteral(" FROM setting")) ||
        !query.next()) {
        return false;
    }
    value = query.value(0).toString();
    return true;
}

bool AppstoreDb::updateSettingByColumnName(const QString &columnName, QString &value)
{
    QMutexLocker locker(&d->mutex);
    QSqlDatabase db = d->connection();
    const QString column = realColumn(tableColumns(db, SETTING_TABLE), columnName);
    if (column.isEmpty()) {
        qCCritical(daemonLogCategory).noquote() << Q_FUNC_INFO << "Failed to insert setting "
                                                << "no such column:" << columnName;
        return false;
    }
    QSqlQuery query(db);
    query.prepare(QStringLiteral("UPDATE setting  SET ") + quotedIdentifier(column) +
                  QStringLiteral(" = ?"));
    query.addBindValue(boundText(value));
    // The setting table holds one row; without it nothing was stored.
    if (!execLogged(query, Q_FUNC_INFO, "Failed to insert setting ") ||
        query.numRowsAffected() < 1) {
        return false;
    }
    qCDebug(daemonLogCategory).noquote() << Q_FUNC_INFO << "insert setting";
    return true;
}

// ---- LocalOnTheShelvesAPP --------------------------------------------------

namespace {

const char *const ON_THE_SHELVES_DELETE_FAILED =
    "Failed to delete LocalOnTheShelvesAPPTable entry:";
const char *const ON_THE_SHELVES_INSERT_FAILED =
    "Failed to insert LocalOnTheShelvesAPPTable entry:";

QString insertOnTheShelvesText()
{
    const QStringList &columns = onTheShelvesAppColumns();
    QStringList placeholders;
    for (qsizetype i = 0; i < columns.size(); ++i) {
        placeholders.append(QStringLiteral("?"));
    }
    return QStringLiteral("INSERT INTO LocalOnTheShelvesAPP (") +
           columns.join(QStringLiteral(", ")) + QStringLiteral(") VALUES (") +
           placeholders.join(QStringLiteral(", ")) + QStringLiteral(")");
}

// Runs the insert once per record with column-wise bound lists; stops at the
// first row that fails. insertedNames receives the package names.
bool insertOnTheShelvesBatch(QSqlQuery &query,
                             const QList<StoreService::AppBriefInfo> &packageInfoList,
                             const QString &accountType, QStringList &insertedNames)
{
    const qsizetype columnCount = onTheShelvesAppColumns().size();
    QList<QStringList> columnValues(columnCount);
    for (const StoreService::AppBriefInfo &info : packageInfoList) {
        const QStringList row = onTheShelvesAppRowValues(info, accountType);
        for (qsizetype k = 0; k < columnCount; ++k) {
            columnValues[k].append(row.at(k));
        }
    }
    insertedNames = columnValues.at(4);
    if (packageInfoList.isEmpty()) {
        return true;
    }
    query.prepare(insertOnTheShelvesText());
    for (const QStringList &values : std::as_const(columnValues)) {
        query.addBindValue(boundTexts(values));
    }
    return query.execBatch();
}

bool deleteOnTheShelvesBatch(QSqlQuery &query, const QStringList &names)
{
    if (names.isEmpty()) {
        return true;
    }
    query.prepare(DELETE_ON_THE_SHELVES_BY_NAME);
    query.addBindValue(boundTexts(names));
    return query.execBatch();
}

} // namespace

bool AppstoreDb::deleteLocalOnTheShelvesAppInfo(const QString &packagename)
{
    return deleteLocalOnTheShelvesAppInfos(QStringList{packagename});
}

bool AppstoreDb::deleteLocalOnTheShelvesAppInfos(const QStringList &packagenameList)
{
    QMutexLocker locker(&d->mutex);
    QSqlDatabase db = d->connection();
    QSqlQuery query(db);
    const bool done =
        inTransaction(db, [&]() { return deleteOnTheShelvesBatch(query, packagenameList); });
    if (!done) {
        qCCritical(daemonLogCategory).noquote()
            << Q_FUNC_INFO << ON_THE_SHELVES_DELETE_FAILED << query.lastError().text();
    }
    return done;
}

bool AppstoreDb::insertLocalOnTheShelvesAppInfo(const StoreService::AppBriefInfo &packageInfo,
                                                const QString &accountType)
{
    return insertLocalOnTheShelvesAppInfos({packageInfo}, accountType);
}

bool AppstoreDb::insertLocalOnTheShelvesAppInfos(
    const QList<StoreService::AppBriefInfo> &packageInfoList, const QString &accountType)
{
    QMutexLocker locker(&d->mutex);
    QSqlDatabase db = d->connection();
    QSqlQuery query(db);
    QStringList names;
    const bool done = inTransaction(
        db, [&]() { return insertOnTheShelvesBatch(query, packageInfoList, accountType, names); });
    if (done) {
        qCDebug(daemonLogCategory).noquote()
            << Q_FUNC_INFO << "insert LocalOnTheShelvesAPPTable entry:" << names;
    } else {
        qCCritical(daemonLogCategory).noquote()
            << Q_FUNC_INFO << ON_THE_SHELVES_INSERT_FAILED << query.lastError().text();
    }
    return done;
}

bool AppstoreDb::replaceLocalOnTheShelvesAppInfos(
    const QList<StoreService::AppBriefInfo> &packageInfoList, const QString &accountType)
{
    QStringList uniqueNames;
    for (const StoreService::AppBriefInfo &info : packageInfoList) {
        if (!uniqueNames.contains(info.package_name)) {
            uniqueNames.append(info.package_name);
        }
    }
    QMutexLocker locker(&d->mutex);
    QSqlDatabase db = d->connection();
    QSqlQuery query(db);
    QStringList names;
    const char *failure = ON_THE_SHELVES_DELETE_FAILED;
    const bool done = inTransaction(db, [&]() {
        if (!deleteOnTheShelvesBatch(query, uniqueNames)) {
            return false;
        }
        failure = ON_THE_SHELVES_INSERT_FAILED;
        return insertOnTheShelvesBatch(query, packageInfoList, accountType, names);
    });
    if (done) {
        qCDebug(daemonLogCategory).noquote()
            << Q_FUNC_INFO << "insert LocalOnTheShelvesAPPTable entry:" << names;
    } else {
        qCCritical(daemonLogCategory).noquote()
            << Q_FUNC_INFO << failure << query.lastError().text();
    }
    return done;
}

void AppstoreDb::selectLocalOnTheShelvesAppInfoByName(const QString &packagename,
                                                      StoreService::AppBriefInfo &packageInfo)
{
    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    query.prepare(QStringLiteral("SELECT * FROM LocalOnTheShelvesAPP WHERE package_name =?"));
    query.addBindValue(boundText(packagename));
    if (query.exec() && query.next()) {
        OnTheShelvesAppRowReader(query).read(query, packageInfo);
    }
}

void AppstoreDb::selectLocalOnTheShelvesAppInfos(QList<StoreService::AppBriefInfo> &infoList)
{
    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    if (!query.exec(QStringLiteral("SELECT * FROM LocalOnTheShelvesAPP"))) {
        return;
    }
    const OnTheShelvesAppRowReader reader(query);
    while (query.next()) {
        StoreService::AppBriefInfo info;
        reader.read(query, info);
        infoList.append(info);
    }
}

// ---- report_bi ---------------------------------------------------------------

uint AppstoreDb::getCountReportBi()
{
    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    if (!query.exec(QStringLiteral("SELECT count(*) FROM report_bi;")) || !query.next()) {
        return 0;
    }
    return query.value(0).toUInt();
}

void AppstoreDb::selectReportBiInfo(const QString &type, QList<NetRetryData> &biDataVector)
{
    // Every stored report is replayed, whatever its type.
    Q_UNUSED(type)
    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    if (!query.exec(QStringLiteral("SELECT * FROM report_bi ORDER BY id asc;"))) {
        return;
    }
    while (query.next()) {
        const QSqlRecord row = query.record();
        NetRetryData data;
        data.id = row.value(QStringLiteral("id")).toUInt();
        data.type = row.value(QStringLiteral("type")).toString();
        data.reportData = row.value(QStringLiteral("reportData")).toString();
        biDataVector.append(data);
    }
}

bool AppstoreDb::insertReportBiInfo(const NetRetryData &reportBiTable)
{
    const QString now = AppStore::SmallUtils::nowText();
    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    query.prepare(QStringLiteral(
        "INSERT INTO report_bi (type, reportData, createTime, updateTime) VALUES (?, ?, ?, ?)"));
    query.addBindValue(boundText(reportBiTable.type));
    query.addBindValue(boundText(reportBiTable.reportData));
    query.addBindValue(now);
    query.addBindValue(now);
    qCDebug(daemonLogCategory).noquote() << Q_FUNC_INFO << "type:" << reportBiTable.type;
    return execLogged(query, Q_FUNC_INFO, "Failed to insert ReportBi entry:");
}

bool AppstoreDb::updateReportBiInfo(quint32 id)
{
    const QString now = AppStore::SmallUtils::nowText();
    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    query.prepare(QStringLiteral("UPDATE report_bi SET updateTime = ? WHERE id = ?"));
    query.addBindValue(now);
    query.addBindValue(qlonglong(id));
    qCDebug(daemonLogCategory).noquote() << Q_FUNC_INFO << "id:" << id;
    if (!query.exec()) {
        qCCritical(daemonLogCategory).noquote()
            << Q_FUNC_INFO << "Failed to update ReportBi" << query.lastError().text();
        return false;
    }
    qCDebug(daemonLogCategory).noquote() << Q_FUNC_INFO << "updateReportBiInfo true,id:" << id;
    return true;
}

void AppstoreDb::deleteReportBiInfo(quint32 id)
{
    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    query.prepare(QStringLiteral("DELETE FROM report_bi WHERE id = ?"));
    query.addBindValue(qlonglong(id));
    execLogged(query, Q_FUNC_INFO, "Failed to delete reprot_bi entry:");
}

// ---- key_value_info ----------------------------------------------------------

bool AppstoreDb::insertKeyValueInfo(const QString &key, const QString &value)
{
    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    query.prepare(QStringLiteral("INSERT INTO key_value_info (key, value) VALUES (?, ?)"));
    query.addBindValue(boundText(key));
    query.addBindValue(boundText(value));
    return execLogged(query, Q_FUNC_INFO, "Failed to insert KeyValueInfo entry:");
}

bool AppstoreDb::selectKeyValueInfo(const QString &key, QString &value)
{
    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    query.prepare(QStringLiteral("SELECT value FROM key_value_info WHERE key = ?"));
    query.addBindValue(boundText(key));
    if (!query.exec()) {
        return false;
    }
    bool found = false;
    while (query.next()) {
        value = query.value(0).toString();
        found = true;
    }
    return found;
}

bool AppstoreDb::updateKeyValueInfo(const QString &key, const QString &value)
{
    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    query.prepare(QStringLiteral("UPDATE key_value_info SET value = ? WHERE key= ?"));
    query.addBindValue(boundText(value));
    query.addBindValue(boundText(key));
    return execLogged(query, Q_FUNC_INFO, "Failed to update KeyValueInfo entry:");
}

// ---- app_install_status ------------------------------------------------------

bool AppstoreDb::insertInstallStatus(const QString &packageName, const QString &appName,
                                     const QString &desktop, const QString &appType,
                                     const QString &appState, const QString &ownerRole,
                                     const QString &createTime, const QString &updateTime)
{
    if (packageName.trimmed().isEmpty()) {
        return false;
    }
    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    query.prepare(
        QStringLiteral("SELECT create_time FROM app_install_status WHERE package_name = ?"));
    query.addBindValue(boundText(packageName));
    QString storedCreateTime;
    if (query.exec() && query.next()) {
        storedCreateTime = query.value(0).toString();
    }
    query.finish();

    // A stored row is updated whatever the clock says: after the clock was
    // set back an insert would only collide with that row and lose the state.
    if (!storedCreateTime.isEmpty()) {
        const QList<ColumnText> pairs = {
            {QLatin1String("app_name"), &appName},
            {QLatin1String("desktop"), &desktop},
            {QLatin1String("app_type"), &appType},
            {QLatin1String("app_status"), &appState},
            {QLatin1String("owner_role"), &ownerRole},
            {QLatin1String("create_time"), &storedCreateTime},
            {QLatin1String("update_time"), &updateTime},
        };
        switch (updateNonBlankColumns(query, QStringLiteral("app_install_status"), pairs,
                                      QLatin1String("package_name"), packageName)) {
        case UpdateOutcome::Done:
            qCDebug(daemonLogCategory).noquote()
                << Q_FUNC_INFO << "update app_install_status" << packageName;
            return true;
        case UpdateOutcome::NothingToWrite:
            qCCritical(daemonLogCategory).noquote()
                << Q_FUNC_INFO << "Failed to update app_install_status: no usable param";
            return false;
        case UpdateOutcome::Failed:
            qCCritical(daemonLogCategory).noquote()
                << Q_FUNC_INFO << "Failed to update app_install_status "
                << query.lastError().text();
            return false;
        }
    }

    const QStringList values = {packageName, appName,   desktop,    appType,
                                appState,    ownerRole, createTime, updateTime};
    query.prepare(QStringLiteral(
        "INSERT INTO app_install_status (package_name, app_name, desktop, app_type, app_status, "
        "owner_role, create_time, update_time) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"));
    for (const QString &value : values) {
        query.addBindValue(boundText(value));
    }
    if (!query.exec()) {
        qCCritical(daemonLogCategory).noquote()
            << Q_FUNC_INFO
            << "Failed to insert app_install_status entry:" << query.lastError().text();
        qCDebug(daemonLogCategory).noquote() << Q_FUNC_INFO << values;
        return false;
    }
    qCDebug(daemonLogCategory).noquote()
        << Q_FUNC_INFO << "insert app_install_status" << packageName;
    return true;
}

bool AppstoreDb::updateInstallStatus(const QString &packageName, const QString &state)
{
    const QString now = AppStore::SmallUtils::nowText();
    QMutexLocker locker(&d->mutex);
    QSqlQuery query(d->connection());
    query.prepare(QStringLiteral(
        "UPDATE app_install_status SET app_status = ?, update_time = ? WHERE package_name = ?"));
    query.addBindValue(boundText(state));
    query.addBindValue(now);
    query.addBindValue(boundText(packageName));
    return execLogged(query, Q_FUNC_INFO, "Failed to update app_install_status entry:");
}
