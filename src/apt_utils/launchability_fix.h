#pragma once

namespace AppStore {

// Makes the programs a package's desktop files start launchable.
class LaunchabilityFix
{
public:
    LaunchabilityFix() = delete;
};

} // namespace AppStore
