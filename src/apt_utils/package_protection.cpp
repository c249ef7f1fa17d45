#include "apt_utils/package_protection.h"

#include "apt_utils/dpkg_query.h"
#include "apt_utils/removal_preview.h"
#include "common/daemon_log.h"
#include "utils/desktop_entry_checks.h"
#include "utils/side_query.h"

#include <QStringList>

#include <algorithm>

namespace AppStore {

namespace {

// Reading the lists of a full set of sources takes apt seconds on a slow
// machine; a simulation that takes minutes has met something else.
constexpr int kSimulationLimitMs = 5 * 60 * 1000;

const QString kHeld = QStringLiteral("held by the administrator");
// apt-get's own words (the runs are made with LANGUAGE=en_US).
const QString kHeldChanged = QStringLiteral("E: Held packages were changed");
const QString kRemovalDisabled =
    QStringLiteral("E: Packages need to be removed but remove is disabled");

// The packages a simulation removes, from its "Remv name [version]" and
// "Purg name [version]" lines, without architecture.
QStringList removedBySimulation(const QString &output)
{
    QStringList names;
    const QStringList lines = output.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("Remv ")) || line.startsWith(QLatin1String("Purg ")))
            names.append(line.section(QLatin1Char(' '), 1, 1).section(QLatin1Char(':'), 0, 0));
    }
    return names;
}

QString firstErrorLine(const QString &errorText)
{
    const QStringList lines = errorText.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("E: ")))
            return line;
    }
    return errorText.trimmed().section(QLatin1Char('\n'), 0, 0);
}

ProcessResult simulate(const ProcessSpec &aptGetRun)
{
    ProcessSpec simulation = aptGetRun;
    simulation.arguments.prepend(QStringLiteral("-s"));
    simulation.timeoutMs = kSimulationLimitMs;
    return ProcessRunner::run(simulation);
}

// reasons: the protected packages, null when they could not be read.
QString judgeRemovals(const QStringList &removed, const QMap<QString, QString> *reasons)
{
    if (removed.isEmpty())
        return QString();
    if (!reasons)
        return QStringLiteral("dpkg-query cannot tell what the run would remove");
    QStringList hits;
    for (const QString &name : removed) {
        if (reasons->contains(name))
            hits.append(QStringLiteral("%1 (%2)").arg(name, reasons->value(name)));
    }
    if (hits.isEmpty())
        return QString();
    return QStringLiteral("it would remove ") + hits.join(QStringLiteral(", "));
}

QString judgeSimulation(const ProcessResult &result, const QMap<QString, QString> *reasons)
{
    if (!result.started || result.timedOut || result.crashed)
        return QStringLiteral("apt-get's simulation of the run did not end: ") + result.errorString;
    if (result.errorText().contains(kHeldChanged))
        return QStringLiteral("it would change a package the administrator holds");
    if (result.exitCode != 0)
        return QStringLiteral("apt-get's simulation of the run failed: ") +
               firstErrorLine(result.errorText());
    return judgeRemovals(removedBySimulation(result.outputText()), reasons);
}

// The simulation takes the longest: the protected packages are listed on
// this thread while it runs.
QString simulateBeside(const ProcessSpec &aptGetRun)
{
    SideQuery<ProcessResult> simulation([aptGetRun] { return simulate(aptGetRun); });
    QMap<QString, QString> reasons;
    const bool listed = PackageProtection::protectedPackages(reasons);
    return judgeSimulation(simulation.take(), listed ? &reasons : nullptr);
}

// The run's last argument names the package, alone or with a version, as
// apt-get takes it.
bool namesLast(const QString &packageName, const ProcessSpec &run)
{
    const QString last = run.arguments.isEmpty() ? QString() : run.arguments.constLast();
    return last == packageName || last.startsWith(packageName + QLatin1Char('='));
}

} // namespace

bool PackageProtection::isApplication(const QString &packageName)
{
    const ProcessResult listing =
        DpkgQuery::runForPackage({QStringLiteral("--listfiles")}, packageName);
    if (!listing.succeeded())
        return false;
    const QStringList paths = listing.outputText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return std::any_of(paths.cbegin(), paths.cend(), [](const QString &path) {
        return DpkgQuery::isShippedDesktopEntry(path) &&
               DesktopEntryChecks::isApplicationEntry(path);
    });
}

bool PackageProtection::protectedPackages(QMap<QString, QString> &reasons)
{
    const ProcessResult listing = DpkgQuery::runListing(
        {QStringLiteral("-W"),
         QStringLiteral("-f=${Package}\t${Essential}\t${Priority}\t${db:Status-Want}\n")});
    if (!DpkgQuery::isCompleteListing(listing))
        return false;
    DpkgQuery::forEachLine(listing.standardOutput, [&reasons](QByteArrayView line) {
        const QStringList fields = QString::fromUtf8(line).split(QLatin1Char('\t'));
        if (fields.size() != 4)
            return;
        const QString why = protectionReason(fields.at(1), fields.at(2), fields.at(3));
        if (why.isEmpty())
            return;
        // Several architectures of one package: any of them protects the name.
        QString &reason = reasons[fields.at(0)];
        reason += (reason.isEmpty() ? QString() : QStringLiteral(", ")) + why;
    });
    return true;
}

QString PackageProtection::protectionReason(const QString &essential, const QString &priority,
                                            const QString &want)
{
    QStringList why;
    if (essential == QLatin1String("yes"))
        why.append(QStringLiteral("Essential"));
    if (priority == QLatin1String("required") || priority == QLatin1String("important"))
        why.append(QStringLiteral("Priority ") + priority);
    if (want == QLatin1String("hold"))
        why.append(kHeld);
    return why.join(QStringLiteral(", "));
}

bool PackageProtection::heldPackages(QSet<QString> &held)
{
    QMap<QString, QString> reasons;
    const bool listed = protectedPackages(reasons);
    held.clear();
    for (auto it = reasons.cbegin(); it != reasons.cend(); ++it) {
        if (it.value().contains(kHeld))
            held.insert(it.key());
    }
    return listed;
}

QString PackageProtection::simulationRefusal(const ProcessSpec &aptGetRun)
{
    return simulateBeside(aptGetRun);
}

QString PackageProtection::purgeRefusal(const QString &packageName, const ProcessSpec &purgeRun)
{
    // The listing takes a few milliseconds, the simulation a second load of
    // apt's cache; it runs only when the listing leaves a doubt.
    SideQuery<RemovalPreview> listing([] { return RemovalPreview::read(); });
    SideQuery<bool> autoRemoval([] { return RemovalPreview::purgeRemovesUnneeded(); });
    if (!isApplication(packageName))
        return QStringLiteral("it ships no desktop entry of its own, so it is no application");
    const RemovalPreview preview = listing.take();
    const QMap<QString, QString> *reasons =
        preview.isComplete() ? &preview.protectedReasons() : nullptr;
    if (!autoRemoval.take() && namesLast(packageName, purgeRun) &&
        preview.takesOnlyItself(purgeRun.arguments.constLast()))
        return judgeRemovals({packageName}, reasons);
    return judgeSimulation(simulate(purgeRun), reasons);
}

QString PackageProtection::noRemovalOption()
{
    return QStringLiteral("APT::Get::Remove=false");
}

namespace {

// runName: what the run does for packageName, for the log ("install").
PackageProtection::RunReview reviewFailedRun(const QString &runName, const QString &packageName,
                                             const QString &errorText,
                                             const ProcessSpec &runWithRemovals)
{
    if (PackageProtection::refusedForHold(packageName, errorText))
        return PackageProtection::RunReview::Refused;
    if (!errorText.contains(kRemovalDisabled))
        return PackageProtection::RunReview::Other;
    const QString refusal = PackageProtection::simulationRefusal(runWithRemovals);
    if (refusal.isEmpty()) {
        qCInfo(daemonLogCategory).noquote() << "the" << runName << "for" << packageName
                                            << "removes packages, none of them protected";
        return PackageProtection::RunReview::RunAgain;
    }
    qCWarning(daemonLogCategory).noquote()
        << "refusing the" << runName << "for" << packageName << "because" << refusal;
    return PackageProtection::RunReview::Refused;
}

} // namespace

PackageProtection::RunReview
PackageProtection::reviewFailedInstall(const QString &packageName, const QString &errorText,
                                       const ProcessSpec &runWithRemovals)
{
    return reviewFailedRun(QStringLiteral("install"), packageName, errorText, runWithRemovals);
}

PackageProtection::RunReview
PackageProtection::reviewFailedRepair(const QString &packageName, const QString &errorText,
                                      const ProcessSpec &repairWithRemovals)
{
    return reviewFailedRun(QStringLiteral("repair of broken dependencies"), packageName, errorText,
                           repairWithRemovals);
}

bool PackageProtection::refusedForHold(const QString &packageName, const QString &errorText)
{
    if (!errorText.contains(kHeldChanged))
        return false;
    qCWarning(daemonLogCategory).noquote()
        << packageName
        << "or a package it needs is held by the administrator; the store leaves held packages "
           "as they are";
    return true;
}

} // namespace AppStore
