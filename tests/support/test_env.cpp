#include "test_env.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTest>

#include <sys/stat.h>

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

int slowdown()
{
    return qMax(1, qEnvironmentVariableIntValue("TWK_SLOWDOWN"));
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

bool writeFile(const QString &path, const QByteArray &contents, bool executable)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(contents) != contents.size())
        return false;
    file.close();
    // Whatever the umask: packages built from these files install them so.
    QFile::Permissions permissions =
        QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    if (executable)
        permissions |= QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    return file.setPermissions(permissions);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<qint64> processIds()
{
    QList<qint64> ids;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (isPid)
            ids.append(pid);
    }
    return ids;
}

int fileMode(const QString &path)
{
    struct stat info = {};
    if (lstat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 07777);
}

AppStore::ProcessResult runTool(const QString &program, const QStringList &arguments,
                                const QStringList &environment, int timeoutMs)
{
    AppStore::ProcessSpec spec;
    spec.program = program;
    spec.arguments = arguments;
    spec.environmentMode = AppStore::ProcessSpec::Environment::Extend;
    spec.environment = environment;
    spec.timeoutMs = timeoutMs;
    const AppStore::ProcessResult result = AppStore::ProcessRunner::run(spec);
    if (!result.succeeded())
        qInfo().noquote() << program << arguments.join(QLatin1Char(' '))
                          << "failed:" << result.errorString << result.outputText()
                          << result.errorText();
    return result;
}

void useStandins()
{
    qputenv("PATH",
            QFile::encodeName(standinsDir() + QLatin1Char(':') + qEnvironmentVariable("PATH")));
}

} // namespace TestEnv
