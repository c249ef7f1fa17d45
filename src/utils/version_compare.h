#pragma once

namespace AppStore {

// The daemon's one ordering of Debian package versions.
class VersionCompare
{
public:
    VersionCompare() = delete;
};

} // namespace AppStore
