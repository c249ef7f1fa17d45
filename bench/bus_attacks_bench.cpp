// Attacks on the daemon's bus connection by local users who are not at the
// seat (nobody is: no login manager runs), against the daemon binary on a
// private bus with the system bus's limits. Each attack gets a fresh daemon;
// root asks "GetAgreeState" every 250 ms on a connection of its own, each
// call given 5 s, during the attack and after the attackers went, and the
// daemon's memory is sampled every 200 ms; at each phase's end the bus tells
// what it holds of the daemon's connection. It reports and judges nothing: it
// exits 0 whatever the daemon did (1 when it could not set up, 2 for bad
// usage). Runs as root with the daemon's real state folders and store address
// file, holding the system tests' lock, and puts them back afterwards.
//
// Usage: bus_attacks_bench <attack> [options]
//   refused-first    three connections of uid 1 each send one open
//                    "GetPackageLatestList" over the bound of a user's held
//                    calls (1,000 names of 9,000 characters), then 20
//                    "GetLocalPackageInfo" s:dpkg without waiting;
//                    --held-lists puts one list within the bound (1,000 names
//                    of 8,380 three-byte characters) between them
//   shares           uids 1, 2 and 3, one connection each: --slow-calls (100)
//                    open "GetLocalPackageList" without waiting, then one
//                    "GetPackageLatestList" of 1,000 names of 8,380 three-byte
//                    characters; --slow-store S: the store answers after S s,
//                    and each connection first asks it about two names
//   stall            rounds of 30 "GetPackageDesktopFile" with a 3 MB name
//                    (refused at once) from uid 1, the whole daemon stopped
//                    (SIGSTOP) for --stall-ms (400, 0 for none) while they
//                    come, root asked after each round; --rounds (100). No
//                    call stalls the daemon's main thread from outside (slow
//                    work runs on workers), so the whole process is stopped:
//                    the burst then waits at the bus and comes in at once
//   listeners        uid 1: two connections subscribe to the daemon's signals
//                    and never read, four send "GetConfigByNodeName"
//                    s:agreeSign as fast as the bus takes them (asking for no
//                    answer; --answered: asking, at most 100 waiting each)
//                    for --seconds (12); then all of them go
//   refused-checked  uid 1: --calls (100000) "SetConfigByNodeName" s:onNotice
//                    s:1 over --connections (8), as fast as the bus takes them
//                    (--answered as above)
//   log              uid 1: --calls (200000) open "GetLocalOnTheShelvesAppInfo"
//                    over 4 connections, answers asked for; the growth of the
//                    daemon's log folder and whether the run's first lines
//                    are still in it
//   all              each of the above
// --during S and --after S set the phases' lengths (defaults per attack).

#include "daemon_under_test.h"
#include "local_https_server.h"
#include "private_system_bus.h"
#include "store_test_setup.h"
#include "system_file_guard.h"
#include "system_tests_lock.h"
#include "test_env.h"

#include "utils/process_runner.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QMap>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <unistd.h>
#include <vector>

using AppStore::ProcessRunner;
using AppStore::ProcessSpec;

namespace {

const QString kStoreQuery = QStringLiteral("/store-dist-app/getAppBriefInfo");
const char kLogFolder[] = "/var/log/velkor/tarnwick-daemon";
constexpr int kProbeEveryMs = 250;
constexpr int kProbeLimitMs = 5000;
constexpr int kSampleEveryMs = 200;
constexpr int kSetupLimitMs = 120000;

struct Options
{
    QString attack;
    int duringS = -1;
    int afterS = -1;
    bool heldLists = false;
    bool answered = false;
    // The bus turns away a connection's calls beyond 128 waiting for
    // answers: with more, the big list behind them may not reach the daemon.
    int slowCalls = 100;
    int slowStoreS = 0;
    int stallMs = 400;
    int rounds = 100;
    int floodS = 12;
    int calls = 100000;
    int connections = 8;
};

// Runs the event loop for ms, or until done holds (checked every 20 ms).
bool spin(int ms, const std::function<bool()> &done = {})
{
    QElapsedTimer timer;
    timer.start();
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if ((done && done()) || timer.elapsed() >= ms)
            loop.quit();
    });
    poll.start(20);
    if (!done || !done())
        loop.exec();
    return done && done();
}

// The test client run as another user, its output lines kept.
class Attacker
{
public:
    Attacker(const QString &client, uint uid, const QStringList &arguments)
    {
        m_spec.program = QStringLiteral("setpriv");
        m_spec.arguments = QStringList{QStringLiteral("--reuid=%1").arg(uid),
                                       QStringLiteral("--regid=%1").arg(uid),
                                       QStringLiteral("--clear-groups"), client} +
                           arguments;
        m_spec.environmentMode = ProcessSpec::Environment::Extend;
        m_spec.environment = {QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS=") +
                              qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS")};
        m_spec.timeoutMs = 3600000;
        QObject::connect(&m_runner, &ProcessRunner::standardOutputLine, &m_runner,
                         [this](const QString &line) { m_lines.append(line); });
        QObject::connect(
            &m_runner, &ProcessRunner::standardErrorLine, &m_runner,
            [](const QString &line) { std::fprintf(stderr, "client: %s\n", qPrintable(line)); });
    }

    bool start() { return m_runner.start(m_spec); }
    bool isRunning() const { return m_runner.isRunning(); }
    bool waitForLine(const QString &prefix, int limitMs)
    {
        return spin(limitMs, [&] { return !line(prefix).isEmpty() || !m_runner.isRunning(); }) &&
               !line(prefix).isEmpty();
    }
    QString line(const QString &prefix) const
    {
        for (auto line = m_lines.crbegin(); line != m_lines.crend(); ++line)
            if (line->startsWith(prefix))
                return *line;
        return {};
    }
    // A holding client tells its answers and ends.
    QString release()
    {
        m_runner.closeWriteChannel();
        waitForLine(QStringLiteral("answers:"), 10000);
        end();
        return line(QStringLiteral("answers:"));
    }
    void end()
    {
        if (m_runner.isRunning())
            m_runner.kill();
        m_runner.waitForFinished();
    }

private:
    ProcessSpec m_spec;
    ProcessRunner m_runner;
    QStringList m_lines;
};

using Attackers = std::vector<std::unique_ptr<Attacker>>;

bool startAll(Attackers &attackers, const QString &readyPrefix)
{
    for (const auto &attacker : attackers)
        if (!attacker->start())
            return false;
    bool ready = true;
    for (const auto &attacker : attackers)
        ready = attacker->waitForLine(readyPrefix, kSetupLimitMs) && ready;
    return ready;
}

struct Tally
{
    int sent = 0;
    int answered = 0;
    int timedOut = 0;
    QMap<QString, int> errors;
    qint64 maxMs = -1;
    qint64 firstAnswerMs = -1; // from the phase's start
    qint64 lastMissMs = -1;    // when the last probe not answered was asked
    qint64 lengthMs = 0;
};

// Root's "GetAgreeState" every 250 ms, each given 5 s, tallied by the phase
// it was asked in.
class RootProbe
{
public:
    explicit RootProbe(const QString &name)
        : m_name(name)
        , m_connection(QDBusConnection::connectToBus(QDBusConnection::SystemBus, name))
    {
        m_clock.start();
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { ask(); });
    }
    ~RootProbe() { QDBusConnection::disconnectFromBus(m_name); }

    void start()
    {
        m_phaseStarts[0] = m_clock.elapsed();
        m_timer.start(kProbeEveryMs);
        ask();
    }
    void startAfterPhase()
    {
        m_tallies[0].lengthMs = m_clock.elapsed() - m_phaseStarts[0];
        m_phase = 1;
        m_phaseStarts[1] = m_clock.elapsed();
        ask();
    }
    // Stops asking; the probes out get their time.
    void finish()
    {
        m_tallies[m_phase].lengthMs = m_clock.elapsed() - m_phaseStarts[m_phase];
        m_timer.stop();
        spin(kProbeLimitMs + 2000, [this] { return m_out == 0; });
    }
    const Tally &tally(int phase) const { return m_tallies[phase]; }

    // One probe asked and waited for; its answer time, -1 when not answered.
    qint64 askOnce()
    {
        QElapsedTimer timer;
        timer.start();
        QDBusPendingCall call = m_connection.asyncCall(agreeState(), kProbeLimitMs);
        spin(kProbeLimitMs + 1000, [&] { return call.isFinished(); });
        return call.isFinished() && !call.isError() ? timer.elapsed() : -1;
    }

private:
    static QDBusMessage agreeState()
    {
        return QDBusMessage::createMethodCall(
            QStringLiteral("com.tarnwick.daemon"), QStringLiteral("/appstore"),
            QStringLiteral("com.tarnwick.daemon.interface"), QStringLiteral("GetAgreeState"));
    }

    void ask()
    {
        const int phase = m_phase;
        const qint64 sentAt = m_clock.elapsed();
        ++m_tallies[phase].sent;
        ++m_out;
        auto *watcher = new QDBusPendingCallWatcher(
            m_connection.asyncCall(agreeState(), kProbeLimitMs), &m_timer);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &m_timer,
                         [this, phase, sentAt](QDBusPendingCallWatcher *done) {
                             done->deleteLater();
                             --m_out;
                             Tally &tally = m_tallies[phase];
                             const qint64 now = m_clock.elapsed();
                             if (done->isError()) {
                                 tally.lastMissMs =
                                     qMax(tally.lastMissMs, sentAt - m_phaseStarts[phase]);
                                 if (done->error().type() == QDBusError::NoReply)
                                     ++tally.timedOut;
                                 else
                                     ++tally.errors[done->error().name()];
                                 return;
                             }
                             ++tally.answered;
                             tally.maxMs = qMax(tally.maxMs, now - sentAt);
                             if (tally.firstAnswerMs < 0)
                                 tally.firstAnswerMs = now - m_phaseStarts[phase];
                         });
    }

    QString m_name;
    QDBusConnection m_connection;
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_phaseStarts[2] = {0, 0};
    int m_phase = 0;
    int m_out = 0;
    Tally m_tallies[2];
};

// The processor time the process has used, in ms.
qint64 cpuMs(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    // The fields after the command name, which ends with the last ")".
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    const qint64 ticks = fields.value(11).toLongLong() + fields.value(12).toLongLong();
    return ticks * 1000 / ::sysconf(_SC_CLK_TCK);
}

// What the bus holds of the daemon's connection: the messages waiting for the
// daemon to read them, and the daemon's messages not yet delivered to all
// their receivers.
QString busView()
{
    const QDBusConnection bus = QDBusConnection::systemBus();
    QDBusMessage owner = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetNameOwner"));
    owner << QStringLiteral("com.tarnwick.daemon");
    QDBusPendingCall name = bus.asyncCall(owner, 5000);
    spin(6000, [&] { return name.isFinished(); });
    if (!name.isFinished() || name.isError())
        return QStringLiteral("the daemon's name has no owner");
    QDBusMessage query = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus.Debug.Stats"), QStringLiteral("GetConnectionStats"));
    query << name.reply().arguments().value(0);
    QDBusPendingCall stats = bus.asyncCall(query, 5000);
    spin(6000, [&] { return stats.isFinished(); });
    if (!stats.isFinished() || stats.isError())
        return QStringLiteral("no statistics: ") + stats.error().message();
    const QVariantMap values = qdbus_cast<QVariantMap>(stats.reply().arguments().value(0));
    const auto mb = [&](const char *key) {
        return QString::number(values.value(QLatin1String(key)).toDouble() / (1024 * 1024), 'f', 1);
    };
    return QStringLiteral("for the daemon to read %1 messages, %2 MiB (peak %3 MiB); of the "
                          "daemon's, %4 MiB undelivered (peak %5 MiB)")
        .arg(values.value(QStringLiteral("OutgoingMessages")).toUInt())
        .arg(mb("OutgoingBytes"), mb("PeakOutgoingBytes"), mb("IncomingBytes"),
             mb("PeakIncomingBytes"));
}

// A field of /proc/PID/status in kB, -1 when unreadable.
qint64 statusKb(qint64 pid, const char *field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray name = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(name))
            return line.mid(name.size()).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

class MemorySampler
{
public:
    explicit MemorySampler(qint64 pid)
        : m_pid(pid)
    {
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] {
            const qint64 rss = statusKb(m_pid, "VmRSS");
            if (rss >= 0)
                m_samples.append(rss);
        });
        m_timer.start(kSampleEveryMs);
    }
    // The sampled resident sizes, in MB, one a second.
    QString perSecond() const
    {
        QStringList values;
        for (qsizetype i = 0; i < m_samples.size(); i += 1000 / kSampleEveryMs)
            values << QString::number(m_samples.at(i) / 1024);
        return values.join(u' ');
    }

private:
    qint64 m_pid;
    QTimer m_timer;
    QList<qint64> m_samples;
};

QString formatTally(const Tally &tally)
{
    QString text =
        QStringLiteral("%1/%2 answered, max %3, %4 timed out")
            .arg(tally.answered)
            .arg(tally.sent)
            .arg(tally.maxMs < 0 ? QStringLiteral("-") : QStringLiteral("%1 ms").arg(tally.maxMs))
            .arg(tally.timedOut);
    for (auto error = tally.errors.cbegin(); error != tally.errors.cend(); ++error)
        text += QStringLiteral(", %1 %2").arg(error.value()).arg(error.key());
    if (tally.lastMissMs >= 0)
        text += QStringLiteral(", the last not answered asked at %1 s")
                    .arg(tally.lastMissMs / 1000.0, 0, 'f', 1);
    return text + QStringLiteral(" (phase of %1 s)").arg(tally.lengthMs / 1000.0, 0, 'f', 1);
}

// Files the attackers read, in a folder every user may read.
class AttackFiles
{
public:
    bool create(const QString &client)
    {
        const auto readable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                              QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                              QFile::ExeOther;
        if (!m_dir.isValid() || !QFile::setPermissions(m_dir.path(), readable) ||
            !QFile::copy(client, this->client()))
            return false;
        const QByteArray cjk = QString(8380, QChar(0x4E00)).toUtf8();
        return write(QStringLiteral("ascii"),
                     QByteArray(QByteArray(9000, 'a') + '\n').repeated(1000)) &&
               write(QStringLiteral("cjk"), QByteArray(cjk + '\n').repeated(1000)) &&
               write(QStringLiteral("name"), QByteArray(3 * 1000 * 1000, 'a'));
    }
    QString client() const { return m_dir.filePath(QStringLiteral("client")); }
    QString path(const QString &name) const { return m_dir.filePath(name); }

private:
    bool write(const QString &name, const QByteArray &contents)
    {
        return TestEnv::writeFile(path(name), contents);
    }
    QTemporaryDir m_dir;
};

// One attack against a fresh daemon: what it set up, and its report.
class AttackRun
{
public:
    AttackRun(const PrivateSystemBus &bus, const QStringList &environment, const QString &name)
        : m_daemon(bus)
        , m_name(name)
    {
        m_daemon.addEnvironment(environment);
    }

    bool start()
    {
        if (!m_daemon.start(false)) {
            std::fprintf(stderr, "the daemon did not start: %s\n",
                         qPrintable(m_daemon.logLines().join(u'\n')));
            return false;
        }
        m_cpuMs = cpuMs(m_daemon.processId());
        m_memory = std::make_unique<MemorySampler>(m_daemon.processId());
        m_probe = std::make_unique<RootProbe>(QStringLiteral("root probe ") + m_name);
        m_clock.start();
        m_probe->start();
        return true;
    }
    DaemonUnderTest &daemon() { return m_daemon; }
    RootProbe &probe() { return *m_probe; }
    qint64 elapsedMs() const { return m_clock.elapsed(); }
    void note(const QString &line) { m_notes << line; }
    void attackersWent()
    {
        m_probe->startAfterPhase();
        endPhase(QStringLiteral("during"));
    }

    void report(const QString &parameters, bool rssTimeline = false)
    {
        m_probe->finish();
        endPhase(QStringLiteral("after"));
        const qint64 pid = m_daemon.processId();
        const bool running = m_daemon.isRunning();
        const qint64 peak = running ? statusKb(pid, "VmHWM") : -1;
        const qint64 rss = running ? statusKb(pid, "VmRSS") : -1;
        spin(500); // the last log lines
        std::printf("\n== %s\n", qPrintable(m_name));
        std::printf("parameters: %s\n", qPrintable(parameters));
        for (const QString &note : std::as_const(m_notes))
            std::printf("%s\n", qPrintable(note));
        std::printf("probes during: %s\n", qPrintable(formatTally(m_probe->tally(0))));
        const Tally &after = m_probe->tally(1);
        std::printf("probes after: %s; first answer %s after the attackers went\n",
                    qPrintable(formatTally(after)),
                    after.firstAnswerMs < 0
                        ? "never"
                        : qPrintable(QStringLiteral("%1 ms").arg(after.firstAnswerMs)));
        std::printf("daemon: peak RSS (VmHWM) %lld kB, RSS at the end %lld kB, still running: %s, "
                    "\"Socket notifiers cannot be enabled\" lines: %d, log lines: %lld\n",
                    static_cast<long long>(peak), static_cast<long long>(rss),
                    running ? "yes" : "no",
                    m_daemon.countLines(QStringLiteral("Socket notifiers cannot be enabled")),
                    static_cast<long long>(m_daemon.logLines().size()));
        if (rssTimeline)
            std::printf("RSS each second from the daemon's start (MB): %s\n",
                        qPrintable(m_memory->perSecond()));
        std::fflush(stdout);
        m_memory.reset();
        m_probe.reset();
        m_daemon.stop();
    }

private:
    // The bus's view and the daemon's processor time at a phase's end.
    void endPhase(const QString &phase)
    {
        const qint64 cpu = cpuMs(m_daemon.processId());
        m_notes << QStringLiteral("end of %1: daemon's processor time in it %2 ms; bus holds %3")
                       .arg(phase)
                       .arg(cpu - m_cpuMs)
                       .arg(busView());
        m_cpuMs = cpu;
    }

    DaemonUnderTest m_daemon;
    qint64 m_cpuMs = 0;
    QString m_name;
    std::unique_ptr<MemorySampler> m_memory;
    std::unique_ptr<RootProbe> m_probe;
    QElapsedTimer m_clock;
    QStringList m_notes;
};

struct Bench
{
    const PrivateSystemBus &bus;
    LocalHttpsServer &store;
    QStringList environment;
    AttackFiles &files;
    Options options;

    int during(int fallback) const
    {
        return 1000 * (options.duringS >= 0 ? options.duringS : fallback);
    }
    int after(int fallback) const
    {
        return 1000 * (options.afterS >= 0 ? options.afterS : fallback);
    }

    QString floodMode() const
    {
        return options.answered ? QStringLiteral("--flood-answered") : QStringLiteral("--flood");
    }
    QString floodManner() const
    {
        return options.answered ? QStringLiteral("asking for answers, at most 100 waiting each")
                                : QStringLiteral("asking for no answer");
    }

    static bool noneRuns(const Attackers &attackers)
    {
        return std::none_of(attackers.cbegin(), attackers.cend(),
                            [](const auto &attacker) { return attacker->isRunning(); });
    }

    // Those still running are killed; each one's count goes in the report.
    static void endFlooders(AttackRun &run, Attackers &flooders, qint64 startMs)
    {
        run.note(
            noneRuns(flooders)
                ? QStringLiteral("the flooders ended after %1 ms").arg(run.elapsedMs() - startMs)
                : QStringLiteral("the flooders still ran after %1 ms; killed")
                      .arg(run.elapsedMs() - startMs));
        for (std::size_t i = 0; i < flooders.size(); ++i) {
            flooders[i]->end();
            const QString line = flooders[i]->line(QStringLiteral("flooded:"));
            run.note(QStringLiteral("flooder %1: %2")
                         .arg(i + 1)
                         .arg(line.isEmpty() ? QStringLiteral("killed before it told") : line));
        }
    }

    std::unique_ptr<Attacker> attacker(uint uid, const QStringList &arguments) const
    {
        return std::make_unique<Attacker>(files.client(), uid, arguments);
    }

    // Holding clients tell their answers, then the after phase runs.
    void releaseAll(AttackRun &run, Attackers &attackers, int afterMs) const
    {
        for (std::size_t i = 0; i < attackers.size(); ++i)
            run.note(QStringLiteral("attacker %1: %2").arg(i + 1).arg(attackers[i]->release()));
        run.attackersWent();
        spin(afterMs);
    }

    void refusedFirst() const
    {
        const QString name = QStringLiteral("refused-first");
        AttackRun run(bus, environment, name);
        if (!run.start())
            return;
        QStringList calls{QStringLiteral("--hold"),
                          QStringLiteral("--send"),
                          QStringLiteral("1"),
                          QStringLiteral("GetPackageLatestList"),
                          QStringLiteral("aslines:") + files.path(QStringLiteral("ascii")),
                          QStringLiteral("b:false")};
        if (options.heldLists)
            calls << QStringLiteral("--then") << QStringLiteral("--send") << QStringLiteral("1")
                  << QStringLiteral("GetPackageLatestList")
                  << QStringLiteral("aslines:") + files.path(QStringLiteral("cjk"))
                  << QStringLiteral("b:false");
        calls << QStringLiteral("--then") << QStringLiteral("--send") << QStringLiteral("20")
              << QStringLiteral("GetLocalPackageInfo") << QStringLiteral("s:dpkg");
        Attackers attackers;
        for (int i = 0; i < 3; ++i)
            attackers.push_back(attacker(1, calls));
        if (!startAll(attackers, QStringLiteral("sent")))
            run.note(QStringLiteral("not every attacker got its calls out"));
        run.note(QStringLiteral("the calls were out after %1 ms").arg(run.elapsedMs()));
        spin(during(20));
        releaseAll(run, attackers, after(40));
        run.report(QStringLiteral("3 connections of uid 1, each: 1 open GetPackageLatestList of "
                                  "1000 names of 9000 characters%1, then 20 GetLocalPackageInfo "
                                  "s:dpkg, without waiting")
                       .arg(options.heldLists ? QStringLiteral(", 1 of 1000 names of 8380 "
                                                               "three-byte characters")
                                              : QString()));
    }

    void shares() const
    {
        LocalHttpsServer::Route route;
        route.body = "{}";
        route.stallSeconds = options.slowStoreS;
        store.setRoute(kStoreQuery, route);
        AttackRun run(bus, environment, QStringLiteral("shares"));
        if (!run.start())
            return;
        QStringList calls{QStringLiteral("--hold")};
        if (options.slowStoreS > 0)
            calls << QStringLiteral("--send") << QStringLiteral("1")
                  << QStringLiteral("GetPackageLatestList")
                  << QStringLiteral("as:twk-bench-a,twk-bench-b") << QStringLiteral("b:false")
                  << QStringLiteral("--then");
        calls << QStringLiteral("--send") << QString::number(options.slowCalls)
              << QStringLiteral("GetLocalPackageList") << QStringLiteral("--then")
              << QStringLiteral("--send") << QStringLiteral("1")
              << QStringLiteral("GetPackageLatestList")
              << QStringLiteral("aslines:") + files.path(QStringLiteral("cjk"))
              << QStringLiteral("b:false");
        Attackers attackers;
        for (uint uid = 1; uid <= 3; ++uid)
            attackers.push_back(attacker(uid, calls));
        if (!startAll(attackers, QStringLiteral("sent")))
            run.note(QStringLiteral("not every attacker got its calls out"));
        run.note(QStringLiteral("the calls were out after %1 ms").arg(run.elapsedMs()));
        spin(during(45));
        releaseAll(run, attackers, after(20));
        route.stallSeconds = 0;
        store.setRoute(kStoreQuery, route);
        run.report(QStringLiteral("uids 1, 2, 3, one connection each: %1%2 open "
                                  "GetLocalPackageList, then 1 open GetPackageLatestList of 1000 "
                                  "names of 8380 three-byte characters, without waiting")
                       .arg(options.slowStoreS > 0
                                ? QStringLiteral("1 open GetPackageLatestList of 2 names that "
                                                 "the store answers after %1 s, ")
                                      .arg(options.slowStoreS)
                                : QString())
                       .arg(options.slowCalls));
    }

    void stall() const
    {
        AttackRun run(bus, environment, QStringLiteral("stall"));
        if (!run.start())
            return;
        const pid_t pid = pid_t(run.daemon().processId());
        int done = 0;
        int firstDeaf = 0;
        qint64 slowest = 0;
        while (done < options.rounds && firstDeaf == 0) {
            Attacker burst(files.client(), 1,
                           {QStringLiteral("--send"), QStringLiteral("30"),
                            QStringLiteral("GetPackageDesktopFile"),
                            QStringLiteral("sfile:") + files.path(QStringLiteral("name"))});
            if (options.stallMs > 0)
                ::kill(pid, SIGSTOP);
            const bool started = burst.start();
            if (options.stallMs > 0) {
                spin(options.stallMs);
                ::kill(pid, SIGCONT);
            }
            const bool left = started && spin(kSetupLimitMs, [&] { return !burst.isRunning(); });
            burst.end();
            ++done;
            const qint64 answer = run.probe().askOnce();
            slowest = qMax(slowest, answer);
            if (!left || answer < 0)
                firstDeaf = done;
        }
        run.note(QStringLiteral("rounds done: %1; root not answered within 5 s after round: %2; "
                                "root's slowest answer after a round: %3 ms")
                     .arg(done)
                     .arg(firstDeaf > 0 ? QString::number(firstDeaf) : QStringLiteral("none"))
                     .arg(slowest));
        run.attackersWent();
        spin(after(20));
        run.report(QStringLiteral("rounds (at most %1) of 30 GetPackageDesktopFile with a 3 MB "
                                  "name from uid 1, without waiting, the daemon stopped "
                                  "(SIGSTOP) for %2 ms while they come")
                       .arg(options.rounds)
                       .arg(options.stallMs));
    }

    void listeners() const
    {
        AttackRun run(bus, environment, QStringLiteral("listeners"));
        if (!run.start())
            return;
        Attackers listeners;
        for (int i = 0; i < 2; ++i)
            listeners.push_back(attacker(1, {QStringLiteral("--listen")}));
        if (!startAll(listeners, QStringLiteral("listening")))
            run.note(QStringLiteral("not every listener subscribed"));
        Attackers flooders;
        for (int i = 0; i < 4; ++i)
            flooders.push_back(attacker(
                1, {floodMode(), QStringLiteral("1000000000"), QString::number(options.floodS),
                    QStringLiteral("GetConfigByNodeName"), QStringLiteral("s:agreeSign")}));
        const qint64 floodStart = run.elapsedMs();
        for (const auto &flooder : flooders)
            flooder->start();
        spin(1000 * options.floodS + 15000, [&] { return noneRuns(flooders); });
        endFlooders(run, flooders, floodStart);
        for (const auto &listener : listeners)
            listener->end();
        run.attackersWent();
        spin(after(60));
        run.report(QStringLiteral("uid 1: 2 connections subscribed to the daemon's signals that "
                                  "never read (stopped), 4 connections sending "
                                  "GetConfigByNodeName s:agreeSign for %1 s, %2")
                       .arg(options.floodS)
                       .arg(floodManner()),
                   true);
    }

    // The daemon's log folder: its bytes, and whether a line is in it.
    static qint64 logBytes()
    {
        qint64 bytes = 0;
        for (const QFileInfo &file : QDir(kLogFolder).entryInfoList(QDir::Files))
            bytes += file.size();
        return bytes;
    }
    static bool logHolds(const QByteArray &line)
    {
        for (const QFileInfo &file : QDir(kLogFolder).entryInfoList(QDir::Files))
            if (TestEnv::readFile(file.filePath()).contains(line))
                return true;
        return false;
    }

    void log() const
    {
        AttackRun run(bus, environment, QStringLiteral("log"));
        if (!run.start())
            return;
        spin(3000); // the start-up work's lines
        const QList<QByteArray> startLines =
            TestEnv::readFile(QString(kLogFolder) + QStringLiteral("/tarnwick-daemon.log"))
                .split('\n')
                .mid(0, 3);
        const qint64 before = logBytes();
        const int calls = options.calls == 100000 ? 200000 : options.calls;
        Attackers flooders;
        for (int i = 0; i < 4; ++i)
            flooders.push_back(attacker(1, {QStringLiteral("--flood-answered"),
                                            QString::number(calls / 4), QStringLiteral("3600"),
                                            QStringLiteral("GetLocalOnTheShelvesAppInfo")}));
        const qint64 floodStart = run.elapsedMs();
        for (const auto &flooder : flooders)
            flooder->start();
        spin(during(600), [&] { return noneRuns(flooders); });
        endFlooders(run, flooders, floodStart);
        run.attackersWent();
        spin(after(5));
        bool kept = !startLines.isEmpty();
        for (const QByteArray &line : startLines)
            kept = kept && (line.isEmpty() || logHolds(line));
        run.note(QStringLiteral("log folder: %1 bytes before, %2 after (grew by %3); the run's "
                                "first lines %4")
                     .arg(before)
                     .arg(logBytes())
                     .arg(logBytes() - before)
                     .arg(kept ? QStringLiteral("still kept") : QStringLiteral("gone")));
        run.report(QStringLiteral("uid 1: %1 open GetLocalOnTheShelvesAppInfo over 4 "
                                  "connections, answers asked for")
                       .arg(calls));
    }

    void refusedChecked() const
    {
        AttackRun run(bus, environment, QStringLiteral("refused-checked"));
        if (!run.start())
            return;
        Attackers flooders;
        const int each = (options.calls + options.connections - 1) / options.connections;
        for (int i = 0; i < options.connections; ++i)
            flooders.push_back(
                attacker(1, {floodMode(), QString::number(each), QStringLiteral("3600"),
                             QStringLiteral("SetConfigByNodeName"), QStringLiteral("s:onNotice"),
                             QStringLiteral("s:1")}));
        const qint64 floodStart = run.elapsedMs();
        for (const auto &flooder : flooders)
            flooder->start();
        spin(during(40), [&] { return noneRuns(flooders); });
        endFlooders(run, flooders, floodStart);
        spin(during(40) - int(run.elapsedMs()));
        run.attackersWent();
        spin(after(20));
        run.report(QStringLiteral("uid 1: %1 SetConfigByNodeName s:onNotice s:1 over %2 "
                                  "connections, %3")
                       .arg(each * options.connections)
                       .arg(options.connections)
                       .arg(floodManner()));
    }
};

bool parseOptions(const QStringList &arguments, Options &options)
{
    const QStringList attacks{QStringLiteral("refused-first"),
                              QStringLiteral("shares"),
                              QStringLiteral("stall"),
                              QStringLiteral("listeners"),
                              QStringLiteral("refused-checked"),
                              QStringLiteral("log"),
                              QStringLiteral("all")};
    options.attack = arguments.value(0);
    if (!attacks.contains(options.attack))
        return false;
    const QMap<QString, int *> numbers{{QStringLiteral("--during"), &options.duringS},
                                       {QStringLiteral("--after"), &options.afterS},
                                       {QStringLiteral("--slow-calls"), &options.slowCalls},
                                       {QStringLiteral("--slow-store"), &options.slowStoreS},
                                       {QStringLiteral("--stall-ms"), &options.stallMs},
                                       {QStringLiteral("--rounds"), &options.rounds},
                                       {QStringLiteral("--seconds"), &options.floodS},
                                       {QStringLiteral("--calls"), &options.calls},
                                       {QStringLiteral("--connections"), &options.connections}};
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("--held-lists") ||
            arguments.at(i) == QLatin1String("--answered")) {
            (arguments.at(i) == QLatin1String("--held-lists") ? options.heldLists
                                                              : options.answered) = true;
            continue;
        }
        bool ok = false;
        const int value = arguments.value(i + 1).toInt(&ok);
        if (!numbers.contains(arguments.at(i)) || !ok || value < 0)
            return false;
        *numbers.value(arguments.at(i)) = value;
        ++i;
    }
    return options.connections > 0 && options.floodS > 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Options options;
    if (!parseOptions(app.arguments().mid(1), options)) {
        std::fprintf(stderr,
                     "usage: %s refused-first|shares|stall|listeners|refused-checked|log|all "
                     "[--during S] [--after S] [--held-lists] [--answered] [--slow-calls N] "
                     "[--slow-store S] "
                     "[--stall-ms MS] [--rounds N] [--seconds S] [--calls N] [--connections N]\n",
                     argv[0]);
        return 2;
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr, "needs root: the daemon runs as root, the attackers as other users\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("TWK_SOURCE_DIR"))
        qputenv("TWK_SOURCE_DIR", TWK_BENCH_SOURCE_DIR);
    if (qEnvironmentVariableIsEmpty("TWK_DAEMON"))
        qputenv("TWK_DAEMON", TWK_BENCH_DAEMON);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    if (!SystemTestsLock::acquire())
        return 1;
    SystemFileGuard guard(DaemonUnderTest::statePaths() +
                          QStringList{QStringLiteral("/etc/velkor/velkor-app-store")});
    if (!guard.isValid()) {
        std::fprintf(stderr, "%s\n", qPrintable(guard.errorString()));
        return 1;
    }
    PrivateSystemBus bus;
    // Root may read the bus's statistics of the daemon's connection.
    bus.addPolicy(QStringLiteral("<policy user=\"root\"><allow send_destination="
                                 "\"org.freedesktop.DBus\" send_interface="
                                 "\"org.freedesktop.DBus.Debug.Stats\"/></policy>"));
    AttackFiles files;
    LocalHttpsServer store;
    LocalHttpsServer::Route quick;
    quick.body = "{}";
    if (bus.start().isEmpty() || !bus.openToAllUsers() || !files.create(TWK_BENCH_CLIENT) ||
        !store.start() || !store.setRoute(kStoreQuery, quick)) {
        std::fprintf(stderr, "cannot set up: %s %s\n", qPrintable(bus.errorString()),
                     qPrintable(store.errorString()));
        return 1;
    }
    const QStringList environment = StoreTestSetup::daemonEnvironment(store);
    if (environment.isEmpty()) {
        std::fprintf(stderr, "cannot write the store address file\n");
        return 1;
    }
    const Bench bench{bus, store, environment, files, options};
    const bool all = options.attack == QLatin1String("all");
    const QList<QPair<QString, void (Bench::*)() const>> attacks{
        {QStringLiteral("refused-first"), &Bench::refusedFirst},
        {QStringLiteral("shares"), &Bench::shares},
        {QStringLiteral("stall"), &Bench::stall},
        {QStringLiteral("listeners"), &Bench::listeners},
        {QStringLiteral("refused-checked"), &Bench::refusedChecked},
        {QStringLiteral("log"), &Bench::log}};
    for (const auto &[name, attack] : attacks)
        if (all || options.attack == name)
            (bench.*attack)();
    if (!guard.restore())
        std::fprintf(stderr, "%s\n", qPrintable(guard.errorString()));
    return 0;
}
