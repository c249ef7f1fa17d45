#pragma once

struct RequestHeaderInfo;

namespace AppStore {

// The device and system facts that store requests carry.
class SystemInfoRecord
{
public:
    SystemInfoRecord() = delete;

    // Fills record with fresh facts; userid, referer, token and biHeader.code
    // keep what they held. Starts several tools one after the other, so it
    // is meant to run once per process, off the event loop's hot paths.
    static void systemInfoRecord(RequestHeaderInfo &record);
};

} // namespace AppStore
