// A stand-in for the store's graphical client: calls one method of the daemon
// on the system bus and prints the answer. Tests copy it to the executable
// path the daemon trusts.
//
//   tarnwick-client [--wait | --send N [--await | --stop | --for MS]] <method> [<type>:<value> ...]
//   tarnwick-client --listen
//
// Types: s, b (true/false), i, x, as (elements separated by ","), and sfile
// and asfile, whose value (the one element) is the content of the file named,
// for texts longer than a command line may be; aslines takes the file's lines
// as the elements. With --send it makes the call N times without waiting for
// the answers and exits once they have left; with --await as well, it stays
// until every answer has come and prints how many were replies and how many
// errors, by name; with --stop instead, it stops itself (SIGSTOP) once they
// have left, so that nothing reads their answers until it is killed; with
// --for MS it keeps N calls unanswered for MS milliseconds, making a new one
// as each is answered, then prints how many were made. With
// --wait
// it prints "ready" and makes the call only once a line arrives on stdin, so
// that a test can change the world in between. With --listen it subscribes
// to the daemon's signals, prints "listening" and then the name of each
// signal as it comes, until it is killed (or stopped, when a test wants a
// listener that does not read). It
// prints "reply:" and the
// reply's arguments, or "error:" and the error name and message, and exits
// with 0 or 1 (2 for bad usage).

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMap>
#include <QStringList>
#include <QTextStream>

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

int keepInFlight(QDBusConnection &bus, const QDBusMessage &call, int inFlight, int forMs)
{
    QElapsedTimer running;
    running.start();
    int made = 0;
    int open = 0;
    QEventLoop loop;
    std::function<void()> makeOne = [&] {
        ++made;
        ++open;
        auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 60000), &loop);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &loop,
                         [&](QDBusPendingCallWatcher *finished) {
                             finished->deleteLater();
                             --open;
                             if (running.elapsed() < forMs)
                                 makeOne();
                             else if (open == 0)
                                 loop.quit();
                         });
    };
    for (int i = 0; i < inFlight; ++i)
        makeOne();
    loop.exec();
    std::printf("made %d\n", made);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    if (arguments == QStringList{QStringLiteral("--listen")}) {
        QDBusConnection bus = QDBusConnection::systemBus();
        QDBusMessage match = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("AddMatch"));
        match << QStringLiteral("type='signal',sender='com.tarnwick.daemon'");
        if (bus.call(match).type() != QDBusMessage::ReplyMessage)
            return 1;
        std::printf("listening\n");
        std::fflush(stdout);
        Printer printer;
        bus.connect(QStringLiteral("com.tarnwick.daemon"), QString(),
                    QStringLiteral("com.tarnwick.daemon.interface"),
                    QStringLiteral("sigConfigNodeStatusChanged"), &printer,
                    SLOT(print(QDBusMessage)));
        return app.exec();
    }
    const bool wait = !arguments.isEmpty() && arguments.constFirst() == QLatin1String("--wait");
    if (wait)
        arguments.removeFirst();
    int sends = 0;
    if (arguments.size() > 1 && arguments.constFirst() == QLatin1String("--send")) {
        sends = arguments.at(1).toInt();
        arguments.remove(0, 2);
    }
    const bool await = !arguments.isEmpty() && arguments.constFirst() == QLatin1String("--await");
    const bool stop = !arguments.isEmpty() && arguments.constFirst() == QLatin1String("--stop");
    if (await || stop)
        arguments.removeFirst();
    int forMs = 0;
    if (arguments.size() > 1 && arguments.constFirst() == QLatin1String("--for")) {
        forMs = arguments.at(1).toInt();
        arguments.remove(0, 2);
    }
    if (arguments.isEmpty()) {
        std::fprintf(stderr, "usage: tarnwick-client [--wait] <method> [<type>:<value> ...]\n");
        return 2;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("com.tarnwick.daemon"), QStringLiteral("/appstore"),
        QStringLiteral("com.tarnwick.daemon.interface"), arguments.takeFirst());
    QVariantList values;
    for (const QString &argument : std::as_const(arguments)) {
        QVariant value;
        if (!parseArgument(argument, value)) {
            std::fprintf(stderr, "bad argument: %s\n", qPrintable(argument));
            return 2;
        }
        values.append(value);
    }
    call.setArguments(values);

    QDBusConnection bus = QDBusConnection::systemBus();
    if (sends > 0 && forMs > 0)
        return keepInFlight(bus, call, sends, forMs);
    if (sends > 0 && await) {
        QList<QDBusPendingCall> pending;
        for (int i = 0; i < sends; ++i)
            pending.append(bus.asyncCall(call, 60000));
        QMap<QString, int> outcomes;
        for (QDBusPendingCall &answer : pending) {
            answer.waitForFinished();
            ++outcomes[answer.isError() ? answer.error().name() : QStringLiteral("reply")];
        }
        QTextStream out(stdout);
        for (auto outcome = outcomes.cbegin(); outcome != outcomes.cend(); ++outcome)
            out << outcome.key() << ' ' << outcome.value() << Qt::endl;
        return 0;
    }
    if (sends > 0) {
        for (int i = 0; i < sends; ++i)
            bus.asyncCall(call);
        // The bus answers in order: once it has answered this, the calls
        // above have reached it.
        bus.call(QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                QStringLiteral("/org/freedesktop/DBus"),
                                                QStringLiteral("org.freedesktop.DBus.Peer"),
                                                QStringLiteral("Ping")),
                 QDBus::Block, 60000);
        if (stop)
            ::raise(SIGSTOP);
        return 0;
    }
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
