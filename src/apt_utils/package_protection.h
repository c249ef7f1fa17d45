#pragma once

#include "utils/process_runner.h"

#include <QMap>
#include <QSet>
#include <QString>

namespace AppStore {

// What a store run leaves alone: the packages the system is built on
// (Essential, or of Priority "required" or "important") and the packages the
// administrator holds. No store run passes "--allow-change-held-packages",
// so apt-get itself refuses to change a held package; these checks name that
// refusal and look ahead at what else a run would take away.
class PackageProtection
{
public:
    PackageProtection() = delete;

    // Only an application is the store's to remove: a package that ships a
    // desktop entry of its own, of Type Application. What the store's own
    // tables say of a package does not count, since a caller can write them.
    // Whether its program is found does not count either: the daemon's PATH
    // lacks /usr/games, and a half-installed application may have lost its
    // program, yet both are the user's to remove.
    static bool isApplication(const QString &packageName);

    // The installed packages under protection, by name without architecture,
    // each with why ("Essential", "Priority important", "held by the
    // administrator"); a package whose record dpkg-query printed in a form
    // that does not read is protected too, since nothing tells it is not.
    // false when dpkg-query could not tell.
    static bool protectedPackages(QMap<QString, QString> &reasons);
    // Why a package with these fields (as dpkg-query prints ${Essential},
    // ${Priority} and ${db:Status-Want}) is under protection; empty when it
    // is not.
    static QString protectionReason(const QString &essential, const QString &priority,
                                    const QString &want);
    // Why a package whose record could not be read is under protection.
    static QString unreadableReason();

    // How apt reads a yes-or-no field of a package (Important, Protected,
    // Essential): "yes", "true", "with", "on", "enable" and 1 set it, "no",
    // "false", "without", "off", "disable", 0 and an empty value clear it,
    // in any letter case and with the blanks around trimmed; a number may be
    // written as C writes one ("0x1", "01", "+1"). Anything else apt warns
    // about and leaves as it was: Unknown.
    enum class Flag { Set, Cleared, Unknown };
    static Flag aptFlag(const QString &value);
    // false when dpkg-query could not tell: held then is incomplete.
    static bool heldPackages(QSet<QString> &held);

    // Why the apt-get run must not go ahead, empty when it may: its
    // simulation ("-s" with the run's own arguments) would remove a protected
    // package or change a held one, or did not come to an end that says.
    static QString simulationRefusal(const ProcessSpec &aptGetRun);

    // Why the store must not purge the package with this apt-get run, empty
    // when it may: it is no application, or the run would remove a protected
    // package or change a held one. When no installed package depends on it,
    // the run keeps what nothing needs any more (keepUnneededOption) and apt
    // solves it with its own solver, one listing of the installed packages
    // tells what the run removes; otherwise the run's simulation does.
    // purgeRun: apt-get's purge of that package, named last, whose options
    // name no solver; it gains the option that names the solver it was
    // judged with, the one apt.conf names for apt-get or apt's own, so that
    // what runs is what was judged.
    static QString purgeRefusal(const QString &packageName, ProcessSpec &purgeRun);
    // The option naming the solver that purgeRefusal gave judgedPurge, for
    // another run of the same removal (apt's own after dpkg's error) to
    // solve it alike; empty when the judgement could not tell the solver.
    static QStringList solverOption(const ProcessSpec &judgedPurge);

    // An install or repair run that must not remove anything without a look
    // first.
    static QString noRemovalOption();
    // Every store run of apt-get or apt takes what it names and what must go
    // with it, never what nothing needs any more, whatever the system's
    // configuration asks (apt.conf can ask it for one program alone, in
    // "Binary::apt-get::"): what the daemon judged is what goes. An option on
    // the command line beats every configuration file and scope.
    static QString keepUnneededOption();
    enum class RunReview {
        Other,    // neither: the failure is judged as before
        Refused,  // a held package, or what its simulation would remove
        RunAgain, // the removals it needs take nothing protected
    };
    // A failed install run given noRemovalOption(): whether it failed for a
    // held package or for a removal, and what then. Warns when refused.
    static RunReview reviewFailedInstall(const QString &packageName, const QString &errorText,
                                         const ProcessSpec &runWithRemovals);
    // The same for a repair of broken dependencies that packageName's task
    // asked for.
    static RunReview reviewFailedRepair(const QString &packageName, const QString &errorText,
                                        const ProcessSpec &repairWithRemovals);
    // apt-get's refusal to change a held package in a store run; warns.
    static bool refusedForHold(const QString &packageName, const QString &errorText);
};

} // namespace AppStore
