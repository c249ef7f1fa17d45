// History upserts and reads per second on a store database holding 100,000
// history rows. Usage: appstoredb_bench [directory for the database file]

#include "database/appstoredb.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>

#include <cstdio>
#include <functional>

namespace {

const int ROWS = 100000;
const qint64 RUN_MS = 3000;

QString packageName(int i)
{
    return QStringLiteral("bench-package-%1").arg(i);
}

// Fills the history directly, in one transaction, so that the set-up does
// not dominate the run.
void fillHistory(const QString &path)
{
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fill"));
        db.setDatabaseName(path);
        db.open();
        db.transaction();
        QSqlQuery query(db);
        query.prepare(QStringLiteral(
            "INSERT INTO application_history (packageName, version, path, operation, time, "
            "content, result, appName, iconUrl, appSize, sessionId) VALUES (?, ?, '0', '1', "
            "'2024-01-01 00:00:00', '0', '1', ?, 'https://127.0.0.1/icon.png', '4096', ?)"));
        for (int i = 0; i < ROWS; ++i) {
            query.addBindValue(packageName(i));
            query.addBindValue(QStringLiteral("1.%1").arg(i));
            query.addBindValue(QStringLiteral("Application %1").arg(i));
            query.addBindValue(QStringLiteral("session-%1").arg(i));
            query.exec();
        }
        db.commit();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fill"));
}

// Runs op for RUN_MS and returns operations per second.
double perSecond(const std::function<void(int)> &op)
{
    QElapsedTimer timer;
    timer.start();
    int count = 0;
    while (timer.elapsed() < RUN_MS) {
        op(count++);
    }
    return count * 1000.0 / double(timer.elapsed());
}

void upsert(AppstoreDb &db, const QString &name, const QString &operation)
{
    db.updateApplicationHistoryInfo(name, QStringLiteral("2.0"), QStringLiteral("0"), operation,
                                    QStringLiteral("2024-01-02 00:00:00"), QStringLiteral("512"),
                                    QString(), QString(), QString(), QString(), QString(),
                                    QString(), QString(), QString(), QString(), QString(),
                                    QString(), QString(), QString(), QString());
}

void measure(AppstoreDb &db, const char *label)
{
    QRandomGenerator random(42);
    const double updates = perSecond(
        [&](int) { upsert(db, packageName(int(random.bounded(ROWS))), QStringLiteral("3")); });
    const double inserts = perSecond([&](int i) {
        upsert(db, QStringLiteral("%1-new-%2").arg(QLatin1String(label)).arg(i),
               QStringLiteral("6"));
    });
    const double selects = perSecond([&](int) {
        AppStore::PackageOperation operation;
        db.selectApplicationHistoryInfoByName(packageName(int(random.bounded(ROWS))), operation);
    });
    QElapsedTimer timer;
    timer.start();
    QStringList lists[21];
    db.selectApplicationHistoryInfo(lists[0], lists[1], lists[2], lists[3], lists[4], lists[5],
                                    lists[6], lists[7], lists[8], lists[9], lists[10], lists[11],
                                    lists[12], lists[13], lists[14], lists[15], lists[16],
                                    lists[17], lists[18], lists[19], lists[20]);
    const qint64 listMs = timer.elapsed();
    std::printf("%-28s upsert (update) %9.0f/s  upsert (insert) %9.0f/s  select by name %9.0f/s"
                "  all %lld rows in %lld ms\n",
                label, updates, inserts, selects, static_cast<long long>(lists[0].size()),
                static_cast<long long>(listMs));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // One debug line per upsert would measure the console, not the database.
    QLoggingCategory::setFilterRules(
        QStringLiteral("com.velkor.app-store.system-daemon.debug=false"));
    QTemporaryDir scratch(
        argc > 1 ? QString::fromLocal8Bit(argv[1]) + QStringLiteral("/benchXXXXXX") : QString());
    if (!scratch.isValid()) {
        std::fprintf(stderr, "no scratch directory\n");
        return 1;
    }
    const QString path = scratch.filePath(QStringLiteral("appstore.db"));
    {
        AppstoreDb create(path);
    }
    fillHistory(path);
    std::printf("database %s, %d history rows, %lld ms per figure\n", qPrintable(path), ROWS,
                static_cast<long long>(RUN_MS));

    AppstoreDb db(path);
    measure(db, "history");
    return 0;
}
