// Install-and-purge cycles of one small package through the install manager
// and with plain apt-get, on the same private apt configuration and loopback
// repository. Needs root; the package is purged at the end.
// Usage: engine_install_bench [cycles, default 5]

#include "common/apt_task.h"
#include "database/cachedatabase.h"
#include "engine_test_setup.h"
#include "task/apt_install_manager.h"
#include "test_env.h"
#include "utils/utils.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLoggingCategory>

#include <cstdio>
#include <unistd.h>

namespace {

const QString kPackage = QStringLiteral("twk-test-bench");
const QString kUser = QStringLiteral("twk-bench");
constexpr int kCycleLimitMs = 300000;

Apt_Task storeTask()
{
    return EngineTestSetup::storeTask(kPackage, kUser);
}

// Apt keeps what it downloaded; the manager's runs delete it. Both cycles
// start from an empty archive folder so that both download.
void emptyArchives()
{
    QDir archives(AppStore::Utils::cacheDir() + QStringLiteral("archives/"));
    for (const QString &name : archives.entryList({QStringLiteral("*.deb")}, QDir::Files))
        archives.remove(name);
}

// Milliseconds of one engine install and purge; -1 when either failed.
qint64 engineCycle(AptInstallManager &manager, bool &installed, bool &purged)
{
    installed = false;
    purged = false;
    bool installEnded = false;
    bool purgeEnded = false;
    const auto progress = QObject::connect(
        &manager, &AptInstallManager::sigIntallProgress, &manager,
        [&](QString, QString package, int state, qlonglong, qlonglong done, QString status) {
            if (package == kPackage && state == 1 &&
                status.contains(QLatin1String("[Session Complete...]"))) {
                installEnded = true;
                installed = done != -1;
            }
        },
        Qt::DirectConnection);
    const auto purge = QObject::connect(
        &manager, &AptInstallManager::sigPurgeFinished, &manager,
        [&](QString, QString package, bool ok) {
            if (package == kPackage) {
                purgeEnded = true;
                purged = ok;
            }
        },
        Qt::DirectConnection);

    emptyArchives();
    QElapsedTimer timer;
    timer.start();
    Apt_Task task = storeTask();
    QMetaObject::invokeMethod(&manager, "addDownloadPoolTask", Qt::QueuedConnection,
                              Q_ARG(Apt_Task &, task));
    TestEnv::waitFor([&] { return installEnded; }, kCycleLimitMs);
    if (installed) {
        task.taskType = 1;
        manager.addPurgeTask(task);
        TestEnv::waitFor([&] { return purgeEnded; }, kCycleLimitMs);
    }
    const qint64 elapsed = timer.elapsed();
    QObject::disconnect(progress);
    QObject::disconnect(purge);
    return installed && purged ? elapsed : -1;
}

qint64 aptCycle()
{
    emptyArchives();
    const QStringList config{QStringLiteral("-c"), AppStore::Utils::aptConfigFilePath(),
                             QStringLiteral("-y")};
    const QStringList environment{QStringLiteral("DEBIAN_FRONTEND=noninteractive")};
    QElapsedTimer timer;
    timer.start();
    const bool ok =
        TestEnv::runTool(QStringLiteral("apt-get"),
                         config + QStringList{QStringLiteral("install"), kPackage}, environment)
            .succeeded() &&
        TestEnv::runTool(QStringLiteral("apt-get"),
                         config + QStringList{QStringLiteral("purge"), kPackage}, environment)
            .succeeded();
    return ok ? timer.elapsed() : -1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int cycles = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 5;
    if (cycles < 1) {
        std::fprintf(stderr, "usage: %s [cycles >= 1]\n", argv[0]);
        return 2;
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr, "needs root: it installs and purges %s\n", qPrintable(kPackage));
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("TWK_SOURCE_DIR"))
        qputenv("TWK_SOURCE_DIR", TWK_BENCH_SOURCE_DIR);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false"));

    int status = 0;
    {
        EngineTestSetup setup;
        if (!setup.repository().addPackage(kPackage, QStringLiteral("1.0")) ||
            !setup.start(QStringLiteral(TWK_BENCH_ACCOUNT_STANDIN), {kUser + QStringLiteral("=2")},
                         0)) {
            std::fprintf(stderr, "set-up failed: %s\n", qPrintable(setup.errorString()));
            return 1;
        }
        auto *manager = new AptInstallManager;
        qint64 engineTotal = 0;
        qint64 aptTotal = 0;
        for (int i = 0; i < cycles && status == 0; ++i) {
            bool installed = false;
            bool purged = false;
            const qint64 engine = engineCycle(*manager, installed, purged);
            const qint64 apt = aptCycle();
            if (engine < 0 || apt < 0) {
                std::fprintf(stderr, "cycle %d failed (engine install %d purge %d, apt-get %s)\n",
                             i + 1, installed, purged, apt < 0 ? "failed" : "ok");
                status = 1;
                break;
            }
            std::printf("cycle %d: engine %lld ms, apt-get %lld ms\n", i + 1,
                        static_cast<long long>(engine), static_cast<long long>(apt));
            engineTotal += engine;
            aptTotal += apt;
        }
        manager->stopThread();
        delete manager;
        CacheDatabase::instance()->stop();
        TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("--purge"), kPackage});
        if (status == 0) {
            const double engineMean = double(engineTotal) / cycles;
            const double aptMean = double(aptTotal) / cycles;
            std::printf("install+purge of %s, %d cycles\n", qPrintable(kPackage), cycles);
            std::printf("engine mean: %.0f ms\napt-get mean: %.0f ms\nratio engine/apt-get: %.2f\n",
                        engineMean, aptMean, engineMean / aptMean);
        }
    }
    return status;
}
