#include "apt_utils/package_protection.h"

#include "apt_utils/dpkg_query.h"
#include "apt_utils/removal_preview.h"
#include "common/daemon_log.h"
#include "utils/desktop_entry_checks.h"
#include "utils/side_query.h"

#include <QStringList>

#include <algorithm>
#include <optional>

namespace AppStore {

namespace {

// Reading the lists of a full set of sources takes apt seconds on a slow
// machine; a simulation that takes minutes has met something else.
constexpr int kSimulationLimitMs = 5 * 60 * 1000;
// apt-config reads the configuration files alone, in milliseconds.
constexpr int kConfigReadLimitMs = 30000;

const QString kHeld = QStringLiteral("held by the administrator");
const QString kUnreadable = QStringLiteral("its record in dpkg's database does not read");
// apt-get's own words (the runs are made with LANGUAGE=en_US).
const QString kHeldChanged = QStringLiteral("E: Held packages were changed");
const QString kRemovalDisabled =
    QStringLiteral("E: Packages need to be removed but remove is disabled");
const QString kAutoRemoveKey = QStringLiteral("APT::Get::AutomaticRemove");
const QString kSolverKey = QStringLiteral("APT::Solver");
// What apt.conf asks of apt-get alone; apt-config shows it under this name.
const QString kOwnSolverKey = QStringLiteral("Binary::apt-get::APT::Solver");
const QString kInternalSolver = QStringLiteral("internal");

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

// reasons: the protected packages, null when dpkg-query could not list them.
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

// What the run's options, before any "--", set key to: the last "-o" that
// names it counts, as apt reads them.
std::optional<QString> optionValue(const ProcessSpec &run, const QString &key)
{
    const QString prefix = key + QLatin1Char('=');
    std::optional<QString> value;
    const QStringList &arguments = run.arguments;
    for (qsizetype i = 0; i + 1 < arguments.size() && arguments.at(i) != QLatin1String("--"); ++i) {
        if (arguments.at(i) == QLatin1String("-o") &&
            arguments.at(i + 1).startsWith(prefix, Qt::CaseInsensitive))
            value = arguments.at(i + 1).mid(prefix.size());
    }
    return value;
}

bool keepsUnneeded(const ProcessSpec &run)
{
    return optionValue(run, kAutoRemoveKey) == QLatin1String("false");
}

// The solver apt-get solves the run with under the configuration its
// environment picks: the one apt.conf names for apt-get alone, else the one
// it names for all, else apt's own; null when apt-config cannot tell.
QString configuredSolver(const ProcessSpec &run)
{
    ProcessSpec query;
    query.program = QStringLiteral("apt-config");
    query.arguments = {QStringLiteral("dump"), QStringLiteral("--format"),
                       QStringLiteral("%f=%v%n"), kSolverKey, kOwnSolverKey};
    query.environmentMode = run.environmentMode;
    query.environment = run.environment;
    query.timeoutMs = kConfigReadLimitMs;
    const ProcessResult result = ProcessRunner::run(query);
    if (!result.succeeded())
        return QString();
    QString common;
    QString own;
    const QStringList lines = result.outputText().split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QString key = line.section(QLatin1Char('='), 0, 0);
        if (key.compare(kSolverKey, Qt::CaseInsensitive) == 0)
            common = line.section(QLatin1Char('='), 1);
        else if (key.compare(kOwnSolverKey, Qt::CaseInsensitive) == 0)
            own = line.section(QLatin1Char('='), 1);
    }
    const QString named = own.isEmpty() ? common : own;
    return named.isEmpty() ? kInternalSolver : named;
}

// A number as C's strtol reads one in base 0, whole: an optional sign, then
// "0x" and hex digits, "0" and octal digits, or decimal digits. Only 0 and 1
// matter here; -1 stands for any other number, and for no number.
int smallNumber(QStringView text)
{
    const bool negative = text.startsWith(u'-');
    if (negative || text.startsWith(u'+'))
        text = text.mid(1);
    int base = 10;
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        base = 16;
        text = text.mid(2);
    } else if (text.startsWith(u'0')) {
        base = 8;
    }
    if (text.isEmpty())
        return -1;
    int value = 0;
    for (const QChar c : text) {
        const int digit = QStringView(u"0123456789abcdef").indexOf(c.toLower());
        if (digit < 0 || digit >= base)
            return -1;
        value = std::min(value * base + digit, 2);
    }
    if (value > 1 || (negative && value == 1))
        return -1;
    return value;
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
         DpkgQuery::fieldListingFormat({QStringLiteral("Package"), QStringLiteral("Essential"),
                                        QStringLiteral("Priority"),
                                        QStringLiteral("db:Status-Want")})});
    if (!DpkgQuery::isCompleteListing(listing))
        return false;
    bool named = true;
    DpkgQuery::forEachFieldRecord(
        listing.standardOutput, 4, [&](const QStringList &fields, bool readable) {
            const QString why = readable
                                    ? protectionReason(fields.at(1), fields.at(2), fields.at(3))
                                    : unreadableReason();
            named = named && !fields.at(0).isEmpty();
            if (why.isEmpty())
                return;
            // Several architectures of one package: any of them protects the name.
            QString &reason = reasons[fields.at(0)];
            reason += (reason.isEmpty() ? QString() : QStringLiteral(", ")) + why;
        });
    return named;
}

QString PackageProtection::unreadableReason()
{
    return kUnreadable;
}

PackageProtection::Flag PackageProtection::aptFlag(const QString &value)
{
    const QString text = value.trimmed();
    const int number = smallNumber(text);
    if (number == 0)
        return Flag::Cleared;
    if (number == 1)
        return Flag::Set;
    const auto isOneOf = [&text](std::initializer_list<const char *> words) {
        return std::any_of(words.begin(), words.end(), [&text](const char *word) {
            return text.compare(QLatin1String(word), Qt::CaseInsensitive) == 0;
        });
    };
    if (text.isEmpty() || isOneOf({"no", "false", "without", "off", "disable"}))
        return Flag::Cleared;
    if (isOneOf({"yes", "true", "with", "on", "enable"}))
        return Flag::Set;
    return Flag::Unknown;
}

QString PackageProtection::protectionReason(const QString &essential, const QString &priority,
                                            const QString &want)
{
    QStringList why;
    // dpkg itself takes only "yes" or "no" here.
    if (aptFlag(essential) == Flag::Set)
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

QString PackageProtection::purgeRefusal(const QString &packageName, ProcessSpec &purgeRun)
{
    // The listing and apt-config take a few milliseconds, the simulation a
    // second load of apt's cache; it runs only when the listing leaves a
    // doubt.
    SideQuery<RemovalPreview> listing([] { return RemovalPreview::read(); });
    SideQuery<QString> solver([purgeRun] { return configuredSolver(purgeRun); });
    if (!isApplication(packageName))
        return QStringLiteral("it ships no desktop entry of its own, so it is no application");
    // An external solver may answer a plain purge with more removals; the
    // listing knows only apt's own. On the command line the name beats
    // every file and scope, also those of apt's removal after dpkg's error.
    const QString named = solver.take();
    if (!named.isNull())
        purgeRun.arguments =
            QStringList{QStringLiteral("-o"), kSolverKey + QLatin1Char('=') + named} +
            purgeRun.arguments;
    const RemovalPreview preview = listing.take();
    const QMap<QString, QString> *reasons =
        preview.isComplete() ? &preview.protectedReasons() : nullptr;
    if (keepsUnneeded(purgeRun) && optionValue(purgeRun, kSolverKey) == kInternalSolver &&
        namesLast(packageName, purgeRun) && preview.takesOnlyItself(purgeRun.arguments.constLast()))
        return judgeRemovals({packageName}, reasons);
    return judgeSimulation(simulate(purgeRun), reasons);
}

QStringList PackageProtection::solverOption(const ProcessSpec &judgedPurge)
{
    const std::optional<QString> named = optionValue(judgedPurge, kSolverKey);
    if (!named)
        return {};
    return {QStringLiteral("-o"), kSolverKey + QLatin1Char('=') + *named};
}

QString PackageProtection::noRemovalOption()
{
    return QStringLiteral("APT::Get::Remove=false");
}

QString PackageProtection::keepUnneededOption()
{
    return kAutoRemoveKey + QStringLiteral("=false");
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
