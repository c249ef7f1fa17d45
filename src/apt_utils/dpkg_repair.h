#pragma once

namespace AppStore {

// Repairs of packages dpkg left unfinished, and apt process control.
class DpkgRepair
{
public:
    DpkgRepair() = delete;
};

} // namespace AppStore
