// The check of installed applications for upgrades, in process, over many
// installed desktop packages whose newer version both apt and the store
// stand-in know. Per check, with the pause after each store request at 0 and
// at 500 ms:
// - package reads: from "App upgrade check start" to "isAptUpdateNeeded =";
// - apt wait and list: from there to the first store request reaching the
//   stand-in (one step of the apt update wait, apt's listing, and the set-up
//   of the first request);
// - store passes: from there to the on-the-shelves line (or, without one, the
//   notification), so the history and on-the-shelves writes count here;
// - total: from the start line to the notification;
// the store requests with their names, and resident memory before, at its
// peak and after the check returned its heap. Needs root; holds the
// machine-wide lock of the package tests while packages are installed, and
// purges them at the end, on failure and on SIGINT/SIGTERM too.
// Usage: upgrade_check_bench [packages, default 300]

#include "engine_test_setup.h"
#include "local_https_server.h"
#include "store_test_setup.h"
#include "system_tests_lock.h"
#include "test_env.h"
#include "upgradable_packages.h"

#include "apt_utils/apt_index_update.h"
#include "task/app_upgrade_check.h"
#include "utils/apt_update_gate.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QUrlQuery>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

const QString kBriefPath = QStringLiteral("/store-dist-app/getAppBriefInfo");
constexpr int kCheckLimitMs = 600000;

// The checker's debug lines that bound the steps of one check.
const QString kStartLine = QStringLiteral("App upgrade check start");
const QString kAptWaitLine = QStringLiteral("isAptUpdateNeeded =");
const QString kShelvesLine = QStringLiteral("Current LocalOnTheShelvesAppTable count:");
const QString kTrimLine =
    QStringLiteral("LocalAppUpgradeCheck::OnLocalAppsUpgradeCheckSlot malloc_trim:");

// Kilobytes of a "Vm..." line of /proc/self/status; -1 when absent.
qint64 statusKb(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// When each marked debug line was written first since the last reset, in
// milliseconds since the epoch, and the peak of resident memory by then;
// written from any thread.
class LineClock
{
public:
    static LineClock &instance()
    {
        static LineClock clock;
        return clock;
    }

    void reset()
    {
        QMutexLocker locker(&m_mutex);
        m_times.clear();
        m_peaksKb.clear();
    }

    void note(const QString &message)
    {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        QMutexLocker locker(&m_mutex);
        for (const QString &mark : {kStartLine, kAptWaitLine, kShelvesLine, kTrimLine}) {
            if (message.contains(mark) && !m_times.contains(mark)) {
                m_times.insert(mark, now);
                m_peaksKb.insert(mark, statusKb("VmHWM"));
            }
        }
    }

    qint64 at(const QString &mark) const
    {
        QMutexLocker locker(&m_mutex);
        return m_times.value(mark, -1);
    }

    qint64 peakKbAt(const QString &mark) const
    {
        QMutexLocker locker(&m_mutex);
        return m_peaksKb.value(mark, -1);
    }

private:
    mutable QMutex m_mutex;
    QMap<QString, qint64> m_times;
    QMap<QString, qint64> m_peaksKb;
};

QtMessageHandler defaultHandler = nullptr;

// An interrupted run still purges and puts the machine's apt files back: the
// signal ends the current step early, not the process.
volatile std::sig_atomic_t interruptedBy = 0;

void noteInterruption(int signal)
{
    interruptedBy = signal;
}

bool interrupted()
{
    return interruptedBy != 0;
}

// The daemon's warnings about the missing parts of a desktop machine would
// bury the figures; they are shown only when a check fails.
QMutex warningsMutex;
QStringList warnings;

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg) {
        LineClock::instance().note(message);
    } else if (type == QtInfoMsg || type == QtWarningMsg) {
        QMutexLocker locker(&warningsMutex);
        warnings.append(message);
        if (warnings.size() > 30)
            warnings.removeFirst();
    } else {
        defaultHandler(type, context, message);
    }
}

void printLastWarnings()
{
    QMutexLocker locker(&warningsMutex);
    for (const QString &warning : std::as_const(warnings))
        std::fprintf(stderr, "  %s\n", qPrintable(warning));
}

int setUpFailed(const char *step, const QString &error)
{
    std::fprintf(stderr, "%s: %s\n", step, interrupted() ? "interrupted" : qPrintable(error));
    return 1;
}

// The kernel's peak of this process's resident memory starts again at the
// current value.
void resetPeakRss()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (clearRefs.open(QIODevice::WriteOnly))
        clearRefs.write("5");
}

double mib(qint64 kb)
{
    return kb / 1024.0;
}

// The store's brief-info requests after the first `skip` of the log, each
// with the moment this process first saw it.
class RequestWatch
{
public:
    RequestWatch(const LocalHttpsServer &server, int skip)
        : m_server(server)
        , m_skip(skip)
    {}

    void poll()
    {
        const QList<LocalHttpsServer::Request> log = m_server.requestLog();
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        for (int i = m_skip + m_names.size(); i < log.size(); ++i) {
            if (!log.at(i).path.startsWith(kBriefPath)) {
                ++m_skip;
                continue;
            }
            const QUrlQuery query(log.at(i).path.section(u'?', 1));
            m_names.append(query.allQueryItemValues(QStringLiteral("package_names")).size());
            m_times.append(now);
        }
    }

    QList<int> names() const { return m_names; }
    qint64 firstAt() const { return m_times.value(0, -1); }
    // Milliseconds from each request to the next.
    QList<qint64> gaps() const
    {
        QList<qint64> gaps;
        for (int i = 1; i < m_times.size(); ++i)
            gaps.append(m_times.at(i) - m_times.at(i - 1));
        return gaps;
    }

private:
    const LocalHttpsServer &m_server;
    int m_skip;
    QList<int> m_names;
    QList<qint64> m_times;
};

struct CheckFigures
{
    qint64 packageReads = -1;
    qint64 aptList = -1;
    qint64 storePasses = -1;
    qint64 total = -1;
    QList<int> requestNames;
    QList<qint64> requestGaps;
    int notified = -1;
    qint64 rssBeforeKb = -1;
    qint64 peakKb = -1;
    qint64 readsPeakKb = -1; // by the end of the package reads
    qint64 afterTrimKb = -1;
};

qint64 span(qint64 from, qint64 to)
{
    return from < 0 || to < 0 ? -1 : to - from;
}

// One check on the checker's thread, to the end of its slot. An apt update is
// made to run already, so that the check waits one step for its end and then
// lists, as it does right after the daemon updated its index.
bool runCheck(AppUpgradeCheck &checker, const LocalHttpsServer &server, CheckFigures &figures)
{
    std::atomic<qint64> notifiedAt{-1};
    std::atomic_int notified{-1};
    const auto connection = QObject::connect(
        &checker, &AppUpgradeCheck::sigLocalAppsUpgradeNotify, &checker,
        [&](const QStringList &infos) {
            notified = int(infos.size());
            notifiedAt = QDateTime::currentMSecsSinceEpoch();
        },
        Qt::DirectConnection);
    RequestWatch requests(server, int(server.requestLog().size()));
    LineClock &clock = LineClock::instance();
    clock.reset();
    AppStore::AptUpdateGate::startAptUpdateTask();
    bool updateFinished = false;
    QTimer poller;
    QObject::connect(&poller, &QTimer::timeout, [&] {
        requests.poll();
        if (!updateFinished && clock.at(kAptWaitLine) >= 0) {
            AppStore::AptUpdateGate::AptUpdateFinish(QDateTime::currentDateTime(), true);
            updateFinished = true;
        }
    });
    poller.start(5);

    resetPeakRss();
    figures.rssBeforeKb = statusKb("VmRSS");
    QMetaObject::invokeMethod(&checker, &AppUpgradeCheck::OnLocalAppsUpgradeCheckSlot,
                              Qt::QueuedConnection);
    const bool ended = TestEnv::waitFor([&] { return interrupted() || clock.at(kTrimLine) >= 0; },
                                        kCheckLimitMs) &&
                       !interrupted();
    figures.afterTrimKb = statusKb("VmRSS");
    figures.peakKb = statusKb("VmHWM");
    poller.stop();
    requests.poll();
    QObject::disconnect(connection);
    if (!updateFinished)
        AppStore::AptUpdateGate::AptUpdateFinish(QDateTime::currentDateTime(), true);

    const qint64 start = clock.at(kStartLine);
    const qint64 aptWait = clock.at(kAptWaitLine);
    const qint64 end = notifiedAt;
    // Without rows in the on-the-shelves table the check writes no line
    // between its store passes and its notification.
    const qint64 shelves = clock.at(kShelvesLine);
    figures.packageReads = span(start, aptWait);
    figures.readsPeakKb = clock.peakKbAt(kAptWaitLine);
    figures.aptList = span(aptWait, requests.firstAt());
    figures.storePasses = span(requests.firstAt(), shelves >= 0 ? shelves : end);
    figures.total = span(start, end);
    figures.requestNames = requests.names();
    figures.requestGaps = requests.gaps();
    figures.notified = notified;
    return ended && end >= 0;
}

void printFigures(int pauseMs, const CheckFigures &figures)
{
    QStringList batches;
    for (int names : figures.requestNames)
        batches.append(QString::number(names));
    std::printf("check with the store pause at %d ms:\n", pauseMs);
    std::printf("  package reads %lld ms, apt wait and list %lld ms, store passes %lld ms, "
                "total %lld ms\n",
                static_cast<long long>(figures.packageReads),
                static_cast<long long>(figures.aptList),
                static_cast<long long>(figures.storePasses), static_cast<long long>(figures.total));
    QStringList gaps;
    for (qint64 gap : figures.requestGaps)
        gaps.append(QString::number(gap));
    std::printf("  store requests: %d (names %s; ms between them %s); upgradable notified: %d\n",
                int(figures.requestNames.size()), qPrintable(batches.join(u',')),
                qPrintable(gaps.join(u',')), figures.notified);
    std::printf("  RSS: %.1f MiB before, %.1f MiB peak (%.1f MiB by the end of the package "
                "reads), %.1f MiB after (trimmed)\n",
                mib(figures.rssBeforeKb), mib(figures.peakKb), mib(figures.readsPeakKb),
                mib(figures.afterTrimKb));
}

// apt's own listing of upgradable packages, as the check runs it.
qint64 bareAptListMs(int &listed)
{
    QElapsedTimer timer;
    timer.start();
    const auto list = AppStore::AptIndexUpdate::getAptUpgradableList();
    listed = list.first ? int(list.second.size()) : -1;
    return timer.elapsed();
}

int benchmark(int count)
{
    QElapsedTimer timer;
    timer.start();
    EngineTestSetup setup;
    UpgradablePackages packages(setup.repository());
    if (!packages.build(count) || interrupted())
        return setUpFailed("cannot build the packages", packages.errorString());
    std::printf("built %d packages at two versions in %lld ms\n", count,
                static_cast<long long>(timer.restart()));
    if (!setup.start(QStringLiteral(TWK_BENCH_ACCOUNT_STANDIN), {}, 0) || interrupted())
        return setUpFailed("set-up failed", setup.errorString());
    timer.restart();
    if (!packages.install() || interrupted())
        return setUpFailed("cannot install the packages", packages.errorString());
    std::printf("installed %s in one dpkg run in %lld ms\n",
                qPrintable(packages.installedVersion()), static_cast<long long>(timer.restart()));
    int listed = 0;
    const qint64 bareList = bareAptListMs(listed);
    std::printf("apt list --upgradable alone: %lld ms, %d packages\n",
                static_cast<long long>(bareList), listed);

    QTemporaryDir configDir;
    LocalHttpsServer server;
    if (!configDir.isValid() || !server.start() ||
        !server.setRoute(kBriefPath, {200, packages.briefInfoReply(), 0, false}) ||
        !StoreTestSetup::pointAt(server, configDir.path()))
        return setUpFailed("cannot start the store stand-in", server.errorString());

    int status = 0;
    QThread thread;
    auto *checker = new AppUpgradeCheck;
    checker->moveToThread(&thread);
    thread.start();
    for (const int pauseMs : {0, 500}) {
        checker->setBatchPause(pauseMs);
        CheckFigures figures;
        const bool ended = runCheck(*checker, server, figures);
        printFigures(pauseMs, figures);
        if (!ended || figures.notified != count) {
            std::fprintf(stderr, "the check %s; the last warnings:\n",
                         ended ? "did not notify every package" : "did not end");
            printLastWarnings();
            status = 1;
            break;
        }
    }
    thread.quit();
    thread.wait();
    delete checker;
    server.stop();
    if (!packages.purge()) {
        std::fprintf(stderr, "purge failed: %s\n", qPrintable(packages.errorString()));
        return 1;
    }
    std::printf("purged %d packages\n", count);
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    bool ok = argc < 2;
    const int count = ok ? 300 : QString::fromLocal8Bit(argv[1]).toInt(&ok);
    if (!ok || count < 1) {
        std::fprintf(stderr, "usage: %s [packages >= 1, default 300]\n", argv[0]);
        return 2;
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr, "needs root: it installs and purges twk-test-up-* packages\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("TWK_SOURCE_DIR"))
        qputenv("TWK_SOURCE_DIR", TWK_BENCH_SOURCE_DIR);
    defaultHandler = qInstallMessageHandler(messageHandler);
    std::printf("waiting for the system tests' lock\n");
    if (!SystemTestsLock::acquire())
        return 1;
    // Before the lock nothing needs undoing.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        std::signal(signal, noteInterruption);
    return benchmark(count);
}
