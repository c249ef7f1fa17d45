#pragma once

#include <QString>

class LocalHttpsServer;

// Points this process's store client and statistics side at a local HTTPS
// server: the store address file in configDir, the server's CA trusted, the
// statistics URL on the same server.
namespace StoreTestSetup {

// The server's address without the trailing "/".
QString baseUrl(const LocalHttpsServer &server);

bool pointAt(const LocalHttpsServer &server, const QString &configDir);

} // namespace StoreTestSetup
