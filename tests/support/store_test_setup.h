#pragma once

#include <QString>
#include <QStringList>

class LocalHttpsServer;

// Points this process's store client and statistics side at a local HTTPS
// server: the store address file in configDir, the server's CA trusted, the
// statistics URL on the same server.
namespace StoreTestSetup {

// The server's address without the trailing "/".
QString baseUrl(const LocalHttpsServer &server);

bool pointAt(const LocalHttpsServer &server, const QString &configDir);

// The same for a daemon started by the test: writes the machine's store
// address file (the test guards "/etc/velkor/velkor-app-store") and answers
// the environment entries of the CA and the statistics URL; empty when the
// file could not be written.
QStringList daemonEnvironment(const LocalHttpsServer &server);

} // namespace StoreTestSetup
