#pragma once

namespace AppStore {

// When an apt index update may run, and the process-wide task flags.
class AptUpdateGate
{
public:
    AptUpdateGate() = delete;
};

} // namespace AppStore
