// Runs the install manager on one package so that a test can kill this
// process in the middle of the install, as a crash of the daemon would.
//
// engine_crash_driver <appstore.db> <cache.db> <state dir> <apt etc dir>
//                     <cache dir> <package> <login>
//
// Prints "pid <pid> pgid <pgid>" at once, "installing" when the install
// stage has begun and "finished" if the install ends before anyone killed
// this process. Every folder and the apt configuration are prepared by the
// test, which owns them.

#include "common/apt_task.h"
#include "database/appstoredb.h"
#include "database/cachedatabase.h"
#include "task/apt_install_manager.h"
#include "utils/utils.h"

#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

namespace {

void say(const QByteArray &line)
{
    std::fputs(line.constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 8) {
        std::fputs("usage: engine_crash_driver <appstore.db> <cache.db> <state dir> "
                   "<apt etc dir> <cache dir> <package> <login>\n",
                   stderr);
        return 2;
    }
    say("pid " + QByteArray::number(qint64(::getpid())) + " pgid " +
        QByteArray::number(qint64(::getpgrp())));

    AppstoreDb::setDatabasePath(args.at(1));
    CacheDatabase::setDatabasePath(args.at(2));
    AppstoreDb::instance();
    AppStore::Utils::setRoots(args.at(3), args.at(4), args.at(5));

    Apt_Task task;
    task.sourceId = QStringLiteral("velkor-app-store");
    task.packageName = args.at(6);
    task.version = QStringLiteral("1.0");
    task.appName = args.at(6);
    task.loginName = args.at(7);
    task.appType = QStringLiteral("0");

    auto *manager = new AptInstallManager;
    bool installing = false;
    QObject::connect(
        manager, &AptInstallManager::sigIntallProgress, &app,
        [&installing](QString, QString, int state, qlonglong, qlonglong, QString status) {
            if (state == 1 && !installing) {
                installing = true;
                say("installing");
            }
            if (status.contains(QLatin1String("[Session Complete...]")))
                say("finished");
        });
    QMetaObject::invokeMethod(manager, "addDownloadPoolTask", Qt::QueuedConnection,
                              Q_ARG(Apt_Task &, task));
    // Runs until killed; the test bounds the wait.
    return app.exec();
}
