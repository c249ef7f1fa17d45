#pragma once

namespace AppStore {

// Hardware and identity facts of the machine.
class HardwareReaders
{
public:
    HardwareReaders() = delete;
};

} // namespace AppStore
