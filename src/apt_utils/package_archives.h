#pragma once

namespace AppStore {

// Downloaded package archives: inspection and cleaning.
class PackageArchives
{
public:
    PackageArchives() = delete;
};

} // namespace AppStore
