#pragma once

namespace AppStore {

// The apt index update and the list of upgradable packages.
class AptIndexUpdate
{
public:
    AptIndexUpdate() = delete;
};

} // namespace AppStore
