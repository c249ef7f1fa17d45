// Runs the install manager on one package so that a test can kill this
// process in the middle of the install, as a crash of the daemon would, or
// send it SIGTERM, as the service manager's stop does.
//
// engine_crash_driver <appstore.db> <cache.db> <state dir> <apt etc dir>
//                     <cache dir> <package> <login>
//
// Prints "pid <pid> pgid <pgid>" at once, "installing" when the install
// stage has begun and "finished" if the install ends before anyone killed
// this process. On SIGTERM it stops as the daemon does and prints "stopped"
// once the manager is ready to end. Every folder and the apt configuration are prepared by the
// test, which owns them.

#include "common/apt_task.h"
#include "database/appstoredb.h"
#include "database/cachedatabase.h"
#include "engine_test_setup.h"
#include "task/apt_install_manager.h"
#include "utils/termination_signal_notifier.h"
#include "utils/utils.h"

#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

namespace {

// Far above the test's slow maintainer script, far below its own time-outs.
constexpr int kShutdownWaitMs = 5 * 60 * 1000;

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

    Apt_Task task = EngineTestSetup::storeTask(args.at(6), args.at(7));

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
    TerminationSignalNotifier termination;
    QObject::connect(&termination, &TerminationSignalNotifier::terminationRequested, manager,
                     [manager] { manager->beginShutdown(kShutdownWaitMs); });
    QObject::connect(manager, &AptInstallManager::sigShutdownReady, &app, [] {
        say("stopped");
        QCoreApplication::quit();
    });
    QMetaObject::invokeMethod(manager, "addDownloadPoolTask", Qt::QueuedConnection,
                              Q_ARG(Apt_Task &, task));
    // Runs until killed or stopped; the test bounds the wait.
    const int status = app.exec();
    manager->stopThread();
    delete manager;
    return status;
}
