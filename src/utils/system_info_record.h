#pragma once

namespace AppStore {

// The device and system facts that store requests carry.
class SystemInfoRecord
{
public:
    SystemInfoRecord() = delete;
};

} // namespace AppStore
