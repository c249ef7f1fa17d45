#include "system_probes.h"

#include "common/daemon_log.h"
#include "utils/process_runner.h"
#include "utils/tls_trust.h"

#include "bdesktopentry.h"
#include "bsysinfo.h"
#include "service_bus.h"

#include <QDateTime>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QMetaEnum>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QSysInfo>
#include <QTimeZone>

#include <malloc.h>
#include <sys/stat.h>

namespace AppStore {

namespace {

using Bexa::Core::BDesktopEntry;

// ps and the immutable-mode tool answer at once; past this they hang.
constexpr int kProbeTimeoutMs = 30000;

const QString kOsVersionFile = QStringLiteral("/etc/os-version");

QLocale englishLocale()
{
    return QLocale(QLocale::English, QLocale::AnyScript, QLocale::AnyTerritory);
}

QString statusKey(BDesktopEntry::Status status)
{
    return QString::fromLatin1(QMetaEnum::fromType<BDesktopEntry::Status>().valueToKey(status));
}

// false when the file cannot be used; unknown states are logged and passed.
bool desktopEntryReadable(const BDesktopEntry &entry, const QString &path)
{
    const BDesktopEntry::Status status = entry.status();
    if (status == BDesktopEntry::AccessError || status == BDesktopEntry::FormatError) {
        qCWarning(daemonLogCategory).noquote()
            << QStringLiteral("BDesktopEntry %1 Status Error:").arg(path) << statusKey(status);
        return false;
    }
    if (status != BDesktopEntry::NoError) {
        qCWarning(daemonLogCategory).noquote()
            << QStringLiteral("BDesktopEntry %1 Unknown Status:").arg(path) << int(status);
    }
    return true;
}

bool anyLineContains(const QString &listing, const QString &name)
{
    const QStringList lines = listing.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        if (line.contains(name))
            return true;
    }
    return false;
}

// The process listings are the largest allocations an idle daemon makes.
void returnFreedHeap()
{
    const int trimmed = malloc_trim(0);
    qCDebug(daemonLogCategory) << "Utils::isProcessRunning malloc_trim:" << trimmed;
}

bool runsFile(const QString &path)
{
    struct stat wanted = {};
    if (::stat(QFile::encodeName(path).constData(), &wanted) != 0)
        return false;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool isPid = false;
        entry.toUInt(&isPid);
        struct stat running = {};
        if (isPid &&
            ::stat(QFile::encodeName(QStringLiteral("/proc/") + entry + QStringLiteral("/exe"))
                       .constData(),
                   &running) == 0 &&
            running.st_dev == wanted.st_dev && running.st_ino == wanted.st_ino)
            return true;
    }
    return false;
}

} // namespace

bool SystemProbes::isProcessRunning(const QString &name)
{
    const QString wanted = name.trimmed();
    if (wanted.isEmpty())
        return false;

    ProcessSpec spec;
    spec.program = QStringLiteral("ps");
    spec.arguments = {QStringLiteral("-e"), QStringLiteral("-o"), QStringLiteral("command")};
    spec.timeoutMs = kProbeTimeoutMs;
    const ProcessResult result = ProcessRunner::run(spec);
    bool running = false;
    if (result.started && !result.timedOut)
        running = anyLineContains(result.outputText(), wanted);
    else
        qCWarning(daemonLogCategory) << "ps failed:" << result.errorString;

    returnFreedHeap();
    return running;
}

bool SystemProbes::isExecutableRunning(const QString &path)
{
    const bool running = runsFile(path);
    // The idle test asks this once a period, and an idle daemon frees
    // nothing else that would give the heap back.
    returnFreedHeap();
    return running;
}

QString SystemProbes::getProcessExePath(uint pid)
{
    const QFileInfo link(QStringLiteral("/proc/%1/exe").arg(pid));
    if (!link.isSymLink())
        return QString();
    // The link itself still resolves when the executable was deleted (its
    // target then reads "<path> (deleted)"), so the target text is tested.
    const QString target = link.symLinkTarget();
    if (target.isEmpty() || !QFileInfo::exists(target))
        return QString();
    return target;
}

bool SystemProbes::isImmutableSystem()
{
    ProcessSpec spec;
    spec.program = QStringLiteral("velkor-immutable-ctl");
    spec.arguments = {QStringLiteral("--immutable-status")};
    spec.timeoutMs = kProbeTimeoutMs;
    const ProcessResult result = ProcessRunner::run(spec);
    if (!result.succeeded())
        return false;
    if (result.outputText().simplified() != QLatin1String("Immutable mode:true"))
        return false;
    qCDebug(daemonLogCategory) << "System is immutable";
    return true;
}

bool SystemProbes::isWaylandSession()
{
    return qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland") ||
           qEnvironmentVariable("WAYLAND_DISPLAY")
               .contains(QLatin1String("wayland"), Qt::CaseInsensitive);
}

QString SystemProbes::cpuArchitectureName()
{
    QString arch = QSysInfo::currentCpuArchitecture();
    if (arch.startsWith(QLatin1String("x86_")))
        arch.replace(0, 4, QStringLiteral("amd"));
    else if (arch.startsWith(QLatin1String("aarch")))
        arch.replace(0, 5, QStringLiteral("arm"));
    return arch;
}

QString SystemProbes::systemOsBuildVersion()
{
    const BDesktopEntry entry(kOsVersionFile);
    if (!desktopEntryReadable(entry, kOsVersionFile))
        return QString();
    const QString group = QStringLiteral("Version");
    const QString key = QStringLiteral("OsBuild");
    const QString localizedKey =
        QStringLiteral("%1[%2]").arg(key, QLocale(QLocale::English, QLocale::UnitedStates).name());
    const QString plain = entry.stringValue(key, group);
    return entry.stringValue(localizedKey, group, plain);
}

QString SystemProbes::osEditionName()
{
    switch (Bexa::Core::BSysInfo::orvexEditionType()) {
    case 1:
        return QStringLiteral("Standard");
    case 2:
        return QStringLiteral("Business");
    case 3:
        return QStringLiteral("Server");
    case 4:
        return QStringLiteral("Home");
    case 10:
        return QStringLiteral("Education");
    default:
        return QStringLiteral("Unknown");
    }
}

QString SystemProbes::osProductTypeName()
{
    return Bexa::Core::BSysInfo::orvexProductTypeName(englishLocale());
}

QString SystemProbes::osMajorVersion()
{
    return Bexa::Core::BSysInfo::majorVersion();
}

QString SystemProbes::osMinorVersion()
{
    return Bexa::Core::BSysInfo::minorVersion();
}

QString SystemProbes::regionCode()
{
    switch (QDateTime::currentDateTime().timeZone().territory()) {
    case QLocale::China:
    case QLocale::HongKong:
    case QLocale::Macao:
    case QLocale::Taiwan:
        return QStringLiteral("CN");
    default:
        return QStringLiteral("OTHER");
    }
}

uint SystemProbes::networkManagerState()
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.NetworkManager"),
        QStringLiteral("/org/freedesktop/NetworkManager"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call << QStringLiteral("org.freedesktop.NetworkManager") << QStringLiteral("State");
    const QDBusMessage reply = ServiceBus::connection().call(call, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return 0;
    QVariant value = reply.arguments().constFirst();
    if (value.canConvert<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    bool ok = false;
    const uint state = value.toUInt(&ok);
    return ok ? state : 0;
}

bool SystemProbes::isSslVerifyIgnored()
{
    return false;
}

void SystemProbes::setSslVerifyNone(QNetworkRequest &request)
{
    QSslConfiguration config = TlsTrust::configuration();
    if (isSslVerifyIgnored())
        config.setPeerVerifyMode(QSslSocket::VerifyNone);
    request.setSslConfiguration(config);
}

} // namespace AppStore
