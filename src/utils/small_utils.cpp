#include "small_utils.h"

#include <QDateTime>
#include <QFile>
#include <QList>
#include <QNetworkInterface>
#include <QObject>

#include <sys/prctl.h>
#include <sys/resource.h>

namespace AppStore {

QString SmallUtils::downloadCountText(qint64 count)
{
    if (count < 10000)
        return QObject::tr("<10k");
    if (count < 100000)
        return QObject::tr("<100k");
    return QObject::tr("100k+");
}

void SmallUtils::enableCoreDump()
{
    constexpr rlim_t kCoreLimit = 512UL * 1024 * 1024;
    prctl(PR_SET_DUMPABLE, 1);
    const rlimit limit{kCoreLimit, kCoreLimit};
    setrlimit(RLIMIT_CORE, &limit);
}

bool SmallUtils::IsQSMainBoard()
{
    // Probing for that board meant writing to a device on the I2C bus; on any
    // other machine the address may belong to an EEPROM or a power controller.
    // The probe's answer was always false, so it is given without the write.
    return false;
}

QString SmallUtils::firstMacAddress()
{
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        const QNetworkInterface::InterfaceFlags flags = interface.flags();
        if (flags.testFlag(QNetworkInterface::IsUp) &&
            flags.testFlag(QNetworkInterface::IsRunning) &&
            !flags.testFlag(QNetworkInterface::IsLoopBack))
            return interface.hardwareAddress();
    }
    return QString();
}

QString SmallUtils::processName(uint pid)
{
    return QString::fromUtf8(readProcFile(pid, "comm")).trimmed();
}

QString SmallUtils::processCommand(uint pid)
{
    QByteArray commandLine = readProcFile(pid, "cmdline");
    commandLine.replace('\0', '\n');
    const QList<QByteArray> parts = commandLine.trimmed().split('\n');
    return QString::fromUtf8(parts.constFirst());
}

QByteArray SmallUtils::readProcFile(qint64 pid, const char *name)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

qint64 SmallUtils::parentProcessId(qint64 pid)
{
    const QByteArray stat = readProcFile(pid, "stat");
    // The command name may hold blanks and parentheses; after the last ")"
    // come the state and then the parent's id.
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0)
        return -1;
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    bool ok = false;
    const qint64 parent = fields.value(1).toLongLong(&ok);
    return ok ? parent : -1;
}

QString SmallUtils::nowText()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

} // namespace AppStore
