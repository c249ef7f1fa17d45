#pragma once

#include "system_file_guard.h"

#include <QString>

// The three apt configuration files an installed daemon finds in its state
// folder, written there from the source tree for as long as the object
// lives; what stood at their places before is put back when it goes. A test
// that starts the daemon, or runs apt the way the daemon does, must not rely
// on an earlier install or run having left them.
class DaemonAptConfigs
{
public:
    DaemonAptConfigs();

    // false when the files could not be kept aside or written.
    bool isValid() const { return m_error.isEmpty(); }
    QString errorString() const { return m_error; }

private:
    SystemFileGuard m_guard;
    QString m_error;
};
