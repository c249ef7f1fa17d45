// Writes to a store database until it is killed: each round one batch of
// published-application rows in one transaction and one history row, then
// prints "committed <rounds>" once both are committed.

#include "database/appstoredb.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <database file>\n", argv[0]);
        return 2;
    }
    AppstoreDb db(QString::fromLocal8Bit(argv[1]));
    const int batchSize = 50;
    // Runs on the same file must not collide on the primary key.
    const QString run = QString::number(QCoreApplication::applicationPid());
    for (int round = 0; round < 1000000; ++round) {
        QList<StoreService::AppBriefInfo> batch;
        for (int i = 0; i < batchSize; ++i) {
            StoreService::AppBriefInfo info;
            info.id = run + QStringLiteral("-%1-%2").arg(round).arg(i);
            info.package_name = QStringLiteral("pkg-%1-%2").arg(round).arg(i);
            info.brief_info = QString(512, QLatin1Char('b'));
            batch.append(info);
        }
        if (!db.insertLocalOnTheShelvesAppInfos(batch)) {
            return 1;
        }
        const QString name = run + QStringLiteral("-history-%1").arg(round);
        db.updateApplicationHistoryInfo(
            name, QStringLiteral("1.0"), QStringLiteral("0"), QStringLiteral("6"), QString(),
            QString(), QString(), QString(), QString(), QString(), QString(), QString(), QString(),
            QString(), QString(), QString(), QString(), QString(), QString(), QString());
        std::printf("committed %d\n", round + 1);
        std::fflush(stdout);
    }
    return 0;
}
