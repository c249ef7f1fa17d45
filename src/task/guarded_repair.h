#pragma once

#include "utils/process_runner.h"

#include <QString>

namespace AppStore {

// apt's repair of broken dependencies ("install -f", "--fix-broken install")
// settles them by removing what it cannot satisfy, which may be what the
// system is built on. It is held to an install's guard: it first runs
// without removals; when it needs some, they are simulated and judged as an
// install's are, and it runs again with them only when nothing protected
// goes. Neither run takes what nothing needs any more. Every call looks
// afresh: dpkg's state may have moved since the last.
class GuardedRepair
{
public:
    GuardedRepair() = delete;

    struct Outcome
    {
        ProcessResult result; // of the last run
        bool refused = false; // the removals were not let through: nothing changed
    };

    // repairRun: the repair as it would run with removals, in English.
    // packageName names whose task asked for it, for the log. The runs are
    // waited for on the calling thread with their input closed, so that a
    // question fails at once.
    static Outcome run(const QString &packageName, const ProcessSpec &repairRun);
};

} // namespace AppStore
