#pragma once

namespace AppStore {

// Checks on the desktop files of applications.
class DesktopEntryChecks
{
public:
    DesktopEntryChecks() = delete;
};

} // namespace AppStore
