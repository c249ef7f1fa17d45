// The daemon binary on a private system bus: time from its exec to its name
// on the bus and its first answer (the workers are built before the event
// loop takes calls), median of several starts, then bus calls per second of
// an open method ("GetAgreeState") and of a checked one ("CheckAppUpgrade"),
// called as root, and of the open one while another connection's long call
// (a latest package list of 500 names, against a local store that answers
// each query of 50 names after a second) runs. Runs the daemon with its real
// state folders and store address file, like scripts/run: as root, holding
// the system tests' lock, and puts those folders back afterwards.
// Usage: TWK_SOURCE_DIR=<source> bus_calls_bench <daemon binary> [calls, default 2000]
//        [starts, default 20]

#include "daemon_under_test.h"
#include "local_https_server.h"
#include "private_system_bus.h"
#include "store_test_setup.h"
#include "system_file_guard.h"
#include "system_tests_lock.h"

#include "utils/process_runner.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QThread>

#include <algorithm>
#include <cstdio>

using AppStore::ProcessRunner;
using AppStore::ProcessSpec;

namespace {

const QString kService = QStringLiteral("com.tarnwick.daemon");
const QString kStoreQuery = QStringLiteral("/store-dist-app/getAppBriefInfo");
constexpr int kLongCallNames = 500;
// The open method's calls during the long call stop after this long.
constexpr qint64 kLongCallWindowMs = 3000;

QDBusMessage methodCall(const QString &method)
{
    return QDBusMessage::createMethodCall(kService, QStringLiteral("/appstore"),
                                          QStringLiteral("com.tarnwick.daemon.interface"), method);
}

QDBusMessage call(const QString &method)
{
    return QDBusConnection::systemBus().call(methodCall(method), QDBus::Block, 30000);
}

bool waitFor(const std::function<bool()> &done, int limitMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents();
        QThread::usleep(200);
    }
    return true;
}

void callsPerSecond(const QString &method, int count)
{
    QElapsedTimer timer;
    timer.start();
    int failures = 0;
    for (int i = 0; i < count; ++i)
        failures += call(method).type() != QDBusMessage::ReplyMessage;
    std::printf("%-16s %8.0f calls/s (%d calls, %d failed)\n", qPrintable(method),
                count * 1000.0 / qMax<qint64>(1, timer.elapsed()), count, failures);
}

// The open method's calls per second on this connection while another
// connection's long call runs; until the given count, or the window ends.
void callsPerSecondDuringLongCall(const LocalHttpsServer &store, int count)
{
    QStringList names;
    for (int i = 0; i < kLongCallNames; ++i)
        names.append(QStringLiteral("twk-bench-%1").arg(i));
    QDBusMessage message = methodCall(QStringLiteral("GetPackageLatestList"));
    message.setArguments({names, false});
    const QDBusConnection other =
        QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("long call"));
    const int asked = int(store.requestLog().size());
    QDBusPendingCall longCall = other.asyncCall(message, 600000);
    // Measured once the daemon asks the store.
    if (!waitFor([&] { return store.requestLog().size() > asked; }, 30000)) {
        std::fprintf(stderr, "the long call never reached the store\n");
        return;
    }
    QElapsedTimer timer;
    timer.start();
    int calls = 0;
    int failures = 0;
    while (calls < count && timer.elapsed() < kLongCallWindowMs) {
        failures += call(QStringLiteral("GetAgreeState")).type() != QDBusMessage::ReplyMessage;
        ++calls;
    }
    const qint64 elapsed = qMax<qint64>(1, timer.elapsed());
    const bool stillRunning = !longCall.isFinished();
    std::printf("%-16s %8.1f calls/s while another connection's long call runs (%d calls in "
                "%lld ms, %d failed; the long call %s)\n",
                "GetAgreeState", calls * 1000.0 / elapsed, calls, static_cast<long long>(elapsed),
                failures, stillRunning ? "still ran at the end" : "had ended");
    longCall.waitForFinished();
}

struct StartTimes
{
    qint64 nameMs = -1;
    qint64 answerMs = -1;
};

// Starts the daemon into runner and times it to its name and first answer.
StartTimes timeStart(ProcessRunner &runner, const QString &daemon, const QStringList &environment)
{
    ProcessSpec spec;
    spec.program = daemon;
    spec.environmentMode = ProcessSpec::Environment::Extend;
    spec.environment = environment;
    spec.timeoutMs = 600000;
    StartTimes times;
    QElapsedTimer sinceExec;
    sinceExec.start();
    if (!runner.start(spec)) {
        std::fprintf(stderr, "cannot start %s\n", qPrintable(daemon));
        return times;
    }
    if (!waitFor(DaemonUnderTest::isOnBus, 30000))
        return times;
    const qint64 nameMs = sinceExec.elapsed();
    if (call(QStringLiteral("GetAgreeState")).type() != QDBusMessage::ReplyMessage)
        return times;
    times.answerMs = sinceExec.elapsed();
    times.nameMs = nameMs;
    return times;
}

bool stopDaemon(ProcessRunner &runner)
{
    runner.kill();
    runner.waitForFinished();
    return waitFor([] { return !DaemonUnderTest::isOnBus(); }, 30000);
}

double median(QList<qint64> values)
{
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 ? double(values.at(middle))
                             : (values.at(middle - 1) + values.at(middle)) / 2.0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString daemon = app.arguments().value(1);
    const int count = qMax(1, app.arguments().value(2, QStringLiteral("2000")).toInt());
    const int starts = qMax(1, app.arguments().value(3, QStringLiteral("20")).toInt());
    if (daemon.isEmpty()) {
        std::fprintf(stderr, "usage: bus_calls_bench <daemon binary> [calls] [starts]\n");
        return 2;
    }
    // This process's own tool runs stay out of its output.
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
    if (bus.start().isEmpty()) {
        std::fprintf(stderr, "no private bus: %s\n", qPrintable(bus.errorString()));
        return 1;
    }

    LocalHttpsServer store;
    LocalHttpsServer::Route slow;
    slow.body = "{}";
    slow.stallSeconds = 1;
    if (!store.start() || !store.setRoute(kStoreQuery, slow)) {
        std::fprintf(stderr, "no local store: %s\n", qPrintable(store.errorString()));
        return 1;
    }
    const QStringList storeEnvironment = StoreTestSetup::daemonEnvironment(store);
    if (storeEnvironment.isEmpty()) {
        std::fprintf(stderr, "cannot write the store address file\n");
        return 1;
    }

    const QStringList environment = bus.environment() + storeEnvironment
                                    << QStringLiteral("QT_LOGGING_RULES=*.debug=false");
    QList<qint64> names;
    QList<qint64> answers;
    ProcessRunner runner;
    for (int i = 0; i < starts; ++i) {
        const StartTimes times = timeStart(runner, daemon, environment);
        if (times.answerMs < 0) {
            std::fprintf(stderr, "the daemon did not answer\n");
            return 1;
        }
        names.append(times.nameMs);
        answers.append(times.answerMs);
        if (i + 1 < starts && !stopDaemon(runner)) {
            std::fprintf(stderr, "the daemon did not leave the bus\n");
            return 1;
        }
    }
    std::sort(answers.begin(), answers.end());
    std::printf("exec to name on the bus: median %.1f ms; to its first answer: median %.1f ms "
                "(%d starts; answers from %lld to %lld ms)\n",
                median(names), median(answers), starts, static_cast<long long>(answers.first()),
                static_cast<long long>(answers.last()));
    callsPerSecond(QStringLiteral("GetAgreeState"), count);
    callsPerSecond(QStringLiteral("CheckAppUpgrade"), count);
    callsPerSecondDuringLongCall(store, count);
    stopDaemon(runner);
    return 0;
}
