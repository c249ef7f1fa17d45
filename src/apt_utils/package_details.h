#pragma once

namespace AppStore {

// What dpkg, apt and kapla tell about one package.
class PackageDetails
{
public:
    PackageDetails() = delete;
};

} // namespace AppStore
