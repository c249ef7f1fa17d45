#pragma once

namespace AppStore {

// The desktop files a package ships.
class PackageDesktopFiles
{
public:
    PackageDesktopFiles() = delete;
};

} // namespace AppStore
