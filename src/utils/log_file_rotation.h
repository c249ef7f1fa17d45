#pragma once

namespace AppStore {

// The daemon's log file and the rotation of its predecessors.
class LogFileRotation
{
public:
    LogFileRotation() = delete;
};

} // namespace AppStore
