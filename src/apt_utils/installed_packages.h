#pragma once

namespace AppStore {

// The lists of installed applications.
class InstalledPackages
{
public:
    InstalledPackages() = delete;
};

} // namespace AppStore
