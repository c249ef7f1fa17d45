#pragma once

#include <QString>

#include <functional>

// Where the test's surroundings are, as handed over by CTest.
namespace TestEnv {

QString sourceDir();   // TWK_SOURCE_DIR
QString binaryDir();   // TWK_BINARY_DIR
QString daemonPath();  // TWK_DAEMON
QString standinsDir(); // TWK_STANDINS
QString supportDir();  // the scripts beside these fixtures

// Spins the event loop until predicate holds or timeoutMs passed; returns the
// last value of predicate.
bool waitFor(const std::function<bool()> &predicate, int timeoutMs);

// A port on 127.0.0.1 that was free a moment ago. Another process may take it
// before the caller binds it, so servers started on it must be retried.
quint16 freeTcpPort();

} // namespace TestEnv
