#include "common/daemon_log.h"
#include "dbus/app_store_interface.h"
#include "log_rules_watcher.h"
#include "systemdaemonapplication.h"
#include "utils/kapla_gate.h"
#include "utils/private_lists_gate.h"
#include "utils/proxy_system.h"
#include "utils/termination_signal_notifier.h"
#include "utils/utils.h"
#include "utils/worker_thread.h"

#include <QCommandLineParser>

#include <cstdio>

#include <malloc.h>
#include <unistd.h>

int main(int argc, char *argv[])
{
    // A dozen mostly idle worker threads would each get an arena of their own
    // and keep its freed pages; two arenas are plenty for this little heap.
    ::mallopt(M_ARENA_MAX, 2);
    // Before anything else, so that the filter rules hold for the first line.
    LogRulesWatcher logRulesWatcher;
    SystemDaemonApplication app(argc, argv);

    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(app);

    if (AppStore::Utils::getCurrentUser().uid != 0) {
        qCWarning(daemonLogCategory) << "Please run as root";
        return 1;
    }

    SystemDaemonApplication::initLog();
    AppStore::Utils::setNiceAndPriority(10, 0);
    AppStore::KaplaGate::refreshAside();

    // A second daemon must leave the running one's log, database and package
    // cache alone, so everything that touches them waits for the name.
    if (!AppStoreInterface::instance()->registerDBus()) {
        return 3;
    }
    SystemDaemonApplication::initLogFile();
    AppStoreInterface::instance()->startWorkers();

    AppStore::Utils::updateSourceDir();
    AppStore::Utils::checkCustomCacheDir();
    AppStore::Utils::aptConfigVersion(true);
    AppStore::PrivateListsGate::runAside([] { AppStore::Utils::enableSystemdService(); });
    ProxySystem::loadProxy();
    // What the start-up steps allocated and freed goes back to the system.
    ::malloc_trim(0);

    // systemctl stop and the shut-down of the machine: an install in its
    // unpack is let finish instead of being killed with the daemon.
    TerminationSignalNotifier termination;
    QObject::connect(&termination, &TerminationSignalNotifier::terminationRequested, &app,
                     [] { AppStoreInterface::instance()->shutDown(); });

    const int status = app.exec();
    // A thread still at work past its stop's bound (a long call, a hook
    // task, a worker in a job) would meet the singletons it uses being
    // destroyed under it; the log is written line by line, the databases
    // commit as they go.
    if (AppStore::anyThreadLeftRunning()) {
        std::fflush(nullptr);
        ::_exit(status);
    }
    return status;
}
