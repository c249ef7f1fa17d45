#pragma once

#include "utils/process_runner.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// Where the test's surroundings are, as handed over by CTest.
namespace TestEnv {

QString sourceDir();   // TWK_SOURCE_DIR
QString binaryDir();   // TWK_BINARY_DIR
QString daemonPath();  // TWK_DAEMON
QString standinsDir(); // TWK_STANDINS
QString supportDir();  // the scripts beside these fixtures
// How many times slower the code under test runs than a plain build of it
// (TWK_SLOWDOWN; 1 when unset): a time the daemon is given is this many
// times longer in a sanitized build.
int slowdown();

// Spins the event loop until predicate holds or timeoutMs passed; returns the
// last value of predicate.
bool waitFor(const std::function<bool()> &predicate, int timeoutMs);

// A port on 127.0.0.1 that was free a moment ago. Another process may take it
// before the caller binds it, so servers started on it must be retried.
quint16 freeTcpPort();

// Writes contents to path, replacing what was there and creating its folder,
// with mode 0644, or 0755 when executable.
bool writeFile(const QString &path, const QByteArray &contents, bool executable = false);
// The whole file; empty when it cannot be read.
QByteArray readFile(const QString &path);
// The permission bits of path itself (a link is not followed); -1 when there
// is nothing.
int fileMode(const QString &path);

// Runs a tool to its end or its limit, with the test's environment and the
// given entries added; warns with the output when it fails.
AppStore::ProcessResult runTool(const QString &program, const QStringList &arguments,
                                const QStringList &environment = {}, int timeoutMs = 180000);

// Puts the stand-ins folder first on PATH, before what PATH is now.
void useStandins();

// The ids of the processes running on the machine now.
QList<qint64> processIds();

} // namespace TestEnv
