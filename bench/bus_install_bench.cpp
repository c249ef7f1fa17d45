// The daemon binary on a private bus, driven as the store client drives it,
// against plain apt-get and dpkg-query on the same machine. Needs root; it
// installs and purges twk-test-* packages in the machine's dpkg database,
// holding the machine-wide lock of the system tests, and purges them again
// whatever happens. System files it changes are put back.
//
// Usage: bus_install_bench [--phases|--timeline|--list|--memory] [count]
//   (none) [10]    "IntallPackage" to its final progress and "RemovePackage"
//                  to "sigRemoveProgress", each until dpkg's state agrees,
//                  interleaved with `apt-get install` and `apt-get purge` on
//                  the configuration the daemon's run of each uses, and with
//                  the peer when it is installed: the distribution's package
//                  service on the same bus, through its console client; a
//                  small application of two packages, a small package, then
//                  one of 20 MiB; medians and ratios to apt-get
//   --phases       one cycle of the small package, split into phases by the
//                  daemon's debug log, and every tool run the daemon made,
//                  with its duration; --timeline adds the log lines
//   --list [20]    "GetLocalPackageList" against `dpkg-query -W` with the
//                  same fields, interleaved; medians and the ratio
//   --memory [50]  the daemon's resident memory idle after start, its peak
//                  during an install and after count install-and-purge cycles

#include "bus_install_setup.h"
#include "system_tests_lock.h"
#include "test_env.h"

#include "utils/process_runner.h"
#include "utils/utils.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <unistd.h>

using AppStore::ProcessResult;

namespace {

const QString kSmall = QStringLiteral("twk-test-busbench");
const QString kLarge = QStringLiteral("twk-test-busbench-large");
const QString kApp = QStringLiteral("twk-test-busbench-app");
const QString kLibrary = QStringLiteral("twk-test-busbench-lib");
const QString kService = QStringLiteral("com.tarnwick.daemon");
const QString kStoreId = QStringLiteral("velkor-app-store");
constexpr qint64 kLargeBytes = 20 * 1024 * 1024;
constexpr int kStepLimitMs = 300000;

// Set by SIGINT and SIGTERM: the run ends early, but through the clean-up
// that puts the system files back and purges the packages.
volatile std::sig_atomic_t interrupted = 0;

void onInterrupt(int)
{
    interrupted = 1;
}

// Spins the event loop until done holds. done is checked after every event,
// so the time measured ends when the awaited signal arrives; the wake-up
// timer only notices an interruption.
bool waitUntil(const std::function<bool()> &done, int limitMs = kStepLimitMs)
{
    QTimer limit;
    limit.setSingleShot(true);
    bool expired = false;
    QObject::connect(&limit, &QTimer::timeout, [&expired] { expired = true; });
    limit.start(limitMs);
    QTimer wake;
    wake.start(100);
    while (!done() && !expired && !interrupted)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

double median(QList<qint64> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 ? double(values.at(middle))
                             : (values.at(middle - 1) + values.at(middle)) / 2.0;
}

void purgeTestPackages()
{
    TestEnv::runTool(QStringLiteral("dpkg"),
                     {QStringLiteral("--purge"), kSmall, kLarge, kApp, kLibrary});
}

bool dpkgHasInstalled(const QString &package)
{
    // Asked quietly: once the package is gone, dpkg-query fails.
    AppStore::ProcessSpec spec;
    spec.program = QStringLiteral("dpkg-query");
    spec.arguments = {QStringLiteral("-W"), QStringLiteral("-f=${db:Status-Status}"), package};
    return AppStore::ProcessRunner::run(spec).outputText() == QLatin1String("installed");
}

// Apt keeps what it downloaded; the daemon's runs delete it. Every install
// starts from an empty archive folder so that both sides download.
void emptyArchives()
{
    QDir archives(AppStore::Utils::cacheDir() + QStringLiteral("archives/"));
    for (const QString &name : archives.entryList({QStringLiteral("*.deb")}, QDir::Files))
        archives.remove(name);
}

qint64 procFieldKb(qint64 pid, const char *file, const char *field)
{
    QFile status(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(file)));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field)) + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

qint64 statusKb(qint64 pid, const char *field)
{
    return procFieldKb(pid, "status", field);
}

// Resident memory split into the daemon's own pages and the pages of the
// files it maps (libraries, shared with every other process that maps
// them), and the proportional share that counts each shared page once.
void printResidentSplit(qint64 pid)
{
    std::printf("  of which own (RssAnon) %lld kB, mapped files (RssFile) %lld kB; Pss %lld kB\n",
                statusKb(pid, "RssAnon:"), statusKb(pid, "RssFile:"),
                procFieldKb(pid, "smaps_rollup", "Pss:"));
}

qint64 cpuTicks(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // Fields after the command's closing parenthesis; utime and stime are
    // the 14th and 15th of the whole line.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.value(11).toLongLong() + fields.value(12).toLongLong();
}

// Waits until the daemon used no CPU for a whole second.
void waitUntilIdle(qint64 pid)
{
    qint64 last = -2;
    for (int i = 0; i < 60; ++i) {
        const qint64 now = cpuTicks(pid);
        if (now == last)
            return;
        last = now;
        waitUntil([] { return false; }, 1000);
    }
}

class Client
{
public:
    Client()
        : m_appstore(kService, QStringLiteral("/appstore"),
                     QStringLiteral("com.tarnwick.daemon.interface"), QDBusConnection::systemBus())
        , m_progress(&m_appstore, SIGNAL(sigIntallProgress(QString, QString, int, qlonglong,
                                                           qlonglong, QString)))
        , m_removed(&m_appstore, SIGNAL(sigRemoveProgress(QString, QString, bool)))
    {}

    static qint64 daemonPid()
    {
        return QDBusConnection::systemBus().interface()->servicePid(kService).value();
    }

    // Milliseconds to the final progress; -1 when the install failed.
    qint64 install(const QString &package)
    {
        m_progress.clear();
        const QJsonObject info{{QStringLiteral("package_name"), package},
                               {QStringLiteral("package_version"), QStringLiteral("1.0")},
                               {QStringLiteral("name"), QStringLiteral("Bench")},
                               {QStringLiteral("category_id"), 3},
                               {QStringLiteral("pkgInstallMode"), 1}};
        QElapsedTimer timer;
        timer.start();
        if (m_appstore
                .call(QStringLiteral("IntallPackage"), kStoreId,
                      QString::fromUtf8(QJsonDocument(info).toJson()))
                .type() == QDBusMessage::ErrorMessage)
            return -1;
        if (!waitUntil([this, &package] { return ended(package); }))
            return -1;
        const qint64 elapsed = timer.elapsed();
        return m_progress.last().at(4).toLongLong() == -1 ? -1 : elapsed;
    }

    // Milliseconds to "sigRemoveProgress"; -1 when the removal failed.
    qint64 remove(const QString &package)
    {
        m_removed.clear();
        QElapsedTimer timer;
        timer.start();
        if (m_appstore.call(QStringLiteral("RemovePackage"), kStoreId, package).type() ==
                QDBusMessage::ErrorMessage ||
            !waitUntil([this] { return !m_removed.isEmpty(); }))
            return -1;
        return m_removed.first().at(2).toBool() ? timer.elapsed() : -1;
    }

    QDBusInterface &appstore() { return m_appstore; }

private:
    // The download stage (0) ends at its total too; the install stage (1)
    // ends the road, and -1 ends it in failure.
    bool ended(const QString &package) const
    {
        if (m_progress.isEmpty())
            return false;
        const QList<QVariant> &last = m_progress.last();
        const qlonglong total = last.at(3).toLongLong();
        const qlonglong done = last.at(4).toLongLong();
        return last.at(1).toString() == package &&
               (done == -1 || (last.at(2).toInt() == 1 && total >= 0 && done == total));
    }

    QDBusInterface m_appstore;
    QSignalSpy m_progress;
    QSignalSpy m_removed;
};

qint64 timedTool(const QString &program, const QStringList &arguments)
{
    QElapsedTimer timer;
    timer.start();
    const ProcessResult result = TestEnv::runTool(
        program, arguments, {QStringLiteral("DEBIAN_FRONTEND=noninteractive")}, kStepLimitMs);
    return result.succeeded() ? timer.elapsed() : -1;
}

// Each plain run reads the configuration the daemon's own run of that step
// reads: its apt configuration file for the install, apt's default one for
// the purge, which the daemon starts without "-c".
qint64 aptGet(const QString &command, const QString &package)
{
    QStringList arguments;
    if (command != QLatin1String("purge"))
        arguments << QStringLiteral("-c") << BusInstallSetup::daemonAptConfig();
    arguments << QStringLiteral("-y") << command << package;
    return timedTool(QStringLiteral("apt-get"), arguments);
}

// The peer: the distribution's package service on the same private bus,
// with the authorisation service it asks, driven through its console client.
// It reads the daemon's apt configuration: the same loopback source, the same
// archive folder, and for a removal the same installed packages as apt's
// default configuration.
class Peer
{
public:
    static bool isInstalled()
    {
        return QFile::exists(kService) && QFile::exists(kAuthority) &&
               !QStandardPaths::findExecutable(kConsole).isEmpty();
    }
    // Before the bus starts.
    static void allowOnBus(PrivateSystemBus &bus)
    {
        bus.allowService(QStringLiteral("org.freedesktop.PolicyKit1"));
        bus.allowService(QStringLiteral("org.freedesktop.PackageKit"));
    }

    bool start()
    {
        return startOne(m_authority, kAuthority, {QStringLiteral("--no-debug")},
                        QStringLiteral("org.freedesktop.PolicyKit1")) &&
               startOne(m_service, kService,
                        {QStringLiteral("--disable-timer"), QStringLiteral("--keep-environment")},
                        QStringLiteral("org.freedesktop.PackageKit"));
    }
    static qint64 install(const QString &package)
    {
        return run(QStringLiteral("install"), package);
    }
    static qint64 remove(const QString &package) { return run(QStringLiteral("remove"), package); }

private:
    static inline const QString kService = QStringLiteral("/usr/libexec/packagekitd");
    static inline const QString kAuthority = QStringLiteral("/usr/lib/polkit-1/polkitd");
    static inline const QString kConsole = QStringLiteral("pkcon");

    static qint64 run(const QString &command, const QString &package)
    {
        return timedTool(kConsole, {QStringLiteral("-y"), command, package});
    }

    static bool startOne(AppStore::ProcessRunner &runner, const QString &program,
                         const QStringList &arguments, const QString &busName)
    {
        AppStore::ProcessSpec spec;
        spec.program = program;
        spec.arguments = arguments;
        spec.environmentMode = AppStore::ProcessSpec::Environment::Extend;
        spec.environment = {QStringLiteral("APT_CONFIG=") + BusInstallSetup::daemonAptConfig()};
        spec.timeoutMs = 4 * 3600 * 1000;
        QDBusConnectionInterface *bus = QDBusConnection::systemBus().interface();
        if (runner.start(spec) &&
            waitUntil([&] { return bus->isServiceRegistered(busName).value(); }, 30000))
            return true;
        runner.kill();
        std::fprintf(stderr, "%s did not come up on the bus: %s\n", qPrintable(program),
                     qPrintable(runner.result().errorText()));
        return false;
    }

    AppStore::ProcessRunner m_authority;
    AppStore::ProcessRunner m_service;
};

// An application and the library it depends on, which its removal leaves
// installed; the library is purged between cycles, untimed, so that every
// install installs both.
struct Road
{
    QString package;
    QString library;
};

struct Cycle
{
    qint64 install = -1;
    qint64 purge = -1;
    bool ok() const { return install >= 0 && purge >= 0; }
};

struct Series
{
    QList<qint64> install;
    QList<qint64> purge;
    QList<qint64> cycle;

    void add(const Cycle &c)
    {
        install.append(c.install);
        purge.append(c.purge);
        cycle.append(c.install + c.purge);
    }
};

// One way to install and remove a package, each step ended once dpkg's
// state shows it (not timed).
struct Side
{
    const char *name;
    std::function<qint64(const QString &)> install;
    std::function<qint64(const QString &)> remove;
    Series series;

    Cycle cycle(const Road &road)
    {
        emptyArchives();
        Cycle cycle;
        if (interrupted)
            return cycle;
        cycle.install = install(road.package);
        if (cycle.install >= 0 && !dpkgHasInstalled(road.package))
            cycle.install = -1;
        if (cycle.install >= 0)
            cycle.purge = remove(road.package);
        if (cycle.purge >= 0 && dpkgHasInstalled(road.package))
            cycle.purge = -1;
        if (!road.library.isEmpty())
            TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("--purge"), road.library});
        return cycle;
    }
};

Cycle daemonCycle(Client &client, const QString &package)
{
    Side side{"daemon",
              [&client](const QString &p) { return client.install(p); },
              [&client](const QString &p) { return client.remove(p); },
              {}};
    return side.cycle({package, {}});
}

void printMedians(const char *what, const QList<Side> &sides, QList<qint64> Series::*of)
{
    const double limit = median(sides.first().series.*of);
    std::printf("  %-8s %s %6.0f ms", what, sides.first().name, limit);
    for (qsizetype i = 1; i < sides.size(); ++i) {
        const double d = median(sides.at(i).series.*of);
        std::printf("   %s %6.0f ms %.3f", sides.at(i).name, d, limit > 0 ? d / limit : 0);
    }
    std::printf("\n");
}

// Warm-up, then rounds of every side, their order turned every round so
// that load and caches favour none. The first side is apt-get, the limit.
bool compareCycles(QList<Side> &sides, const Road &road, int cycles)
{
    std::printf("%s%s: warm-up, then %d interleaved rounds\n", qPrintable(road.package),
                road.library.isEmpty()
                    ? ""
                    : qPrintable(QStringLiteral(" (with ") + road.library + QLatin1Char(')')),
                cycles);
    for (Side &side : sides) {
        side.series = {};
        if (!side.cycle(road).ok()) {
            std::fprintf(stderr, "the warm-up cycle of %s failed on %s\n", qPrintable(road.package),
                         side.name);
            return false;
        }
    }
    for (int i = 0; i < cycles; ++i) {
        QList<Cycle> round(sides.size());
        for (qsizetype k = 0; k < sides.size(); ++k) {
            const qsizetype at = (i + k) % sides.size();
            round[at] = sides[at].cycle(road);
            if (!round.at(at).ok()) {
                std::fprintf(stderr, "round %d failed on %s: %lld/%lld ms\n", i + 1,
                             sides.at(at).name, round.at(at).install, round.at(at).purge);
                return false;
            }
        }
        std::printf("  round %2d:", i + 1);
        for (qsizetype k = 0; k < sides.size(); ++k) {
            sides[k].series.add(round.at(k));
            std::printf("%s %s %5lld + %5lld ms", k ? "," : "", sides.at(k).name,
                        round.at(k).install, round.at(k).purge);
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    std::printf("%s medians over %d rounds, each with its ratio to apt-get:\n",
                qPrintable(road.package), cycles);
    printMedians("install", sides, &Series::install);
    printMedians("removal", sides, &Series::purge);
    printMedians("cycle", sides, &Series::cycle);
    if (sides.size() > 2) {
        const double limit = median(sides.first().series.purge);
        const double daemon = median(sides.at(1).series.purge) / limit;
        const double peer = median(sides.at(2).series.purge) / limit;
        std::printf("  removal: the daemon's ratio is %.3f x the peer's\n", daemon / peer);
    }
    return true;
}

int runCycles(BusInstallSetup &setup, int cycles)
{
    const bool withPeer = Peer::isInstalled();
    if (withPeer)
        Peer::allowOnBus(setup.bus());
    if (!setup.start())
        return 1;
    Client client;
    Peer peer;
    QList<Side> sides{{"apt-get",
                       [](const QString &p) { return aptGet(QStringLiteral("install"), p); },
                       [](const QString &p) { return aptGet(QStringLiteral("purge"), p); },
                       {}},
                      {"daemon",
                       [&client](const QString &p) { return client.install(p); },
                       [&client](const QString &p) { return client.remove(p); },
                       {}}};
    if (withPeer) {
        // The authorisation service leaves root for a user of its own.
        if (!setup.bus().openToAllUsers() || !peer.start())
            return 1;
        sides.append({"peer", &Peer::install, &Peer::remove, {}});
    } else {
        std::printf("the peer is not installed: left out\n");
    }
    const bool ok = compareCycles(sides, {kApp, kLibrary}, cycles) &&
                    compareCycles(sides, {kSmall, {}}, cycles) &&
                    compareCycles(sides, {kLarge, {}}, cycles);
    std::printf("daemon peak resident memory (VmHWM): %lld kB\n",
                statusKb(Client::daemonPid(), "VmHWM:"));
    return ok ? 0 : 1;
}

// --- phases -----------------------------------------------------------------

struct LogLine
{
    QDateTime at;
    QString text;
};

QList<LogLine> timedLines(const QStringList &lines)
{
    QList<LogLine> out;
    for (const QString &line : lines) {
        const QDateTime at = QDateTime::fromString(line.section(u' ', 0, 0), Qt::ISODateWithMs);
        if (at.isValid())
            out.append({at, line.section(u' ', 1)});
    }
    return out;
}

// The body of a log line: what follows the function name.
QString bodyOf(const QString &text)
{
    const qsizetype dash = text.indexOf(QLatin1String(" - "));
    return dash < 0 ? text : text.mid(dash + 3);
}

// The first line at or after from whose body contains all of words.
const LogLine *findLine(const QList<LogLine> &lines, const QDateTime &from,
                        const QStringList &words)
{
    for (const LogLine &line : lines) {
        if (line.at < from)
            continue;
        const QString body = bodyOf(line.text);
        if (std::all_of(words.begin(), words.end(),
                        [&body](const QString &word) { return body.contains(word); }))
            return &line;
    }
    return nullptr;
}

// A phase runs from the first log line holding all words of `from` to the
// next one holding all words of `to`, each looked for after the phase before.
struct Phase
{
    const char *name;
    QStringList from; // empty: the request
    QStringList to;   // empty: the final signal
};

void printPhases(const char *road, const QList<Phase> &phases, const QList<LogLine> &lines,
                 const QDateTime &requested, const QDateTime &answered)
{
    std::printf("%s: %lld ms from the request to the final signal\n", road,
                requested.msecsTo(answered));
    QDateTime cursor = requested;
    for (const Phase &phase : phases) {
        const LogLine *from = phase.from.isEmpty() ? nullptr : findLine(lines, cursor, phase.from);
        const QDateTime start = phase.from.isEmpty() ? cursor : (from ? from->at : QDateTime());
        if (!start.isValid()) {
            std::printf("  %-24s no log line marks its start (\"%s\")\n", phase.name,
                        qPrintable(phase.from.join(u' ')));
            continue;
        }
        const LogLine *to = phase.to.isEmpty() ? nullptr : findLine(lines, start, phase.to);
        const QDateTime end = phase.to.isEmpty() ? answered : (to ? to->at : QDateTime());
        if (!end.isValid()) {
            std::printf("  %-24s no log line marks its end (\"%s\")\n", phase.name,
                        qPrintable(phase.to.join(u' ')));
            continue;
        }
        std::printf("  %-24s %6lld ms  (at +%lld ms)\n", phase.name, start.msecsTo(end),
                    requested.msecsTo(start));
        cursor = end;
    }
}

void printTimeline(const QList<LogLine> &lines, const QDateTime &from, const QDateTime &to)
{
    std::printf("  debug log of this span (ms from its start):\n");
    for (const LogLine &line : lines) {
        if (line.at >= from && line.at <= to.addMSecs(50))
            std::printf("    +%5lld %s\n", from.msecsTo(line.at),
                        qPrintable(bodyOf(line.text).left(140)));
    }
}

// Every tool run that started in the span, from its "started" line to the
// "ended" line of the same pid.
void printToolRuns(const QList<LogLine> &lines, const QDateTime &from, const QDateTime &to)
{
    struct Run
    {
        QDateTime start;
        QString command;
        qint64 durationMs = -1;
    };
    QMap<QString, Run> runs;
    const QRegularExpression started(
        QStringLiteral("^started \"([^\"]+)\" QList\\((.*)\\) pid (\\d+)$"));
    const QRegularExpression ended(QStringLiteral("^\"[^\"]+\" pid (\\d+) ended, exit code"));
    for (const LogLine &line : lines) {
        const QString body = bodyOf(line.text);
        const QRegularExpressionMatch start = started.match(body);
        if (start.hasMatch() && line.at >= from && line.at <= to) {
            QString arguments = start.captured(2);
            arguments.remove(u'"').replace(QStringLiteral(", "), QStringLiteral(" "));
            runs.insert(start.captured(3),
                        {line.at, start.captured(1).section(u'/', -1) + u' ' + arguments});
            continue;
        }
        const QRegularExpressionMatch end = ended.match(body);
        if (end.hasMatch() && runs.contains(end.captured(1)) &&
            runs[end.captured(1)].durationMs < 0)
            runs[end.captured(1)].durationMs = runs[end.captured(1)].start.msecsTo(line.at);
    }
    QList<Run> ordered = runs.values();
    std::sort(ordered.begin(), ordered.end(),
              [](const Run &a, const Run &b) { return a.start < b.start; });
    std::printf("  tool runs (start from the request, duration):\n");
    for (const Run &run : ordered)
        std::printf("    +%5lld ms %5lld ms  %s\n", from.msecsTo(run.start), run.durationMs,
                    qPrintable(run.command.left(110)));
}

// A run beside the phases, e.g. on another thread while the download runs.
void printSideSpan(const char *name, const QStringList &from, const QStringList &to,
                   const QList<LogLine> &lines, const QDateTime &requested,
                   const QDateTime &answered)
{
    const LogLine *start = findLine(lines, requested, from);
    const LogLine *end = start ? findLine(lines, start->at, to) : nullptr;
    if (!start || start->at > answered || !end) {
        std::printf("  beside them: %s not run\n", name);
        return;
    }
    std::printf("  beside them: %-11s %6lld ms  (at +%lld ms)\n", name, start->at.msecsTo(end->at),
                requested.msecsTo(start->at));
}

int runPhases(BusInstallSetup &setup, bool timeline)
{
    if (!setup.start(true))
        return 1;
    Client client;
    if (!daemonCycle(client, kSmall).ok()) {
        std::fprintf(stderr, "the warm-up cycle failed\n");
        return 1;
    }
    emptyArchives();
    const QDateTime installAsked = QDateTime::currentDateTime();
    const qint64 installed = client.install(kSmall);
    const QDateTime installEnded = QDateTime::currentDateTime();
    const qint64 removed = installed >= 0 ? client.remove(kSmall) : -1;
    const QDateTime removeEnded = QDateTime::currentDateTime();
    // The bookkeeping after the final signal is logged a moment later.
    waitUntil([] { return false; }, 2000);
    if (installed < 0 || removed < 0) {
        std::fprintf(stderr, "the measured cycle failed\n");
        return 1;
    }
    const QList<LogLine> lines = timedLines(setup.daemon().logLines());
    // Every tool run the daemon makes is logged as it starts and ends.
    const QString started = QStringLiteral("started \"");
    const QString apt = QStringLiteral("apt-get\"");
    const QString ended = QStringLiteral("ended, exit code");
    const QString sizeQuery = QStringLiteral("apt-cache\"");
    const QString preseed = QStringLiteral("debconf-set-selections\"");
    const QString verdict = QStringLiteral("OnInstallFinishedSlot succeeded");
    const QList<Phase> install{
        {"intake", {}, {started, sizeQuery}},
        {"size query", {started, sizeQuery}, {sizeQuery, ended}},
        {"download run", {started, apt, QStringLiteral("\"-d\"")}, {apt, ended}},
        {"install start", {apt, ended}, {started, apt}},
        {"install run", {started, apt}, {apt, ended}},
        {"verdict", {apt, ended}, {verdict}},
        {"completion bookkeeping", {verdict}, {}},
    };
    printPhases("install", install, lines, installAsked, installEnded);
    printSideSpan("preseed", {started, preseed}, {preseed, ended}, lines, installAsked,
                  installEnded);
    printToolRuns(lines, installAsked, installEnded);
    if (timeline)
        printTimeline(lines, installAsked, installEnded);
    const QString purgeTask = QStringLiteral("runInstallOrPurge()");
    const QString purging = QStringLiteral("\"purging\"");
    const QList<Phase> removal{
        {"intake", {}, {purgeTask}},
        {"checks", {purgeTask}, {purging}},
        {"purge start", {purging}, {started, apt}},
        {"purge run", {started, apt}, {apt, ended}},
        {"verdict and bookkeeping", {apt, ended}, {}},
    };
    printPhases("removal", removal, lines, installEnded, removeEnded);
    printToolRuns(lines, installEnded, removeEnded);
    if (timeline)
        printTimeline(lines, installEnded, removeEnded.addMSecs(2000));
    return 0;
}

// --- list -------------------------------------------------------------------

void printRatio(const char *what, const QList<qint64> &daemon, const QList<qint64> &tool,
                const char *toolName)
{
    const double d = median(daemon);
    const double t = median(tool);
    std::printf("  %-8s daemon %7.0f ms   %s %7.0f ms   ratio %.3f\n", what, d, toolName, t,
                t > 0 ? d / t : 0);
}

int runList(BusInstallSetup &setup, int runs)
{
    if (!setup.start())
        return 1;
    Client client;
    const auto busCall = [&client] {
        QElapsedTimer timer;
        timer.start();
        const QDBusReply<QStringList> reply =
            client.appstore().call(QStringLiteral("GetLocalPackageList"));
        return reply.isValid() && !reply.value().isEmpty() ? timer.elapsed() : qint64(-1);
    };
    const auto dpkgQuery = [] {
        return timedTool(
            QStringLiteral("dpkg-query"),
            {QStringLiteral("-W"), QStringLiteral("-f=${Package} ${Version} ${Installed-Size} "
                                                  "${db:Status-Status} ${Section} ${XB-channel} "
                                                  "${db-fsys:Files}\n")});
    };
    busCall();
    dpkgQuery();
    QList<qint64> bus;
    QList<qint64> dpkg;
    for (int i = 0; i < runs && !interrupted; ++i) {
        const bool busFirst = i % 2 == 0;
        const qint64 first = busFirst ? busCall() : dpkgQuery();
        const qint64 second = busFirst ? dpkgQuery() : busCall();
        bus.append(busFirst ? first : second);
        dpkg.append(busFirst ? second : first);
        if (bus.last() < 0 || dpkg.last() < 0) {
            std::fprintf(stderr, "run %d failed\n", i + 1);
            return 1;
        }
    }
    const QDBusReply<QStringList> reply =
        client.appstore().call(QStringLiteral("GetLocalPackageList"));
    std::printf("GetLocalPackageList (%lld entries) against dpkg-query -W, medians of %d:\n",
                static_cast<long long>(reply.value().size()), runs);
    printRatio("list", bus, dpkg, "dpkg-query");
    return 0;
}

// --- memory -----------------------------------------------------------------

int runMemory(BusInstallSetup &setup, int cycles)
{
    // The store's own folder, as an installed store has it: the daemon keeps
    // its file index there, and the first install builds that index from the
    // files of every installed package.
    const QString storeFolder = QStringLiteral("/var/lib/velkor-app-store");
    SystemFileGuard storeFolderGuard({storeFolder});
    if (!storeFolderGuard.isValid() || !QDir().mkpath(storeFolder)) {
        std::fprintf(stderr, "cannot prepare %s\n", qPrintable(storeFolder));
        return 1;
    }
    if (!setup.start())
        return 1;
    Client client;
    const qint64 pid = Client::daemonPid();
    waitUntilIdle(pid);
    const qint64 idle = statusKb(pid, "VmRSS:");
    std::printf("idle after start: VmRSS %lld kB (VmHWM %lld kB)\n", idle, statusKb(pid, "VmHWM:"));
    printResidentSplit(pid);
    if (!daemonCycle(client, kSmall).ok())
        return 1;
    waitUntilIdle(pid);
    const qint64 afterFirst = statusKb(pid, "VmRSS:");
    std::printf("after one install and purge: VmRSS %lld kB, peak VmHWM %lld kB\n", afterFirst,
                statusKb(pid, "VmHWM:"));
    for (int i = 1; i < cycles; ++i) {
        if (!daemonCycle(client, kSmall).ok()) {
            std::fprintf(stderr, "cycle %d failed\n", i + 1);
            return 1;
        }
    }
    waitUntilIdle(pid);
    const qint64 afterAll = statusKb(pid, "VmRSS:");
    std::printf("after %d cycles: VmRSS %lld kB, peak VmHWM %lld kB\n", cycles, afterAll,
                statusKb(pid, "VmHWM:"));
    printResidentSplit(pid);
    std::printf("growth from the first cycle's end: %lld kB; from idle: %lld kB\n",
                afterAll - afterFirst, afterAll - idle);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    const QString mode = arguments.value(0).startsWith(QLatin1String("--"))
                             ? arguments.takeFirst()
                             : QStringLiteral("--cycles");
    const QString count = arguments.value(0);
    const QStringList modes{QStringLiteral("--cycles"), QStringLiteral("--phases"),
                            QStringLiteral("--timeline"), QStringLiteral("--list"),
                            QStringLiteral("--memory")};
    if (!modes.contains(mode) || arguments.size() > 1 || (!count.isEmpty() && count.toInt() < 1)) {
        std::fprintf(stderr, "usage: %s [--phases|--timeline|--list|--memory] [count]\n", argv[0]);
        return 2;
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr, "needs root: it installs and purges twk-test-* packages\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("TWK_SOURCE_DIR"))
        qputenv("TWK_SOURCE_DIR", TWK_BENCH_SOURCE_DIR);
    if (qEnvironmentVariableIsEmpty("TWK_DAEMON"))
        qputenv("TWK_DAEMON", TWK_BENCH_DAEMON);
    // This process's own tool runs stay out of its output.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    if (!SystemTestsLock::acquire())
        return 1;
    purgeTestPackages();

    int status = 0;
    {
        BusInstallSetup setup;
        LocalAptRepository::PackageOptions large;
        large.fillerBytes = kLargeBytes;
        LocalAptRepository::PackageOptions library;
        library.desktopApplication = false;
        LocalAptRepository::PackageOptions app;
        app.depends = kLibrary;
        if (!setup.repository().addPackage(kSmall, QStringLiteral("1.0")) ||
            !setup.repository().addPackage(kLarge, QStringLiteral("1.0"), large) ||
            !setup.repository().addPackage(kLibrary, QStringLiteral("1.0"), library) ||
            !setup.repository().addPackage(kApp, QStringLiteral("1.0"), app)) {
            std::fprintf(stderr, "%s\n", qPrintable(setup.repository().errorString()));
            return 1;
        }
        if (mode == QLatin1String("--cycles"))
            status = runCycles(setup, count.isEmpty() ? 10 : count.toInt());
        else if (mode == QLatin1String("--phases") || mode == QLatin1String("--timeline"))
            status = runPhases(setup, mode == QLatin1String("--timeline"));
        else if (mode == QLatin1String("--list"))
            status = runList(setup, count.isEmpty() ? 20 : count.toInt());
        else
            status = runMemory(setup, count.isEmpty() ? 50 : count.toInt());
        if (!setup.errorString().isEmpty())
            std::fprintf(stderr, "%s\n", qPrintable(setup.errorString()));
    }
    purgeTestPackages();
    if (interrupted)
        std::fprintf(stderr, "interrupted; the system files are back and the packages purged\n");
    return interrupted ? 1 : status;
}
