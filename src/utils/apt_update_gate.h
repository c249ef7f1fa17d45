#pragma once

#include <QDateTime>

namespace AppStore {

// State of the apt index update. AptUpdateStatus::state holds 2, which has no
// name, until the first update of the process starts.
enum Enum_AptUpdate_State : int {
    Running = 0,
    Finished = 1,
};

struct AptUpdateStatus
{
    QDateTime lastTime; // end of the last update; before any, the process start
    int state = 2;      // an Enum_AptUpdate_State value, or 2
    bool success = false;
    int failCount = 0; // consecutive failed updates
};

// When an apt index update may run, and the process-wide task flags.
class AptUpdateGate
{
public:
    AptUpdateGate() = delete;

    static AptUpdateStatus aptUpdateStatus();
    static void startAptUpdateTask();
    static void AptUpdateFinish(const QDateTime &finishTime, bool success);
    static bool isAptUpdateNeeded();
    // The same decision taken at the given moment.
    static bool isAptUpdateNeededAt(const QDateTime &now);

    static void setWineInstalling(bool installing);
    static bool isWineInstalling();

    static void setKeepArchives(bool keep);
    static bool isKeepArchives();
};

} // namespace AppStore
