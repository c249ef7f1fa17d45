#pragma once

namespace AppStore {

// Questions about processes and the running system.
class SystemProbes
{
public:
    SystemProbes() = delete;
};

} // namespace AppStore
