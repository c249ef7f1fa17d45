#pragma once

namespace AppStore {

// Desktop shortcuts of applications on users' desktops.
class DesktopShortcuts
{
public:
    DesktopShortcuts() = delete;
};

} // namespace AppStore
