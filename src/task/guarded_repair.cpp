#include "task/guarded_repair.h"

#include "apt_utils/package_protection.h"
#include "common/daemon_log.h"

namespace AppStore {

namespace {

ProcessResult runLogged(const ProcessSpec &spec)
{
    const ProcessResult result = ProcessRunner::run(spec);
    if (result.timedOut)
        qCWarning(daemonLogCategory)
            << "the repair" << spec.program << spec.arguments << "timed out";
    return result;
}

} // namespace

GuardedRepair::Outcome GuardedRepair::run(const QString &packageName, const ProcessSpec &repairRun)
{
    // Last, so that no configuration file given before turns them on again.
    ProcessSpec withRemovals = repairRun;
    withRemovals.arguments << QStringLiteral("-o") << PackageProtection::keepUnneededOption();
    ProcessSpec careful = withRemovals;
    careful.arguments << QStringLiteral("-o") << PackageProtection::noRemovalOption();
    Outcome outcome;
    outcome.result = runLogged(careful);
    if (outcome.result.succeeded())
        return outcome;
    switch (PackageProtection::reviewFailedRepair(packageName, outcome.result.errorText(),
                                                  withRemovals)) {
    case PackageProtection::RunReview::Refused:
        outcome.refused = true;
        break;
    case PackageProtection::RunReview::RunAgain:
        outcome.result = runLogged(withRemovals);
        break;
    case PackageProtection::RunReview::Other:
        break;
    }
    return outcome;
}

} // namespace AppStore
