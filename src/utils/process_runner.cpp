#include "utils/process_runner.h"

#include "common/daemon_log.h"
#include "utils/proxy_system.h"
#include "utils/small_utils.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QProcessEnvironment>
#include <QSet>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

namespace AppStore {

namespace {

constexpr int kDefaultTimeoutMs = 30000;
// Time given to a killed child to be reaped; a child in uninterruptible
// sleep may need a moment after SIGKILL.
constexpr int kReapGraceMs = 3000;
// run() drains the pipes at least this often so that its stored copy stays
// bounded however fast the child writes.
constexpr int kDrainSliceMs = 200;
// A "line" that never ends (binary output, a runaway progress bar) is given
// out in pieces rather than buffered without limit.
constexpr qsizetype kMaxPendingLine = 1024 * 1024;

int effectiveTimeout(const ProcessSpec &spec)
{
    return spec.timeoutMs > 0 ? spec.timeoutMs : kDefaultTimeoutMs;
}

// Length of the longest prefix of data that does not end inside a UTF-8
// sequence, so that a split never produces a broken character.
qsizetype utf8SafeLength(const QByteArray &data, qsizetype length)
{
    qsizetype start = length;
    int continuation = 0;
    while (start > 0 && continuation < 3 && (uchar(data.at(start - 1)) & 0xC0) == 0x80) {
        --start;
        ++continuation;
    }
    if (start == 0)
        return length;
    const uchar lead = uchar(data.at(start - 1));
    int needed = 0;
    if ((lead & 0xE0) == 0xC0)
        needed = 1;
    else if ((lead & 0xF0) == 0xE0)
        needed = 2;
    else if ((lead & 0xF8) == 0xF0)
        needed = 3;
    else
        return length; // ASCII or stray bytes: nothing to hold back
    return continuation < needed ? start - 1 : length;
}

// Drops the front of store down to limit bytes, starting at a character.
void keepTail(QByteArray &store, qsizetype limit)
{
    if (store.size() <= limit)
        return;
    qsizetype cut = store.size() - limit;
    while (cut < store.size() && (uchar(store.at(cut)) & 0xC0) == 0x80)
        ++cut;
    store.remove(0, cut);
}

// The stored output is bounded (ProcessSpec::maxStoredOutput); the tail is
// kept because failures are reported at the end of the output.
void appendBounded(QByteArray &store, const QByteArray &data, qsizetype limit)
{
    store.append(data);
    // Trimming only once well past the cap keeps the cost linear.
    if (store.size() > limit + limit / 2)
        keepTail(store, limit);
}

void trimStored(QByteArray &store, qsizetype limit)
{
    if (store.size() > limit) {
        qCWarning(daemonLogCategory) << "process output cut to its last" << limit << "bytes";
        keepTail(store, limit);
    }
}

QList<pid_t> descendantsOf(pid_t root)
{
    QMultiHash<pid_t, pid_t> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool ok = false;
        const pid_t pid = entry.toInt(&ok);
        if (!ok)
            continue;
        const pid_t ppid = pid_t(SmallUtils::parentProcessId(pid));
        if (ppid > 0)
            children.insert(ppid, pid);
    }
    QList<pid_t> found;
    QList<pid_t> queue{root};
    while (!queue.isEmpty()) {
        const pid_t pid = queue.takeFirst();
        const QList<pid_t> kids = children.values(pid);
        for (pid_t kid : kids) {
            if (!found.contains(kid)) {
                found.append(kid);
                queue.append(kid);
            }
        }
    }
    return found;
}

// Kills a child and everything below it. The whole tree is stopped first and
// scanned again until no new process turns up, so that nothing can fork its
// way out between the scan and the kill. Processes that were already
// re-parented away (daemonised) are not found.
void killProcessTree(QProcess &process)
{
    const pid_t root = pid_t(process.processId());
    if (root <= 0)
        return;
    QSet<pid_t> stopped{root};
    ::kill(root, SIGSTOP);
    for (int round = 0; round < 10; ++round) {
        bool fresh = false;
        const QList<pid_t> pids = descendantsOf(root);
        for (pid_t pid : pids) {
            if (!stopped.contains(pid)) {
                ::kill(pid, SIGSTOP);
                stopped.insert(pid);
                fresh = true;
            }
        }
        if (!fresh)
            break;
    }
    process.kill();
    for (pid_t pid : std::as_const(stopped)) {
        if (pid != root)
            ::kill(pid, SIGKILL);
    }
}

QProcessEnvironment buildEnvironment(const ProcessSpec &spec)
{
    QProcessEnvironment env;
    if (spec.environmentMode != ProcessSpec::Environment::Replace) {
        env = QProcessEnvironment::systemEnvironment();
        // The user's proxy reaches the children from here, not through the
        // daemon's own environment.
        ProxySystem::applyToChildEnvironment(env);
    }
    if (spec.environmentMode == ProcessSpec::Environment::Inherit)
        return env;
    for (const QString &entry : spec.environment) {
        const qsizetype eq = entry.indexOf(QLatin1Char('='));
        if (eq <= 0) {
            qCWarning(daemonLogCategory) << "ignoring malformed environment entry" << entry;
            continue;
        }
        env.insert(entry.left(eq), entry.mid(eq + 1));
    }
    return env;
}

std::atomic<quint64> childFileLimit{0};

// Runs in the child between fork and exec: system calls only, no allocation.
void lowerFileLimit(quint64 files)
{
    struct rlimit limit = {};
    if (files == 0 || ::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur <= files)
        return;
    limit.rlim_cur = static_cast<rlim_t>(files);
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

// Runs in the child between fork and exec: system calls only, no allocation.
void openOnDevNull(const QList<int> &descriptors)
{
    const int null = ::open("/dev/null", O_RDWR);
    for (const int descriptor : descriptors) {
        if (null < 0)
            ::close(descriptor);
        else if (descriptor != null)
            ::dup2(null, descriptor);
    }
    if (null >= 0 && !descriptors.contains(null))
        ::close(null);
}

// Configures process for spec. A bare name is looked up in the daemon's own
// PATH here, because the child's environment may carry none.
bool prepareProcess(QProcess &process, const ProcessSpec &spec, ProcessResult &result)
{
    QString program = spec.program;
    if (program.isEmpty()) {
        result.errorString = QStringLiteral("no program given");
        return false;
    }
    if (!program.contains(QLatin1Char('/'))) {
        program = QStandardPaths::findExecutable(spec.program);
        if (program.isEmpty()) {
            result.errorString = QStringLiteral("program not found in PATH: ") + spec.program;
            return false;
        }
    }
    for (const int descriptor : spec.nullDescriptors) {
        if (descriptor <= STDERR_FILENO) {
            result.errorString = QStringLiteral("not a descriptor above the standard ones: ") +
                                 QString::number(descriptor);
            return false;
        }
    }
    process.setChildProcessModifier(
        [descriptors = spec.nullDescriptors, files = childFileLimit.load()] {
            lowerFileLimit(files);
            if (!descriptors.isEmpty())
                openOnDevNull(descriptors);
        });
    process.setProgram(program);
    process.setArguments(spec.arguments);
    if (!spec.workingDirectory.isEmpty())
        process.setWorkingDirectory(spec.workingDirectory);
    if (spec.environmentMode == ProcessSpec::Environment::Inherit && !spec.environment.isEmpty())
        qCWarning(daemonLogCategory)
            << "environment entries ignored in Inherit mode for" << spec.program;
    process.setProcessEnvironment(buildEnvironment(spec));
    return true;
}

void fillExit(const QProcess &process, ProcessResult &result)
{
    result.crashed = process.exitStatus() == QProcess::CrashExit;
    result.exitCode = result.crashed ? -1 : process.exitCode();
}

struct Channel
{
    QByteArray stored;
    QByteArray pending;
    bool skipLineFeed = false; // the last line ended in "\r"; a "\n" may follow
};

// Moves the complete lines at the front of channel.pending into lines.
void splitLines(Channel &channel, QList<QString> &lines)
{
    if (channel.skipLineFeed && !channel.pending.isEmpty()) {
        if (channel.pending.startsWith('\n'))
            channel.pending.remove(0, 1);
        channel.skipLineFeed = false;
    }
    qsizetype from = 0;
    const qsizetype size = channel.pending.size();
    while (from < size) {
        qsizetype end = from;
        while (end < size && channel.pending.at(end) != '\n' && channel.pending.at(end) != '\r')
            ++end;
        if (end == size)
            break;
        lines.append(QString::fromUtf8(channel.pending.constData() + from, end - from));
        if (channel.pending.at(end) == '\r') {
            if (end + 1 == size) {
                channel.skipLineFeed = true;
            } else if (channel.pending.at(end + 1) == '\n') {
                ++end;
            }
        }
        from = end + 1;
    }
    channel.pending.remove(0, from);
    if (channel.pending.size() > kMaxPendingLine) {
        const qsizetype cut = utf8SafeLength(channel.pending, kMaxPendingLine);
        lines.append(QString::fromUtf8(channel.pending.left(cut)));
        channel.pending.remove(0, cut);
    }
}

} // namespace

namespace {

// Until output arrives, the child ends or slice passes. With its standard
// output closed, a child still running is waited for as a whole.
void waitForOutput(QProcess &process, int slice)
{
    QElapsedTimer waited;
    waited.start();
    if (process.waitForReadyRead(slice) || process.state() == QProcess::NotRunning)
        return;
    const qint64 left = slice - waited.elapsed();
    if (left > 0)
        process.waitForFinished(int(left));
}

} // namespace

ProcessResult ProcessRunner::run(const ProcessSpec &spec)
{
    ProcessResult result;
    QProcess process;
    if (!prepareProcess(process, spec, result)) {
        qCWarning(daemonLogCategory) << "cannot run" << spec.program << ":" << result.errorString;
        return result;
    }
    QDeadlineTimer deadline(effectiveTimeout(spec));
    process.start(QIODevice::ReadWrite);
    if (!process.waitForStarted(int(std::max<qint64>(deadline.remainingTime(), 1)))) {
        result.errorString = process.errorString();
        qCWarning(daemonLogCategory) << "cannot start" << spec.program << ":" << result.errorString;
        if (process.state() != QProcess::NotRunning) {
            killProcessTree(process);
            process.waitForFinished(kReapGraceMs);
        }
        return result;
    }
    result.started = true;
    // Waited-for runs sit on the install road too; their borders show where
    // its time goes.
    // The pid pairs each end with its start when runs overlap.
    const qint64 pid = process.processId();
    qCDebug(daemonLogCategory) << "started" << spec.program << spec.arguments << "pid" << pid;
    if (!spec.standardInput.isEmpty())
        process.write(spec.standardInput);
    process.closeWriteChannel();

    const qsizetype outputLimit = std::max<qsizetype>(spec.maxStoredOutput, 1024);
    const auto drain = [&] {
        if (spec.standardOutputSink) {
            const QByteArray chunk = process.readAllStandardOutput();
            if (!chunk.isEmpty())
                spec.standardOutputSink(chunk);
        } else {
            appendBounded(result.standardOutput, process.readAllStandardOutput(), outputLimit);
        }
        appendBounded(result.standardError, process.readAllStandardError(), outputLimit);
    };
    QThread *caller = QThread::currentThread();
    while (process.state() != QProcess::NotRunning) {
        // A worker thread asked to stop (the daemon is quitting) must not
        // wait out a long tool such as an index update.
        if (caller->isInterruptionRequested()) {
            qCWarning(daemonLogCategory) << spec.program << "stopped: its thread is stopping";
            result.killed = true;
            killProcessTree(process);
            process.waitForFinished(kReapGraceMs);
            break;
        }
        const qint64 remaining = deadline.remainingTime();
        if (remaining <= 0) {
            result.timedOut = true;
            qCWarning(daemonLogCategory) << spec.program << "exceeded its time limit of"
                                         << effectiveTimeout(spec) << "ms; killing it";
            killProcessTree(process);
            if (!process.waitForFinished(kReapGraceMs))
                qCWarning(daemonLogCategory) << spec.program << "did not end after SIGKILL";
            break;
        }
        // A sink takes the output as it comes, so that it never piles up.
        const int slice = int(std::min<qint64>(remaining, kDrainSliceMs));
        if (spec.standardOutputSink)
            waitForOutput(process, slice);
        else
            process.waitForFinished(slice);
        drain();
    }
    drain();
    trimStored(result.standardOutput, outputLimit);
    trimStored(result.standardError, outputLimit);
    fillExit(process, result);
    qCDebug(daemonLogCategory) << spec.program << "pid" << pid << "ended, exit code"
                               << result.exitCode << "crashed" << result.crashed << "timed out"
                               << result.timedOut;
    return result;
}

void ProcessRunner::setChildFileLimit(quint64 files)
{
    childFileLimit.store(files);
}

void ProcessRunner::release(ProcessRunner *&runner, const QObject *receiver)
{
    if (!runner)
        return;
    disconnect(runner, nullptr, receiver, nullptr);
    // Its destructor kills what still runs and reaps it, within a bound.
    delete runner;
    runner = nullptr;
}

struct ProcessRunner::Private
{
    struct Waiter
    {
        QEventLoop loop;
        ProcessResult result;
    };

    ProcessRunner *q;
    std::unique_ptr<QProcess> process;
    QTimer timeoutTimer;
    ProcessResult result;
    Channel out;
    Channel err;
    QList<QString> outLines;
    QList<QString> errLines;
    QList<Waiter *> waiters;
    bool running = false;
    qint64 pid = 0; // of the last run, for the log once it ended
    qsizetype outputLimit = 16 * 1024 * 1024;

    explicit Private(ProcessRunner *owner)
        : q(owner)
    {
        timeoutTimer.setSingleShot(true);
    }

    void reset()
    {
        result = ProcessResult();
        out = Channel();
        err = Channel();
        outLines.clear();
        errLines.clear();
    }

    // The result so far, with the output captured up to now.
    ProcessResult snapshot() const
    {
        ProcessResult current = result;
        current.standardOutput = out.stored;
        current.standardError = err.stored;
        keepTail(current.standardOutput, outputLimit);
        keepTail(current.standardError, outputLimit);
        return current;
    }

    void releaseWaiters()
    {
        const ProcessResult current = snapshot();
        for (Waiter *waiter : std::as_const(waiters)) {
            waiter->result = current;
            waiter->loop.quit();
        }
        waiters.clear();
    }

    void onTimeout();
    void onReadyRead(QProcess::ProcessChannel which);
    void onFinished();
    bool deliver(QProcess::ProcessChannel which, const QByteArray &data);
    bool emitLines();
    void flushRemainders();
};

void ProcessRunner::Private::onTimeout()
{
    if (!running || !process)
        return;
    qCWarning(daemonLogCategory) << process->program() << "exceeded its time limit; killing it";
    result.timedOut = true;
    killProcessTree(*process);
}

// Returns false when the runner was destroyed by a slot; nothing may be
// touched then.
bool ProcessRunner::Private::deliver(QProcess::ProcessChannel which, const QByteArray &data)
{
    if (data.isEmpty())
        return true;
    const bool isOut = which == QProcess::StandardOutput;
    Channel &channel = isOut ? out : err;
    appendBounded(channel.stored, data, outputLimit);
    channel.pending.append(data);
    splitLines(channel, isOut ? outLines : errLines);
    QPointer<ProcessRunner> guard(q);
    if (isOut)
        Q_EMIT q->standardOutputData(data);
    else
        Q_EMIT q->standardErrorData(data);
    return guard && emitLines();
}

// Lines wait in a queue and each is taken off its front before it is given
// out, so that a slot that spins an event loop cannot reorder or repeat them.
bool ProcessRunner::Private::emitLines()
{
    QPointer<ProcessRunner> guard(q);
    while (!outLines.isEmpty()) {
        Q_EMIT q->standardOutputLine(outLines.takeFirst());
        if (!guard)
            return false;
    }
    while (!errLines.isEmpty()) {
        Q_EMIT q->standardErrorLine(errLines.takeFirst());
        if (!guard)
            return false;
    }
    return true;
}

void ProcessRunner::Private::onReadyRead(QProcess::ProcessChannel which)
{
    if (!process)
        return;
    const QByteArray data = which == QProcess::StandardOutput ? process->readAllStandardOutput()
                                                              : process->readAllStandardError();
    deliver(which, data);
}

void ProcessRunner::Private::flushRemainders()
{
    for (Channel *channel : {&out, &err}) {
        if (!channel->pending.isEmpty()) {
            (channel == &out ? outLines : errLines).append(QString::fromUtf8(channel->pending));
            channel->pending.clear();
        }
    }
}

void ProcessRunner::Private::onFinished()
{
    if (!running || !process)
        return;
    timeoutTimer.stop();
    // The QProcess is handed to the event loop for deletion: a slot connected
    // to finished() may destroy this runner, and the QProcess is still
    // inside its own signal here.
    std::unique_ptr<QProcess> ended = std::move(process);
    QObject::disconnect(ended.get(), nullptr, q, nullptr);
    ended->setParent(nullptr);
    QProcess *raw = ended.release();
    raw->deleteLater();
    fillExit(*raw, result);

    if (!deliver(QProcess::StandardOutput, raw->readAllStandardOutput()))
        return;
    if (!deliver(QProcess::StandardError, raw->readAllStandardError()))
        return;
    flushRemainders();
    if (!emitLines())
        return;
    running = false;
    if (out.stored.size() > outputLimit || err.stored.size() > outputLimit)
        qCWarning(daemonLogCategory)
            << raw->program() << "output cut to its last" << outputLimit << "bytes per channel";
    result = snapshot();
    qCDebug(daemonLogCategory) << raw->program() << "pid" << pid << "ended, exit code"
                               << result.exitCode << "crashed" << result.crashed << "timed out"
                               << result.timedOut;
    // Waiters are released first: a slot may start the next run, and the
    // loops only return once this handler is done.
    releaseWaiters();
    const ProcessResult finalResult = result;
    Q_EMIT q->finished(finalResult);
}

ProcessRunner::ProcessRunner(QObject *parent)
    : QObject(parent)
    , d(std::make_unique<Private>(this))
{
    static const int registered = qRegisterMetaType<AppStore::ProcessResult>();
    Q_UNUSED(registered);
    connect(&d->timeoutTimer, &QTimer::timeout, this, [this] { d->onTimeout(); });
}

ProcessRunner::~ProcessRunner()
{
    d->timeoutTimer.stop();
    if (d->process) {
        QObject::disconnect(d->process.get(), nullptr, this, nullptr);
        if (d->process->state() != QProcess::NotRunning) {
            qCDebug(daemonLogCategory)
                << "killing" << d->process->program() << "as its runner goes away";
            d->result.killed = true;
            killProcessTree(*d->process);
            if (!d->process->waitForFinished(kReapGraceMs))
                qCWarning(daemonLogCategory)
                    << d->process->program() << "did not end after SIGKILL";
        }
        // This may run from a slot of the QProcess's own output signals.
        d->process.release()->deleteLater();
    }
    d->running = false;
    d->releaseWaiters();
}

bool ProcessRunner::start(const ProcessSpec &spec)
{
    if (d->running) {
        qCWarning(daemonLogCategory)
            << "ProcessRunner::start while" << d->process->program() << "still runs";
        return false;
    }
    d->reset();
    d->outputLimit = std::max<qsizetype>(spec.maxStoredOutput, 1024);
    auto process = std::make_unique<QProcess>();
    if (!prepareProcess(*process, spec, d->result)) {
        qCWarning(daemonLogCategory)
            << "cannot run" << spec.program << ":" << d->result.errorString;
        return false;
    }
    connect(process.get(), &QProcess::readyReadStandardOutput, this,
            [this] { d->onReadyRead(QProcess::StandardOutput); });
    connect(process.get(), &QProcess::readyReadStandardError, this,
            [this] { d->onReadyRead(QProcess::StandardError); });
    connect(process.get(), &QProcess::finished, this, [this] { d->onFinished(); });

    const int timeout = effectiveTimeout(spec);
    QDeadlineTimer startDeadline(std::min(timeout, kDefaultTimeoutMs));
    process->start(QIODevice::ReadWrite);
    if (!process->waitForStarted(int(std::max<qint64>(startDeadline.remainingTime(), 1)))) {
        d->result.errorString = process->errorString();
        qCWarning(daemonLogCategory)
            << "cannot start" << spec.program << ":" << d->result.errorString;
        QObject::disconnect(process.get(), nullptr, this, nullptr);
        if (process->state() != QProcess::NotRunning) {
            killProcessTree(*process);
            process->waitForFinished(kReapGraceMs);
        }
        return false;
    }
    d->pid = process->processId();
    qCDebug(daemonLogCategory) << "started" << process->program() << spec.arguments << "pid"
                               << d->pid;
    d->process = std::move(process);
    d->result.started = true;
    d->running = true;
    d->timeoutTimer.start(timeout);
    return true;
}

bool ProcessRunner::isRunning() const
{
    return d->running;
}

qint64 ProcessRunner::processId() const
{
    return d->process ? d->process->processId() : 0;
}

bool ProcessRunner::write(const QByteArray &data)
{
    if (!d->running || !d->process)
        return false;
    return d->process->write(data) == data.size();
}

void ProcessRunner::closeWriteChannel()
{
    if (d->running && d->process)
        d->process->closeWriteChannel();
}

void ProcessRunner::kill()
{
    if (!d->running || !d->process)
        return;
    qCDebug(daemonLogCategory) << "killing" << d->process->program() << "on request";
    d->result.killed = true;
    killProcessTree(*d->process);
}

void ProcessRunner::interrupt()
{
    if (!d->running || !d->process || d->process->processId() <= 0)
        return;
    qCDebug(daemonLogCategory) << "interrupting" << d->process->program() << "on request";
    ::kill(pid_t(d->process->processId()), SIGINT);
}

ProcessResult ProcessRunner::waitForFinished()
{
    if (!d->running)
        return d->result;
    // The waiter lives on this stack frame so that the result survives even
    // when a slot destroys the runner while the loop runs.
    Private::Waiter waiter;
    d->waiters.append(&waiter);
    waiter.loop.exec();
    return waiter.result;
}

ProcessResult ProcessRunner::result() const
{
    return d->running ? d->snapshot() : d->result;
}

QString ProcessRunner::pendingStandardOutput() const
{
    return QString::fromUtf8(
        d->out.pending.left(utf8SafeLength(d->out.pending, d->out.pending.size())));
}

QString ProcessRunner::pendingStandardError() const
{
    return QString::fromUtf8(
        d->err.pending.left(utf8SafeLength(d->err.pending, d->err.pending.size())));
}

} // namespace AppStore
