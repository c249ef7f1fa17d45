#include "utils/process_runner.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using AppStore::ProcessResult;
using AppStore::ProcessRunner;
using AppStore::ProcessSpec;

namespace {

ProcessSpec shell(const QString &script, const QStringList &args = {})
{
    ProcessSpec spec;
    spec.program = QStringLiteral("/bin/sh");
    spec.arguments = QStringList{QStringLiteral("-c"), script, QStringLiteral("sh")} + args;
    return spec;
}

ProcessSpec command(const QString &program, const QStringList &args = {})
{
    ProcessSpec spec;
    spec.program = program;
    spec.arguments = args;
    return spec;
}

// A killed process may linger as a zombie until its new parent reaps it; it
// runs no code any more, so it counts as gone.
bool processGone(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close < 0 || text.mid(close + 2, 1) == "Z";
}

QList<qint64> pidsFrom(const QString &text)
{
    QList<qint64> pids;
    const QStringList words = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &word : words)
        pids.append(word.toLongLong());
    return pids;
}

// Prints its own pid and that of a background grandchild, then waits.
const QString kParentAndGrandchild = QStringLiteral("echo $$; sleep 30 & echo $!; wait");

} // namespace

class TestProcessRunner : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();

    void exitStatus();
    void separateChannelsAndStdin();
    void argumentsAreNeverInterpreted();
    void environmentModes();
    void workingDirectory();
    void childFileLimit();
    void programNotFound();
    void outputIsBounded();
    void runTimeoutKillsTree();
    void runStopsWhenItsThreadIsInterrupted();

    void liveLinesStreamInOrder();
    void liveCarriageReturnSplits();
    void livePromptAnsweredThroughWrite();
    void liveKillStopsGrandchildren();
    void liveTimeout();
    void liveFinishedOnceAndSafeToDelete();
    void liveDestructorKills();
    void liveStartFailure();
};

void TestProcessRunner::initTestCase()
{
    qputenv("TWK_RUNNER_BASE", "base");
}

void TestProcessRunner::exitStatus()
{
    ProcessResult ok = ProcessRunner::run(shell(QStringLiteral("exit 0")));
    QVERIFY(ok.started);
    QVERIFY(ok.succeeded());
    QCOMPARE(ok.exitCode, 0);

    ProcessResult failed = ProcessRunner::run(shell(QStringLiteral("exit 3")));
    QVERIFY(failed.started);
    QVERIFY(!failed.succeeded());
    QCOMPARE(failed.exitCode, 3);
    QVERIFY(!failed.crashed);

    ProcessResult signalled = ProcessRunner::run(shell(QStringLiteral("kill -9 $$")));
    QVERIFY(signalled.crashed);
    QVERIFY(!signalled.succeeded());

    // A non-positive limit means the default one, not "expired at once".
    ProcessSpec noLimit = command(QStringLiteral("true"));
    noLimit.timeoutMs = 0;
    QVERIFY(ProcessRunner::run(noLimit).succeeded());
}

void TestProcessRunner::separateChannelsAndStdin()
{
    ProcessResult split =
        ProcessRunner::run(shell(QStringLiteral("printf out1; printf err1 >&2; printf out2")));
    QCOMPARE(split.standardOutput, QByteArray("out1out2"));
    QCOMPARE(split.standardError, QByteArray("err1"));

    ProcessSpec cat = command(QStringLiteral("cat"));
    cat.standardInput = QByteArray("line one\nline two");
    ProcessResult fed = ProcessRunner::run(cat);
    QVERIFY(fed.succeeded());
    QCOMPARE(fed.standardOutput, cat.standardInput);

    // Without data stdin is still closed, or cat would wait for its limit.
    cat.standardInput.clear();
    cat.timeoutMs = 5000;
    ProcessResult empty = ProcessRunner::run(cat);
    QVERIFY(!empty.timedOut);
    QVERIFY(empty.succeeded());

    const QString text = QStringLiteral("gr\u00fc\u00dfe \u20ac \U0001F600");
    ProcessResult utf8 = ProcessRunner::run(command(QStringLiteral("printf"), {text}));
    QCOMPARE(utf8.outputText(), text);
}

void TestProcessRunner::argumentsAreNeverInterpreted()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString marker = dir.filePath(QStringLiteral("owned"));
    const QStringList hostile{QStringLiteral("; touch ") + marker,
                              QStringLiteral("$(touch ") + marker + QLatin1Char(')'),
                              QStringLiteral("`touch ") + marker + QLatin1Char('`'),
                              QStringLiteral("a b"), QStringLiteral("| touch ") + marker};
    ProcessResult result =
        ProcessRunner::run(shell(QStringLiteral("printf '%s\\n' \"$@\""), hostile));
    QVERIFY(result.succeeded());
    QCOMPARE(result.outputText(), hostile.join(QLatin1Char('\n')) + QLatin1Char('\n'));
    QVERIFY(!QFile::exists(marker));
}

void TestProcessRunner::environmentModes()
{
    const auto envOf = [](ProcessSpec::Environment mode, const QStringList &entries) {
        ProcessSpec spec = command(QStringLiteral("env"));
        spec.environmentMode = mode;
        spec.environment = entries;
        ProcessResult result = ProcessRunner::run(spec);
        return result.succeeded() ? result.outputText().split(QLatin1Char('\n'), Qt::SkipEmptyParts)
                                  : QStringList{QStringLiteral("failed: ") + result.errorString};
    };

    // The bare name "env" is found although the child gets no PATH.
    QCOMPARE(envOf(ProcessSpec::Environment::Replace, {}), QStringList());
    QStringList replaced =
        envOf(ProcessSpec::Environment::Replace, {QStringLiteral("A=1"), QStringLiteral("B=x=y")});
    replaced.sort();
    QCOMPARE(replaced, QStringList({QStringLiteral("A=1"), QStringLiteral("B=x=y")}));

    const QStringList extended =
        envOf(ProcessSpec::Environment::Extend,
              {QStringLiteral("TWK_RUNNER_X=1"), QStringLiteral("TWK_RUNNER_X=2"),
               QStringLiteral("TWK_RUNNER_BASE=over")});
    QVERIFY(extended.contains(QStringLiteral("TWK_RUNNER_X=2")));
    QVERIFY(!extended.contains(QStringLiteral("TWK_RUNNER_X=1")));
    QVERIFY(extended.contains(QStringLiteral("TWK_RUNNER_BASE=over")));
    QVERIFY(extended.contains(QStringLiteral("PATH=") + qEnvironmentVariable("PATH")));

    const QStringList inherited = envOf(ProcessSpec::Environment::Inherit, {});
    QVERIFY(inherited.contains(QStringLiteral("TWK_RUNNER_BASE=base")));
}

void TestProcessRunner::workingDirectory()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ProcessSpec pwd = command(QStringLiteral("pwd"), {QStringLiteral("-P")});
    pwd.workingDirectory = dir.path();
    QCOMPARE(ProcessRunner::run(pwd).outputText().trimmed(), QDir(dir.path()).canonicalPath());

    pwd.workingDirectory = dir.filePath(QStringLiteral("missing"));
    QVERIFY(!ProcessRunner::run(pwd).started);
}

// A child starts with the open-file limit it is given, not with the one the
// daemon raised its own to; a higher one is not granted.
void TestProcessRunner::childFileLimit()
{
    const ProcessSpec limit = shell(QStringLiteral("ulimit -Sn"));
    const QString own = ProcessRunner::run(limit).outputText().trimmed();
    ProcessRunner::setChildFileLimit(100);
    const QString lowered = ProcessRunner::run(limit).outputText().trimmed();
    ProcessRunner::setChildFileLimit(1u << 30);
    const QString raised = ProcessRunner::run(limit).outputText().trimmed();
    ProcessRunner::setChildFileLimit(0);
    QCOMPARE(lowered, QStringLiteral("100"));
    QCOMPARE(raised, own);
}

void TestProcessRunner::programNotFound()
{
    ProcessResult bare = ProcessRunner::run(command(QStringLiteral("twk-no-such-program")));
    QVERIFY(!bare.started);
    QVERIFY(!bare.succeeded());
    QVERIFY2(bare.errorString.contains(QStringLiteral("twk-no-such-program")),
             qPrintable(bare.errorString));

    ProcessResult absolute = ProcessRunner::run(command(QStringLiteral("/nonexistent/tool")));
    QVERIFY(!absolute.started);
    QVERIFY(!absolute.errorString.isEmpty());

    QVERIFY(!ProcessRunner::run(ProcessSpec()).started);
}

void TestProcessRunner::outputIsBounded()
{
    // 40 MB of "0123456789\n" lines: the stored copy keeps the tail, where
    // tools report their failures, and every line is still given out live.
    const QString script = QStringLiteral("yes 0123456789 | head -c 40000000; echo LAST");
    ProcessResult blocking = ProcessRunner::run(shell(script));
    QVERIFY(blocking.succeeded());
    QVERIFY(blocking.standardOutput.size() <= 16 * 1024 * 1024);
    QVERIFY(blocking.standardOutput.size() >= 8 * 1024 * 1024);
    QVERIFY(blocking.standardOutput.endsWith("\n0123456LAST\n"));

    ProcessRunner live;
    qint64 lines = 0;
    QString lastLine;
    connect(&live, &ProcessRunner::standardOutputLine, this, [&](const QString &line) {
        ++lines;
        lastLine = line;
    });
    QVERIFY(live.start(shell(script)));
    ProcessResult result = live.waitForFinished();
    QVERIFY(result.standardOutput.size() <= 16 * 1024 * 1024);
    QCOMPARE(lines, qint64(40000000 / 11 + 1));
    QCOMPARE(lastLine, QStringLiteral("0123456LAST"));

    // A sink takes all of it, piece by piece; the result keeps none.
    ProcessSpec sunk = shell(script);
    qint64 bytes = 0;
    int pieces = 0;
    QByteArray tail;
    sunk.standardOutputSink = [&](const QByteArray &chunk) {
        bytes += chunk.size();
        ++pieces;
        tail = QByteArray(tail + chunk).right(13);
    };
    result = ProcessRunner::run(sunk);
    QVERIFY(result.succeeded());
    QVERIFY(result.standardOutput.isEmpty());
    QCOMPARE(bytes, qint64(40000000 + 5));
    QVERIFY(pieces > 1);
    QCOMPARE(tail, QByteArray("\n0123456LAST\n"));
}

void TestProcessRunner::runTimeoutKillsTree()
{
    ProcessSpec sleeper = command(QStringLiteral("sleep"), {QStringLiteral("30")});
    sleeper.timeoutMs = 300;
    QElapsedTimer clock;
    clock.start();
    ProcessResult result = ProcessRunner::run(sleeper);
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(result.started);
    QVERIFY(result.timedOut);
    QVERIFY(!result.succeeded());

    ProcessSpec tree = shell(kParentAndGrandchild);
    tree.timeoutMs = 500;
    clock.restart();
    result = ProcessRunner::run(tree);
    QVERIFY(clock.elapsed() < 5000);
    QVERIFY(result.timedOut);
    const QList<qint64> pids = pidsFrom(result.outputText());
    QCOMPARE(pids.size(), 2);
    for (qint64 pid : pids)
        QTRY_VERIFY_WITH_TIMEOUT(processGone(pid), 5000);
}

void TestProcessRunner::runStopsWhenItsThreadIsInterrupted()
{
    ProcessResult result;
    ProcessSpec spec = command(QStringLiteral("sleep"), {QStringLiteral("30")});
    spec.timeoutMs = 60000;
    QThread *worker = QThread::create([&] { result = ProcessRunner::run(spec); });
    QElapsedTimer clock;
    clock.start();
    worker->start();
    QTest::qWait(300);
    worker->requestInterruption();
    QVERIFY(worker->wait(10000));
    delete worker;
    QVERIFY(clock.elapsed() < 10000);
    QVERIFY(result.killed);
    QVERIFY(!result.succeeded());
}

void TestProcessRunner::liveLinesStreamInOrder()
{
    ProcessRunner runner;
    QStringList events;
    bool runningAtFirstLine = false;
    connect(&runner, &ProcessRunner::standardOutputLine, this, [&](const QString &line) {
        if (events.isEmpty())
            runningAtFirstLine = runner.isRunning();
        events.append(QStringLiteral("out:") + line);
    });
    connect(&runner, &ProcessRunner::standardErrorLine, this,
            [&](const QString &line) { events.append(QStringLiteral("err:") + line); });
    QByteArray chunks;
    connect(&runner, &ProcessRunner::standardOutputData, this,
            [&](const QByteArray &chunk) { chunks += chunk; });

    QVERIFY(runner.start(shell(QStringLiteral("echo one; sleep 0.3; echo two >&2; sleep 0.3; "
                                              "echo three; sleep 0.3; printf tail"))));
    QVERIFY(runner.processId() > 0);
    const ProcessResult result = runner.waitForFinished();
    QVERIFY(result.succeeded());
    QVERIFY(runningAtFirstLine);
    QCOMPARE(events, QStringList({QStringLiteral("out:one"), QStringLiteral("err:two"),
                                  QStringLiteral("out:three"), QStringLiteral("out:tail")}));
    QCOMPARE(chunks, QByteArray("one\nthree\ntail"));
    QCOMPARE(result.standardOutput, chunks);
    QCOMPARE(result.standardError, QByteArray("two\n"));
}

void TestProcessRunner::liveCarriageReturnSplits()
{
    ProcessRunner runner;
    QStringList lines;
    connect(&runner, &ProcessRunner::standardOutputLine, this,
            [&](const QString &line) { lines.append(line); });
    // The second "\r\n" arrives split across two writes.
    QVERIFY(runner.start(shell(
        QStringLiteral("printf '10%%\\r20%%\\r\\ndone\\n\\rx\\r'; sleep 0.3; printf '\\nend'"))));
    runner.waitForFinished();
    QCOMPARE(lines,
             QStringList({QStringLiteral("10%"), QStringLiteral("20%"), QStringLiteral("done"),
                          QString(), QStringLiteral("x"), QStringLiteral("end")}));
}

void TestProcessRunner::livePromptAnsweredThroughWrite()
{
    ProcessRunner runner;
    QStringList lines;
    connect(&runner, &ProcessRunner::standardOutputLine, this,
            [&](const QString &line) { lines.append(line); });
    ProcessSpec spec = shell(QStringLiteral("echo start; printf 'Continue? [Y/n] '; read answer; "
                                            "echo \"got $answer\""));
    spec.timeoutMs = 10000;
    QVERIFY(runner.start(spec));
    QTRY_COMPARE_WITH_TIMEOUT(runner.pendingStandardOutput(), QStringLiteral("Continue? [Y/n] "),
                              5000);
    QCOMPARE(lines, QStringList{QStringLiteral("start")});
    QVERIFY(runner.write("y\n"));
    runner.closeWriteChannel();
    const ProcessResult result = runner.waitForFinished();
    QVERIFY(result.succeeded());
    QCOMPARE(lines.last(), QStringLiteral("Continue? [Y/n] got y"));
    QVERIFY(runner.pendingStandardOutput().isEmpty());
}

void TestProcessRunner::liveKillStopsGrandchildren()
{
    ProcessRunner runner;
    QList<qint64> pids;
    connect(&runner, &ProcessRunner::standardOutputLine, this,
            [&](const QString &line) { pids.append(line.toLongLong()); });
    QVERIFY(runner.start(shell(kParentAndGrandchild)));
    QTRY_COMPARE_WITH_TIMEOUT(pids.size(), 2, 5000);
    QCOMPARE(pids.first(), runner.processId());

    QElapsedTimer clock;
    clock.start();
    runner.kill();
    const ProcessResult result = runner.waitForFinished();
    QVERIFY(clock.elapsed() < 5000);
    QVERIFY(result.killed);
    QVERIFY(result.crashed);
    QVERIFY(!result.timedOut);
    QVERIFY(!result.succeeded());
    QVERIFY(!runner.isRunning());
    for (qint64 pid : std::as_const(pids))
        QTRY_VERIFY_WITH_TIMEOUT(processGone(pid), 5000);
}

void TestProcessRunner::liveTimeout()
{
    ProcessRunner runner;
    ProcessSpec spec = shell(kParentAndGrandchild);
    spec.timeoutMs = 300;
    QVERIFY(runner.start(spec));
    QElapsedTimer clock;
    clock.start();
    const ProcessResult result = runner.waitForFinished();
    QVERIFY(clock.elapsed() < 5000);
    QVERIFY(result.timedOut);
    QVERIFY(!result.killed);
    QVERIFY(!result.succeeded());
    for (qint64 pid : pidsFrom(result.outputText()))
        QTRY_VERIFY_WITH_TIMEOUT(processGone(pid), 5000);
}

void TestProcessRunner::liveFinishedOnceAndSafeToDelete()
{
    ProcessRunner runner;
    QSignalSpy spy(&runner, &ProcessRunner::finished);
    QVERIFY(runner.start(shell(QStringLiteral("echo hi; exit 4"))));
    const ProcessResult result = runner.waitForFinished();
    QCOMPARE(result.exitCode, 4);
    runner.kill();
    QCOMPARE(runner.waitForFinished().exitCode, 4);
    QTest::qWait(200);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.first().first().value<ProcessResult>().exitCode, 4);

    // Restarted from its own finished slot, a waiter still gets the run it
    // waited for.
    bool restarted = false;
    connect(&runner, &ProcessRunner::finished, this, [&] {
        if (!restarted) {
            restarted = true;
            runner.start(shell(QStringLiteral("exit 5")));
        }
    });
    QVERIFY(runner.start(shell(QStringLiteral("exit 6"))));
    QCOMPARE(runner.waitForFinished().exitCode, 6);
    QCOMPARE(runner.waitForFinished().exitCode, 5);

    // Destroyed by a slot of its own finished signal while someone waits.
    auto *owned = new ProcessRunner;
    connect(owned, &ProcessRunner::finished, this, [&owned] {
        delete owned;
        owned = nullptr;
    });
    QVERIFY(owned->start(shell(QStringLiteral("sleep 0.2; printf bye"))));
    const ProcessResult last = owned->waitForFinished();
    QVERIFY(owned == nullptr);
    QCOMPARE(last.standardOutput, QByteArray("bye"));

    // Destroyed by a line slot while the child still runs: the child dies
    // with it and no later line arrives.
    QList<qint64> pids;
    owned = new ProcessRunner;
    connect(owned, &ProcessRunner::standardOutputLine, this, [&](const QString &line) {
        pids.append(line.toLongLong());
        if (pids.size() == 2) {
            delete owned;
            owned = nullptr;
        }
    });
    QVERIFY(owned->start(shell(QStringLiteral("echo $$; sleep 30 & echo $!; echo 0; wait"))));
    QTRY_VERIFY_WITH_TIMEOUT(owned == nullptr, 5000);
    QTest::qWait(100);
    QCOMPARE(pids.size(), 2);
    for (qint64 pid : std::as_const(pids))
        QTRY_VERIFY_WITH_TIMEOUT(processGone(pid), 5000);
}

void TestProcessRunner::liveDestructorKills()
{
    QList<qint64> pids;
    {
        ProcessRunner runner;
        connect(&runner, &ProcessRunner::standardOutputLine, this,
                [&](const QString &line) { pids.append(line.toLongLong()); });
        QVERIFY(runner.start(shell(kParentAndGrandchild)));
        QTRY_COMPARE_WITH_TIMEOUT(pids.size(), 2, 5000);
    }
    for (qint64 pid : std::as_const(pids))
        QTRY_VERIFY_WITH_TIMEOUT(processGone(pid), 5000);
}

void TestProcessRunner::liveStartFailure()
{
    ProcessRunner runner;
    QSignalSpy spy(&runner, &ProcessRunner::finished);
    QVERIFY(!runner.start(command(QStringLiteral("twk-no-such-program"))));
    QVERIFY(!runner.result().started);
    QVERIFY(!runner.result().errorString.isEmpty());
    QVERIFY(!runner.isRunning());
    QVERIFY(!runner.waitForFinished().started);
    QCOMPARE(spy.count(), 0);
}

QTEST_GUILESS_MAIN(TestProcessRunner)
#include "tst_process_runner.moc"
