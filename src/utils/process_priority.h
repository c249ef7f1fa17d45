#pragma once

namespace AppStore {

// The daemon's own scheduling priority and its systemd unit.
class ProcessPriority
{
public:
    ProcessPriority() = delete;
};

} // namespace AppStore
