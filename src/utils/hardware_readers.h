#pragma once

#include "common/hardware_info.h"

#include <QMap>
#include <QString>

#include <sys/types.h>

namespace AppStore {

struct ProcessSpec;

// Where the readers look. Tests point these at a scratch directory; the
// daemon keeps the defaults. Directory values end in "/".
struct HardwareReaderPaths
{
    QString dmiDir;
    QString machineIdFile;
    QString channelFile;
    QString cacheDir; // memInfo.log and diskInfo.log
    QString findSnScript;
    QString storeConfigDir;
    QString fdiskProgram; // run for diskInfo.log

    static HardwareReaderPaths defaults();
};

// Hardware and identity facts of the machine. Nothing is kept: every call
// reads again. Readers that start a tool block for at most its time limit
// (10 s, 5 s for the graphics and kernel-log tools) and belong on worker
// threads or on one-time start-up paths; a fact that cannot be found reads
// as an empty text.
class HardwareReaders
{
public:
    HardwareReaders() = delete;

    static HardwareReaderPaths readerPaths();
    static void setReaderPaths(const HardwareReaderPaths &paths);

    // Whole text of the file; empty (and a warning) when it is missing or
    // cannot be opened.
    static QString readFileContent(const QString &path);

    static QString getMachineId();
    // The channel file's lines joined without separator.
    static QString getChannel();

    static QString readBoardName();
    static QString readBoardSerial();
    static QString readBoardVendor();
    static QString readBoardVersion();
    static QString readProductUuid();
    static BoardInfo getBoardInfo();

    static bool readCpuModelFromProcCpuinfo(QString &model);
    static CpuInfo getCpuInfo();

    static QMap<QString, QString> readGpuPropertiesFromLshw();
    static QString readGpuModelFromHwinfo();
    // "%1GB" from the kernel log's RAM line, or empty.
    static QString readVideoMemorySize();
    static GpuInfo getGpuInfo();

    static QString getHardDriveSN();
    // Installed version of the store client package, or empty.
    static QString getClientVersion();
    // LANGUAGE of the system locale file, overridden by the active user's own
    // locale.conf when that sets a non-empty one.
    static QString getUserLanguage();

    // Appends the configured store-server address to address; false when the
    // configuration file is missing or unreadable.
    static bool readStoreServerConfig(QString &address);
    static QString storeServerUrl();

    // Each log file is written once, and only from a complete run of its tool.
    static void saveMemoryInfoLog();
    static void saveDiskInfoLog();
    static void saveHardwareInfoFiles();

    static QString readKernelLog();

    // Parsers of tool output and file text, kept apart from the runs so that
    // captured outputs can be checked on their own.
    // lscpu: every field except modelName, which holds lscpu's own model.
    static CpuInfo parseLscpuOutput(const QString &text);
    static bool parseProcCpuinfoModel(const QString &text, QString &model);
    static QString parseDmidecodeProcessorId(const QString &text);
    static QMap<QString, QString> parseLshwProperties(const QString &text);
    static QString parseHwinfoModel(const QString &text);
    static QString parseVideoMemorySize(const QString &kernelLog);
    static QString parseClientVersion(const QString &dpkgQueryOutput);
    // Value of the first LANGUAGE= line that has exactly one "=", trimmed;
    // empty when there is none.
    static QString parseLanguageSetting(const QString &text);

    // At most a few KiB of a regular file owned by owner, never through a
    // symbolic link; empty when the file is anything else.
    static QString readUserOwnedFile(const QString &path, uid_t owner);
    // Runs the tool and puts its output in place under filePath, mode 0600,
    // only when it exited 0 with output; an existing regular file is left
    // alone, and nothing runs when filePath's folder is missing.
    static bool saveToolOutputOnce(const ProcessSpec &spec, const QString &filePath);
    // Drops control and format characters, which have no place in a request
    // header value.
    static QString stripControlCharacters(const QString &text);
};

} // namespace AppStore
