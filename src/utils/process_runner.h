#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace AppStore {

// What to start: a program and its argument list. No shell is ever involved,
// so an argument reaches the program as one argv entry whatever it contains.
struct ProcessSpec
{
    enum class Environment {
        Inherit, // the daemon's own environment and the user's proxy variables
        Replace, // exactly the entries of `environment`
        Extend,  // as Inherit, then the entries of `environment`
    };

    QString program; // a name looked up in PATH, or an absolute path
    QStringList arguments;
    Environment environmentMode = Environment::Inherit;
    QStringList environment; // "KEY=value" entries
    QString workingDirectory;
    // Every run has a limit (<= 0 means this default); the child is killed past it.
    int timeoutMs = 30000;
    QByteArray standardInput; // run(): written to the child, then stdin is closed
    // Descriptors above the standard three that the child finds open on
    // /dev/null, for a program told to write to one: the child would
    // otherwise write into whatever the daemon holds there.
    QList<int> nullDescriptors;
    // How much of each channel the result keeps (its tail); streamed lines
    // are not affected. Full listings of the package system need more.
    qsizetype maxStoredOutput = 16 * 1024 * 1024;
    // run(): when set, standard output goes here piece by piece as it
    // arrives, on the calling thread, and the result keeps none of it; for
    // listings too large to hold whole.
    std::function<void(const QByteArray &)> standardOutputSink;
};

struct ProcessResult
{
    bool started = false;
    bool timedOut = false;
    bool crashed = false; // ended by a signal (our own kill included)
    bool killed = false;  // ended by ProcessRunner::kill()
    int exitCode = -1;
    QByteArray standardOutput;
    QByteArray standardError;
    QString errorString;

    bool succeeded() const { return started && !timedOut && !crashed && exitCode == 0; }
    QString outputText() const { return QString::fromUtf8(standardOutput); }
    QString errorText() const { return QString::fromUtf8(standardError); }
};

// The one way the daemon starts external programs.
//
// run() blocks the calling thread until the child ends or its limit expires;
// it is for queries on worker threads. An object of the class is the live
// mode for package tasks: it lives on the task's thread, streams output line
// by line as it arrives, takes writes to the child's stdin and a kill from its
// owner, and is driven by that thread's event loop.
class ProcessRunner : public QObject
{
    Q_OBJECT
public:
    static ProcessResult run(const ProcessSpec &spec);
    // Deletes runner here, on its own thread, with its signals to receiver
    // cut first so that a child ended by the deletion reaches no handler of
    // its owner; then runner is null. Nothing for a null runner.
    static void release(ProcessRunner *&runner, const QObject *receiver);
    // The soft open-file limit every child starts with, whatever this process
    // raised its own to: tools that close or poll every descriptor up to the
    // limit slow down with a large one. 0 (the default): the child keeps
    // this process's limit. Any thread.
    static void setChildFileLimit(quint64 files);

    explicit ProcessRunner(QObject *parent = nullptr);
    ~ProcessRunner() override; // a child still running is killed

    // false when the program cannot be found or started; finished() is then
    // not emitted and result() says why.
    bool start(const ProcessSpec &spec);
    bool isRunning() const;
    qint64 processId() const;

    bool write(const QByteArray &data);
    void closeWriteChannel();
    // Kills the child and every process it started that is still running.
    void kill();
    // Asks the child alone to stop, as Ctrl+C in a terminal would (SIGINT),
    // leaving it the chance to tidy up before it ends.
    void interrupt();

    // Runs a local event loop on the calling thread until the child ends.
    // Returns at once when nothing runs.
    ProcessResult waitForFinished();
    ProcessResult result() const;

    // Output text after the last line break of each channel, not yet given out
    // as a line (a prompt waiting for an answer, typically).
    QString pendingStandardOutput() const;
    QString pendingStandardError() const;

Q_SIGNALS:
    void standardOutputData(const QByteArray &chunk);
    void standardErrorData(const QByteArray &chunk);
    // One complete line each, without its "\n" or "\r" terminator; the
    // unterminated rest of a channel is given out as a last line at the end.
    void standardOutputLine(const QString &line);
    void standardErrorLine(const QString &line);
    void finished(const AppStore::ProcessResult &result);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace AppStore

Q_DECLARE_METATYPE(AppStore::ProcessResult)
