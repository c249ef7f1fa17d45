// The daemon binary on a private system bus: time from its exec to its name
// on the bus and its first answer (the workers are built before the event
// loop takes calls), then bus calls per second of an open method
// ("GetAgreeState") and of a checked one ("CheckAppUpgrade"), called as root.
// Runs the daemon with its real state folders, like scripts/run: as root, on
// a machine where that is fine.
// Usage: TWK_SOURCE_DIR=<source> bus_calls_bench <daemon binary> [calls, default 2000]

#include "private_system_bus.h"

#include "utils/process_runner.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QThread>

#include <cstdio>

using AppStore::ProcessRunner;
using AppStore::ProcessSpec;

namespace {

const QString kService = QStringLiteral("com.tarnwick.daemon");

QDBusMessage call(const QString &method)
{
    const QDBusMessage message =
        QDBusMessage::createMethodCall(kService, QStringLiteral("/appstore"),
                                       QStringLiteral("com.tarnwick.daemon.interface"), method);
    return QDBusConnection::systemBus().call(message, QDBus::Block, 30000);
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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString daemon = app.arguments().value(1);
    const int count = qMax(1, app.arguments().value(2, QStringLiteral("2000")).toInt());
    if (daemon.isEmpty()) {
        std::fprintf(stderr, "usage: bus_calls_bench <daemon binary> [calls]\n");
        return 2;
    }
    PrivateSystemBus bus;
    if (bus.start().isEmpty()) {
        std::fprintf(stderr, "no private bus: %s\n", qPrintable(bus.errorString()));
        return 1;
    }

    ProcessRunner runner;
    ProcessSpec spec;
    spec.program = daemon;
    spec.environmentMode = ProcessSpec::Environment::Extend;
    spec.environment = bus.environment() << QStringLiteral("QT_LOGGING_RULES=*.debug=false");
    spec.timeoutMs = 600000;
    QElapsedTimer sinceExec;
    sinceExec.start();
    if (!runner.start(spec)) {
        std::fprintf(stderr, "cannot start %s\n", qPrintable(daemon));
        return 1;
    }
    const bool named = waitFor(
        [] { return QDBusConnection::systemBus().interface()->isServiceRegistered(kService); },
        30000);
    const qint64 nameMs = sinceExec.elapsed();
    const bool answered =
        named && call(QStringLiteral("GetAgreeState")).type() == QDBusMessage::ReplyMessage;
    const qint64 answerMs = sinceExec.elapsed();
    if (!answered) {
        std::fprintf(stderr, "the daemon did not answer\n");
        return 1;
    }
    std::printf("exec to name on the bus: %lld ms; to its first answer: %lld ms\n",
                static_cast<long long>(nameMs), static_cast<long long>(answerMs));
    callsPerSecond(QStringLiteral("GetAgreeState"), count);
    callsPerSecond(QStringLiteral("CheckAppUpgrade"), count);
    runner.kill();
    runner.waitForFinished();
    return 0;
}
