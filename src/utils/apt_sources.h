#pragma once

namespace AppStore {

// The daemon's private apt sources, package cache and apt configuration.
class AptSources
{
public:
    AptSources() = delete;
};

} // namespace AppStore
