#include "utils/system_info_record.h"

#include "common/request_header_info.h"
#include "utils/utils.h"

namespace AppStore {

namespace {

// Every field ends up in a request header, where a line break would start a
// header of its own.
void clean(QString &value)
{
    value = Utils::stripControlCharacters(value);
}

void cleanAll(RequestHeaderInfo &record)
{
    BiHeaderInfo &bi = record.biHeader;
    for (QString *value : {&record.arch,
                           &record.mode,
                           &record.platform,
                           &record.region,
                           &record.language,
                           &record.baseline_version,
                           &record.baseline_main_version,
                           &record.os_build,
                           &record.client_version,
                           &record.eabi,
                           &record.mac,
                           &record.motherboard,
                           &record.cpu_clip,
                           &record.iswayland,
                           &record.supfeatures,
                           &bi.device_id,
                           &bi.client_version,
                           &bi.os,
                           &bi.os_version,
                           &bi.os_build,
                           &bi.channel,
                           &bi.cpuid,
                           &bi.uuid,
                           &bi.SN}) {
        clean(*value);
    }
}

} // namespace

void SystemInfoRecord::systemInfoRecord(RequestHeaderInfo &record)
{
    record.arch = Utils::cpuArchitectureName();
    record.mode = Utils::osProductTypeName();
    record.platform = Utils::osEditionName();
    record.region = Utils::regionCode();
    record.language = Utils::getUserLanguage();

    record.baseline_main_version = Utils::osMajorVersion();
    record.baseline_version = Utils::osMinorVersion();
    record.os_build = Utils::systemOsBuildVersion();

    record.iswayland = Utils::isWaylandSession() ? QStringLiteral("1") : QStringLiteral("0");
    record.supfeatures = Utils::supportedPackageTypes();

    record.client_version = Utils::getClientVersion();
    record.mac = Utils::getMachineId();
    record.motherboard = Utils::readBoardName();
    record.cpu_clip = Utils::getCpuInfo().modelName;
    record.eabi = Utils::readVideoMemorySize();

    BiHeaderInfo &bi = record.biHeader;
    bi.client_version = Utils::getClientVersion();
    bi.os = record.platform;
    bi.os_version = record.baseline_main_version + QLatin1Char(',') + record.baseline_version;
    bi.os_build = record.os_build;

    bi.device_id = Utils::getMachineId();
    bi.client = QStringLiteral("app_store");
    bi.channel = Utils::getChannel();
    bi.uid = QString();

    bi.cpuid = Utils::getCpuInfo().cpuID;
    bi.uuid = Utils::getBoardInfo().board_uuid;
    bi.SN = Utils::getHardDriveSN();

    cleanAll(record);
}

} // namespace AppStore
