#pragma once

namespace AppStore {

// The kapla applications as the package-manager service lists them.
class KaplaAppList
{
public:
    KaplaAppList() = delete;
};

} // namespace AppStore
