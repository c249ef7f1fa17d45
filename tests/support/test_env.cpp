#include "test_env.h"

#include <QTcpServer>
#include <QTest>

namespace TestEnv {

namespace {

QString environmentPath(const char *name)
{
    const QString value = qEnvironmentVariable(name);
    if (value.isEmpty())
        qWarning("%s is not set; run the test through ctest", name);
    return value;
}

} // namespace

QString sourceDir()
{
    return environmentPath("TWK_SOURCE_DIR");
}

QString binaryDir()
{
    return environmentPath("TWK_BINARY_DIR");
}

QString daemonPath()
{
    return environmentPath("TWK_DAEMON");
}

QString standinsDir()
{
    return environmentPath("TWK_STANDINS");
}

QString supportDir()
{
    return sourceDir() + QStringLiteral("/tests/support");
}

bool waitFor(const std::function<bool()> &predicate, int timeoutMs)
{
    return QTest::qWaitFor(predicate, timeoutMs);
}

quint16 freeTcpPort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = server.serverPort();
    server.close();
    return port;
}

} // namespace TestEnv
