#include "utils/hardware_readers.h"

#include "common/common.h"
#include "common/daemon_log.h"
#include "utils/process_runner.h"
#include "utils/utils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QMutex>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTextStream>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace AppStore {

namespace {

// Tools that normally answer at once; a hung one must not hold its caller.
constexpr int kToolTimeoutMs = 10000;
constexpr int kGraphicsToolTimeoutMs = 5000;
constexpr int kPackageProbeTimeoutMs = 30000;
// A locale file is a few lines; anything larger is not one.
constexpr qint64 kMaxUserFileBytes = 8 * 1024;

const QString kDefaultStoreServerUrl = QStringLiteral("https://store.example.invalid");
const QString kStoreConfigFile = QStringLiteral("appstore-serveice-0618.conf");

struct PathsState
{
    QMutex mutex;
    HardwareReaderPaths paths = HardwareReaderPaths::defaults();
};

PathsState &pathsState()
{
    static PathsState state;
    return state;
}

ProcessSpec toolSpec(const QString &program, const QStringList &arguments, int timeoutMs)
{
    ProcessSpec spec;
    spec.program = program;
    spec.arguments = arguments;
    spec.timeoutMs = timeoutMs;
    return spec;
}

QString toolOutput(const QString &program, const QStringList &arguments, int timeoutMs)
{
    return ProcessRunner::run(toolSpec(program, arguments, timeoutMs)).outputText();
}

QString firstLineTrimmed(const QString &text)
{
    return text.split(QLatin1Char('\n')).first().trimmed();
}

QString lastFieldTrimmed(const QString &line)
{
    return line.split(QLatin1Char(':')).last().trimmed();
}

QString dmiValue(const QString &fileName)
{
    return firstLineTrimmed(
        HardwareReaders::readFileContent(HardwareReaders::readerPaths().dmiDir + fileName));
}

QString chopLineEnd(QByteArray line)
{
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return QString::fromUtf8(line);
}

// The LANGUAGE value of the system-wide locale file, which root owns.
QString systemLanguage()
{
    const QString path = QStringLiteral("/etc/default/locale");
    if (!QFileInfo(path).isFile())
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return HardwareReaders::parseLanguageSetting(QString::fromUtf8(file.read(kMaxUserFileBytes)));
}

// The user's home is theirs: the file may be a link to a root-only file or
// a pipe that never ends, so only a regular file of that user is read.
QString userLanguage()
{
    QString login;
    AppStore::Utils::getLogname(login);
    uid_t owner = 0;
    gid_t group = 0;
    if (!UserLookup::isPlainLoginName(login) || !UserLookup::getUserIds(login, owner, group))
        return {};
    const QString path = QStringLiteral("/home/%1/.config/locale.conf").arg(login);
    return HardwareReaders::parseLanguageSetting(HardwareReaders::readUserOwnedFile(path, owner));
}

} // namespace

HardwareReaderPaths HardwareReaderPaths::defaults()
{
    HardwareReaderPaths paths;
    paths.dmiDir = QStringLiteral("/sys/class/dmi/id/");
    paths.machineIdFile = QStringLiteral("/etc/machine-id");
    paths.channelFile = QStringLiteral("/var/cache/gather/key.txt");
    paths.cacheDir = DAEMON_CACHE_DIR;
    paths.findSnScript = QStringLiteral("/usr/share/tarnwick-daemon/findSN.sh");
    paths.storeConfigDir = QStringLiteral("/etc/velkor/velkor-app-store/");
    paths.fdiskProgram = QStringLiteral("/sbin/fdisk");
    return paths;
}

HardwareReaderPaths HardwareReaders::readerPaths()
{
    PathsState &state = pathsState();
    QMutexLocker locker(&state.mutex);
    return state.paths;
}

void HardwareReaders::setReaderPaths(const HardwareReaderPaths &paths)
{
    PathsState &state = pathsState();
    QMutexLocker locker(&state.mutex);
    state.paths = paths;
}

QString HardwareReaders::readFileContent(const QString &path)
{
    QFile file(path);
    if (!file.exists()) {
        qCWarning(daemonLogCategory) << path << "文件不存在" << Qt::endl;
        return {};
    }
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(daemonLogCategory) << path << "文件打开失败" << Qt::endl;
        return {};
    }
    return QString::fromUtf8(file.readAll());
}

QString HardwareReaders::getMachineId()
{
    QFile file(readerPaths().machineIdFile);
    if (!file.open(QIODevice::ReadOnly))
        qCWarning(daemonLogCategory) << "打开machine-id文件失败" << Qt::endl;
    const QString id = file.isOpen() ? chopLineEnd(file.readLine()) : QString();
    if (id.isEmpty())
        qCWarning(daemonLogCategory) << "machine-id为空";
    return id;
}

QString HardwareReaders::getChannel()
{
    QFile file(readerPaths().channelFile);
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(daemonLogCategory) << "打开channel文件失败" << Qt::endl;
        return {};
    }
    QString channel;
    while (!file.atEnd())
        channel += chopLineEnd(file.readLine());
    return channel;
}

QString HardwareReaders::readBoardName()
{
    return dmiValue(QStringLiteral("board_name"));
}

QString HardwareReaders::readBoardSerial()
{
    return dmiValue(QStringLiteral("board_serial"));
}

QString HardwareReaders::readBoardVendor()
{
    return dmiValue(QStringLiteral("board_vendor"));
}

QString HardwareReaders::readBoardVersion()
{
    return dmiValue(QStringLiteral("board_version"));
}

QString HardwareReaders::readProductUuid()
{
    return dmiValue(QStringLiteral("product_uuid"));
}

BoardInfo HardwareReaders::getBoardInfo()
{
    BoardInfo info;
    info.board_name = readBoardName();
    info.board_serial = readBoardSerial();
    info.board_vendor = readBoardVendor();
    info.board_version = readBoardVersion();
    info.board_uuid = readProductUuid();
    return info;
}

bool HardwareReaders::readCpuModelFromProcCpuinfo(QString &model)
{
    const QString text = readFileContent(QStringLiteral("/proc/cpuinfo"));
    return !text.isEmpty() && parseProcCpuinfoModel(text, model);
}

CpuInfo HardwareReaders::getCpuInfo()
{
    CpuInfo info = parseLscpuOutput(toolOutput(QStringLiteral("lscpu"), {}, kToolTimeoutMs));
    QString model;
    if (readCpuModelFromProcCpuinfo(model))
        info.modelName = model;
    info.cpuID = parseDmidecodeProcessorId(
        toolOutput(QStringLiteral("dmidecode"), {QStringLiteral("-t"), QStringLiteral("processor")},
                   kToolTimeoutMs));
    return info;
}

QMap<QString, QString> HardwareReaders::readGpuPropertiesFromLshw()
{
    return parseLshwProperties(toolOutput(QStringLiteral("lshw"),
                                          {QStringLiteral("-C"), QStringLiteral("display")},
                                          kGraphicsToolTimeoutMs));
}

QString HardwareReaders::readGpuModelFromHwinfo()
{
    return parseHwinfoModel(toolOutput(QStringLiteral("hwinfo"), {QStringLiteral("--display")},
                                       kGraphicsToolTimeoutMs));
}

QString HardwareReaders::readVideoMemorySize()
{
    return parseVideoMemorySize(readKernelLog());
}

GpuInfo HardwareReaders::getGpuInfo()
{
    const QMap<QString, QString> properties = readGpuPropertiesFromLshw();
    GpuInfo info;
    info.name = properties.value(QStringLiteral("product"));
    info.version = properties.value(QStringLiteral("version"));
    info.bitWidth = properties.value(QStringLiteral("width"));
    info.frequency = properties.value(QStringLiteral("clock"));
    info.manufacturers = properties.value(QStringLiteral("vendor"));
    info.model = readGpuModelFromHwinfo();
    info.gpuMemorySize = readVideoMemorySize();
    return info;
}

QString HardwareReaders::getHardDriveSN()
{
    return toolOutput(QStringLiteral("/bin/bash"), {readerPaths().findSnScript}, kToolTimeoutMs)
        .trimmed();
}

QString HardwareReaders::getClientVersion()
{
    ProcessSpec spec = toolSpec(QStringLiteral("dpkg-query"),
                                {QStringLiteral("-W"), STORE_PACKAGE_NAME}, kPackageProbeTimeoutMs);
    spec.environmentMode = ProcessSpec::Environment::Replace;
    spec.environment = QStringList{QStringLiteral("LANGUAGE=en_US")};
    const ProcessResult result = ProcessRunner::run(spec);
    if (!result.succeeded())
        return {};
    return stripControlCharacters(parseClientVersion(result.outputText()));
}

QString HardwareReaders::getUserLanguage()
{
    QString language = systemLanguage();
    const QString own = userLanguage();
    if (!own.isEmpty())
        language = own;
    return stripControlCharacters(language);
}

bool HardwareReaders::readStoreServerConfig(QString &address)
{
    const QString dir = readerPaths().storeConfigDir;
    if (!QFileInfo(dir).isDir())
        return false;
    QFile file(dir + kStoreConfigFile);
    if (!file.exists() || !file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    QTextStream stream(&file);
    while (!stream.atEnd()) {
        const QString line = stream.readLine().trimmed();
        if (!line.isEmpty() && !line.startsWith(QLatin1Char('#'))) {
            address += line;
            break;
        }
    }
    return true;
}

QString HardwareReaders::storeServerUrl()
{
    QString address;
    if (!readStoreServerConfig(address) || address.isEmpty())
        return kDefaultStoreServerUrl;
    return address;
}

void HardwareReaders::saveMemoryInfoLog()
{
    saveToolOutputOnce(toolSpec(QStringLiteral("dmidecode"),
                                {QStringLiteral("-t"), QStringLiteral("17")}, kToolTimeoutMs),
                       readerPaths().cacheDir + QStringLiteral("memInfo.log"));
}

void HardwareReaders::saveDiskInfoLog()
{
    const HardwareReaderPaths paths = readerPaths();
    saveToolOutputOnce(toolSpec(paths.fdiskProgram, {QStringLiteral("-l")}, kToolTimeoutMs),
                       paths.cacheDir + QStringLiteral("diskInfo.log"));
}

void HardwareReaders::saveHardwareInfoFiles()
{
    saveDiskInfoLog();
    saveMemoryInfoLog();
}

QString HardwareReaders::readKernelLog()
{
    return toolOutput(QStringLiteral("dmesg"), {}, kGraphicsToolTimeoutMs);
}

CpuInfo HardwareReaders::parseLscpuOutput(const QString &text)
{
    CpuInfo info;
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        if (line.startsWith(QStringLiteral("Model name:")))
            info.modelName = lastFieldTrimmed(line);
        if (line.startsWith(QStringLiteral("CPU(s):")))
            info.cpuCores = lastFieldTrimmed(line);
        if (line.startsWith(QStringLiteral("CPU MHz:")))
            info.cpuMHz = lastFieldTrimmed(line);
        if (line.startsWith(QStringLiteral("Vendor ID:")))
            info.vendorID = lastFieldTrimmed(line);
    }
    return info;
}

bool HardwareReaders::parseProcCpuinfoModel(const QString &text, QString &model)
{
    QString hardware;
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines) {
        if (line.startsWith(QStringLiteral("model name"))) {
            model = line.split(QLatin1Char(':'), Qt::SkipEmptyParts).last().trimmed();
            return true;
        }
        if (line.startsWith(QStringLiteral("Hardware")))
            hardware = line.split(QLatin1Char(':'), Qt::SkipEmptyParts).last().trimmed();
    }
    if (hardware.isEmpty())
        return false;
    model = hardware;
    return true;
}

QString HardwareReaders::parseDmidecodeProcessorId(const QString &text)
{
    QString id;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QString trimmed = line.trimmed();
        if (trimmed.startsWith(QStringLiteral("ID: ")))
            id = lastFieldTrimmed(trimmed).replace(QLatin1Char(' '), QLatin1Char('-'));
    }
    return id;
}

QMap<QString, QString> HardwareReaders::parseLshwProperties(const QString &text)
{
    QMap<QString, QString> properties;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QStringList parts = line.split(QLatin1Char(':'));
        properties.insert(parts.first().simplified(), parts.last().simplified());
    }
    return properties;
}

QString HardwareReaders::parseHwinfoModel(const QString &text)
{
    QString model;
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.contains(QStringLiteral("Model")))
            model = line.split(QLatin1Char(':')).last().remove(QLatin1Char('"')).trimmed();
    }
    return model;
}

QString HardwareReaders::parseVideoMemorySize(const QString &kernelLog)
{
    static const QRegularExpression compact(QStringLiteral("^.*RAM=([0-9]*)M.*$"));
    static const QRegularExpression spaced(QStringLiteral("^.*RAM: ([0-9]*) M.*$"));
    QString size;
    const QStringList lines = kernelLog.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        QRegularExpressionMatch match = compact.match(line);
        if (!match.hasMatch())
            match = spaced.match(line);
        if (!match.hasMatch())
            continue;
        const double gib = match.captured(1).toDouble() * 0.0009765625;
        size = QStringLiteral("%1GB").arg(gib, 0, 'g', QLocale::FloatingPointShortest);
    }
    return size;
}

QString HardwareReaders::parseClientVersion(const QString &dpkgQueryOutput)
{
    const QStringList parts = dpkgQueryOutput.simplified().split(QLatin1Char(' '));
    return parts.size() >= 2 ? parts.at(1).simplified() : QString();
}

QString HardwareReaders::parseLanguageSetting(const QString &text)
{
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (!line.contains(QStringLiteral("LANGUAGE=")))
            continue;
        const QStringList parts = line.split(QLatin1Char('='));
        if (parts.size() == 2)
            return parts.at(1).trimmed();
    }
    return {};
}

QString HardwareReaders::readUserOwnedFile(const QString &path, uid_t owner)
{
    // O_NONBLOCK: opening a FIFO must not wait for a writer.
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP)
            qCWarning(daemonLogCategory) << "not reading" << path << ": it is a symbolic link";
        return {};
    }
    QByteArray data;
    struct stat status
    {
    };
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == owner) {
        data.resize(kMaxUserFileBytes);
        qint64 total = 0;
        while (total < kMaxUserFileBytes) {
            const ssize_t n = ::read(fd, data.data() + total, size_t(kMaxUserFileBytes - total));
            if (n <= 0)
                break;
            total += n;
        }
        data.truncate(total);
    } else {
        qCWarning(daemonLogCategory) << "not reading" << path << ": not a regular file of its user";
    }
    ::close(fd);
    return QString::fromUtf8(data);
}

bool HardwareReaders::saveToolOutputOnce(const ProcessSpec &spec, const QString &filePath)
{
    const QFileInfo target(filePath);
    if (target.isFile())
        return true;
    // The output would have nowhere to go: the tool is not even started.
    if (!target.dir().exists()) {
        qCWarning(daemonLogCategory) << "not saving" << filePath << ": no such folder";
        return false;
    }
    const ProcessResult result = ProcessRunner::run(spec);
    if (!result.succeeded() || result.standardOutput.isEmpty()) {
        qCWarning(daemonLogCategory)
            << "not saving" << filePath << ":" << spec.program << "gave no usable output;"
            << "error:" << result.errorText();
        return false;
    }
    // Written aside and renamed, so the file is either complete or absent.
    QSaveFile file(filePath);
    // Memory and drive serials are for root's eyes only, from the first byte.
    if (!file.open(QIODevice::WriteOnly) ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        file.write(result.standardOutput) < 0 || !file.commit()) {
        qCWarning(daemonLogCategory) << "cannot write" << filePath << ":" << file.errorString();
        return false;
    }
    return true;
}

QString HardwareReaders::stripControlCharacters(const QString &text)
{
    QString clean;
    clean.reserve(text.size());
    for (const QChar ch : text) {
        switch (ch.category()) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            break;
        default:
            clean.append(ch);
        }
    }
    return clean;
}

} // namespace AppStore
