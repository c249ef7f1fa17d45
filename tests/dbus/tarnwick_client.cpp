// A stand-in for the store's graphical client: calls one method of the daemon
// on the system bus and prints the answer. Tests copy it to the executable
// path the daemon trusts.
//
//   tarnwick-client [--wait | --send N | --hold|--await|--stop --send N |
//                    --flood[-answered] N SECONDS]
//                   <method> [<type>:<value> ...] [--then --send N <method> ...]
//   tarnwick-client --listen | --watch
//
// Types: s, b (true/false), i, x, as (elements separated by ","), and sfile
// and asfile, whose value (the one element) is the content of the file named,
// for texts longer than a command line may be; aslines takes the file's lines
// as the elements. With --send it makes the call N times without waiting for
// the answers and exits once they have left; "--then --send N" adds more
// calls behind them on the same connection. With --hold it prints "sent" once
// they have left and keeps its connection until stdin closes, then prints how
// the calls were answered; with --await it does so once every call is
// answered, and with --stop it stops itself (SIGSTOP) once they have left, so
// that nothing reads their answers until it is killed. --flood makes the call up to N times for at
// most SECONDS without asking for answers, as fast as the bus takes them;
// --flood-answered asks for them, with at most 100 calls waiting. --listen
// subscribes to the daemon's signals, prints "listening" and stops itself
// (SIGSTOP): a listener that never reads; --watch subscribes to the daemon's
// signals, prints "listening" and then "signal" and the name of each as it
// comes, until it is killed. With --wait
// it prints "ready" and makes the call only once a line arrives on stdin, so
// that a test can change the world in between. It prints "reply:" and the
// reply's arguments, or "error:" and the error name and message, and exits
// with 0 or 1 (2 for bad usage).

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QMap>
#include <QStringList>
#include <QTextStream>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <functional>
#include <iostream>
#include <string>

namespace {

bool parseArgument(const QString &text, QVariant &value)
{
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    if (colon < 0)
        return false;
    const QString type = text.left(colon);
    const QString raw = text.mid(colon + 1);
    bool ok = true;
    if (type == QLatin1String("sfile") || type == QLatin1String("asfile")) {
        QFile file(raw);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        const QString content = QString::fromUtf8(file.readAll());
        value = type == QLatin1String("sfile") ? QVariant(content) : QVariant(QStringList{content});
    } else if (type == QLatin1String("aslines")) {
        QFile file(raw);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        value = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    } else if (type == QLatin1String("s"))
        value = raw;
    else if (type == QLatin1String("b"))
        value = (raw == QLatin1String("true"));
    else if (type == QLatin1String("i"))
        value = raw.toInt(&ok);
    else if (type == QLatin1String("x"))
        value = raw.toLongLong(&ok);
    else if (type == QLatin1String("as"))
        value = raw.isEmpty() ? QStringList() : raw.split(QLatin1Char(','));
    else
        return false;
    return ok;
}

QDBusMessage busCall(const QString &method, const QVariantList &arguments = {})
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        method == QLatin1String("Ping") ? QStringLiteral("org.freedesktop.DBus.Peer")
                                        : QStringLiteral("org.freedesktop.DBus"),
        method);
    call.setArguments(arguments);
    return call;
}

// The bus answers in order: once it has answered this, the calls sent before
// it have reached it.
bool pingBus(const QDBusConnection &bus)
{
    return bus.call(busCall(QStringLiteral("Ping")), QDBus::Block, 60000).type() ==
           QDBusMessage::ReplyMessage;
}

// "<method> [<type>:<value> ...]" from the front of arguments, up to "--then".
bool takeCall(QStringList &arguments, QDBusMessage &call)
{
    if (arguments.isEmpty())
        return false;
    // "org.freedesktop.DBus.Introspectable.Introspect": a method of another
    // interface of the object.
    const QString name = arguments.takeFirst();
    const qsizetype dot = name.lastIndexOf(u'.');
    call = QDBusMessage::createMethodCall(
        QStringLiteral("com.tarnwick.daemon"), QStringLiteral("/appstore"),
        dot < 0 ? QStringLiteral("com.tarnwick.daemon.interface") : name.left(dot),
        name.mid(dot + 1));
    QVariantList values;
    while (!arguments.isEmpty() && arguments.constFirst() != QLatin1String("--then")) {
        QVariant value;
        if (!parseArgument(arguments.constFirst(), value)) {
            std::fprintf(stderr, "bad argument: %s\n", qPrintable(arguments.constFirst()));
            return false;
        }
        values.append(value);
        arguments.removeFirst();
    }
    call.setArguments(values);
    return true;
}

// The calls of "--send N <call> [--then --send N <call>]...", in order.
bool takeSends(QStringList &arguments, QList<QPair<int, QDBusMessage>> &sends)
{
    do {
        if (arguments.size() < 2 || arguments.constFirst() != QLatin1String("--send"))
            return false;
        const int count = arguments.at(1).toInt();
        arguments.remove(0, 2);
        QDBusMessage call;
        if (count < 1 || !takeCall(arguments, call))
            return false;
        sends.append({count, call});
    } while (!arguments.isEmpty() && arguments.takeFirst() == QLatin1String("--then"));
    return arguments.isEmpty();
}

// How a caller that sent its calls goes on.
enum class Hold {
    None,    // leaves at once
    Stdin,   // until stdin closes
    Answers, // until every call is answered
    Stop,    // stops itself, reading nothing more
};

// Waits for every answer (Answers) or for stdin to close, then tells how the
// calls were answered: a caller whose calls are held for good sees them
// unanswered, not timed out.
int holdAndTell(QList<QDBusPendingCall> &calls, Hold hold)
{
    std::printf("sent\n");
    std::fflush(stdout);
    if (hold == Hold::Answers) {
        for (QDBusPendingCall &call : calls)
            call.waitForFinished();
    } else {
        std::string line;
        while (std::getline(std::cin, line)) {
        }
    }
    int replies = 0;
    int unanswered = 0;
    QMap<QString, int> errors;
    for (const QDBusPendingCall &call : calls) {
        if (!call.isFinished())
            ++unanswered;
        else if (call.isError())
            ++errors[call.error().name() + QStringLiteral(" (") + call.error().message() + u')'];
        else
            ++replies;
    }
    QTextStream out(stdout);
    out << "answers: " << replies << " replies, " << unanswered << " unanswered";
    for (auto error = errors.cbegin(); error != errors.cend(); ++error)
        out << ", " << error.value() << ' ' << error.key();
    out << Qt::endl;
    return 0;
}

int sendAll(const QList<QPair<int, QDBusMessage>> &sends, Hold hold)
{
    const QDBusConnection bus = QDBusConnection::systemBus();
    QList<QDBusPendingCall> calls;
    for (const auto &[count, call] : sends)
        for (int i = 0; i < count; ++i)
            calls.append(bus.asyncCall(call, hold == Hold::None ? -1 : 3600000));
    pingBus(bus);
    if (hold == Hold::Stop)
        std::raise(SIGSTOP);
    return hold == Hold::Stdin || hold == Hold::Answers ? holdAndTell(calls, hold) : 0;
}

int flood(const QDBusMessage &call, qint64 count, qint64 seconds)
{
    // Not much more than the bus has read waits in this process.
    constexpr int kCallsPerPing = 256;
    const QDBusConnection bus = QDBusConnection::systemBus();
    QElapsedTimer timer;
    timer.start();
    qint64 sent = 0;
    while (sent < count && timer.elapsed() < seconds * 1000) {
        // A method call sent this way asks for no answer.
        bus.send(call);
        if (++sent % kCallsPerPing == 0)
            pingBus(bus);
    }
    pingBus(bus);
    std::printf("flooded: %lld calls in %lld ms\n", static_cast<long long>(sent),
                static_cast<long long>(timer.elapsed()));
    return 0;
}

// As flood(), but every call asks for its answer, at most kInFlight of them
// at once: the bus lets a connection have 128 calls waiting for answers.
int floodAnswered(const QDBusMessage &call, qint64 count, qint64 seconds)
{
    constexpr int kInFlight = 100;
    const QDBusConnection bus = QDBusConnection::systemBus();
    QElapsedTimer timer;
    timer.start();
    qint64 sent = 0;
    qint64 replies = 0;
    qint64 errors = 0;
    std::function<void()> sendOne = [&] {
        if (sent >= count || timer.elapsed() >= seconds * 1000) {
            // Once the last calls out are answered too.
            if (replies + errors == sent)
                QCoreApplication::quit();
            return;
        }
        ++sent;
        auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000));
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                         [&](QDBusPendingCallWatcher *done) {
                             done->deleteLater();
                             ++(done->isError() ? errors : replies);
                             sendOne();
                         });
    };
    for (int i = 0; i < kInFlight; ++i)
        sendOne();
    // The calls out when the time is up get theirs (5 s), no more.
    QTimer::singleShot(seconds * 1000 + 6000, QCoreApplication::instance(),
                       &QCoreApplication::quit);
    QCoreApplication::exec();
    std::printf("flooded: %lld calls in %lld ms, %lld replies, %lld errors\n",
                static_cast<long long>(sent), static_cast<long long>(timer.elapsed()),
                static_cast<long long>(replies), static_cast<long long>(errors));
    return 0;
}

int listenAndStop()
{
    const QDBusMessage reply = QDBusConnection::systemBus().call(
        busCall(QStringLiteral("AddMatch"),
                {QStringLiteral("type='signal',sender='com.tarnwick.daemon'")}),
        QDBus::Block, 60000);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        std::fprintf(stderr, "AddMatch: %s\n", qPrintable(reply.errorMessage()));
        return 1;
    }
    std::printf("listening\n");
    std::fflush(stdout);
    // Every thread stops, the bus connection's reader too.
    std::raise(SIGSTOP);
    return 0;
}

// Prints the name of each signal it is handed.
class Printer : public QObject
{
    Q_OBJECT
public Q_SLOTS:
    void print(const QDBusMessage &message)
    {
        std::printf("signal %s\n", qPrintable(message.member()));
        std::fflush(stdout);
    }
};

int watch()
{
    Printer printer;
    if (!QDBusConnection::systemBus().connect(QStringLiteral("com.tarnwick.daemon"), QString(),
                                              QStringLiteral("com.tarnwick.daemon.interface"),
                                              QString(), &printer, SLOT(print(QDBusMessage))))
        return 1;
    std::printf("listening\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}

int usage()
{
    std::fprintf(stderr, "usage: tarnwick-client [--wait | [--hold|--await|--stop] --send N | "
                         "--flood[-answered] N SECONDS] <method> [<type>:<value> ...] "
                         "[--then --send N <method> ...]\n"
                         "       tarnwick-client --listen | --watch\n");
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    const QString mode = arguments.value(0);
    if (mode == QLatin1String("--listen"))
        return arguments.size() == 1 ? listenAndStop() : usage();
    if (mode == QLatin1String("--watch"))
        return arguments.size() == 1 ? watch() : usage();
    if (mode == QLatin1String("--flood") || mode == QLatin1String("--flood-answered")) {
        const qint64 count = arguments.value(1).toLongLong();
        const qint64 seconds = arguments.value(2).toLongLong();
        arguments.remove(0, qMin<qsizetype>(3, arguments.size()));
        QDBusMessage call;
        if (count < 1 || seconds < 1 || !takeCall(arguments, call) || !arguments.isEmpty())
            return usage();
        return mode == QLatin1String("--flood") ? flood(call, count, seconds)
                                                : floodAnswered(call, count, seconds);
    }
    const QHash<QString, Hold> holds{{QStringLiteral("--hold"), Hold::Stdin},
                                     {QStringLiteral("--await"), Hold::Answers},
                                     {QStringLiteral("--stop"), Hold::Stop}};
    const Hold hold = holds.value(mode, Hold::None);
    if (hold != Hold::None)
        arguments.removeFirst();
    if (hold != Hold::None || arguments.value(0) == QLatin1String("--send")) {
        QList<QPair<int, QDBusMessage>> sends;
        return takeSends(arguments, sends) ? sendAll(sends, hold) : usage();
    }
    const bool wait = mode == QLatin1String("--wait");
    if (wait)
        arguments.removeFirst();
    QDBusMessage call;
    if (!takeCall(arguments, call) || !arguments.isEmpty())
        return usage();

    QDBusConnection bus = QDBusConnection::systemBus();
    if (wait) {
        std::printf("ready\n");
        std::fflush(stdout);
        std::string line;
        std::getline(std::cin, line);
    }
    const QDBusMessage reply = bus.call(call, QDBus::Block, 60000);
    QTextStream out(stdout);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        out << "error: " << reply.errorName() << ": " << reply.errorMessage() << Qt::endl;
        return 1;
    }
    out << "reply:";
    for (const QVariant &value : reply.arguments()) {
        if (value.metaType() == QMetaType::fromType<QStringList>())
            out << ' ' << value.toStringList().join(QLatin1Char(','));
        else
            out << ' ' << value.toString();
    }
    out << Qt::endl;
    return 0;
}

#include "tarnwick_client.moc"
