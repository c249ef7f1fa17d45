#include "apt_utils/removal_preview.h"

#include "apt_utils/dpkg_query.h"
#include "apt_utils/package_protection.h"
#include "utils/process_runner.h"

#include <QSet>

namespace AppStore {

namespace {

const QString kFormat = QStringLiteral(
    "-f=${Package}\t${Version}\t${db:Status-Abbrev}\t${Essential}\t${Priority}\t"
    "${db:Status-Want}\t${Protected}\t${Important}\t${Provides}\t${Depends}\t${Pre-Depends}\n");
constexpr int kFieldCount = 11;

// The package an alternative names, without its version, architecture or
// architecture list: "libc6 (>= 2.34)", "python3:any", "foo [amd64]".
QString relationName(QStringView alternative)
{
    alternative = alternative.trimmed();
    qsizetype end = 0;
    while (end < alternative.size() && !QStringView(u" (:[").contains(alternative.at(end)))
        ++end;
    return alternative.left(end).toString();
}

// "a (>= 1), b:any | c" as {{a}, {b, c}}.
QList<QStringList> relationGroups(const QString &field)
{
    QList<QStringList> groups;
    const QStringList relations = field.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &relation : relations) {
        QStringList names;
        const QStringList alternatives = relation.split(QLatin1Char('|'));
        for (const QString &alternative : alternatives)
            names.append(relationName(alternative));
        groups.append(names);
    }
    return groups;
}

QStringList relationNames(const QString &field)
{
    QStringList names;
    for (const QStringList &group : relationGroups(field))
        names += group;
    return names;
}

// Installed, configured and not in need of a reinstall, or no more than
// known to dpkg: a package in any other state is left to apt to judge.
bool isSettled(const QString &state)
{
    return state.size() == 3 && state.at(2) == QLatin1Char(' ') &&
           QStringView(u"inc").contains(state.at(1));
}

bool isInstalled(const QString &state)
{
    return state.size() == 3 && state.at(1) == QLatin1Char('i');
}

} // namespace

bool RemovalPreview::purgeRemovesUnneeded()
{
    ProcessSpec spec;
    spec.program = QStringLiteral("apt-config");
    spec.arguments = {QStringLiteral("shell"), QStringLiteral("AUTO"),
                      QStringLiteral("APT::Get::AutomaticRemove/b")};
    spec.timeoutMs = 10000;
    const ProcessResult result = ProcessRunner::run(spec);
    return !result.succeeded() || result.outputText().trimmed() == QLatin1String("AUTO='true'");
}

RemovalPreview RemovalPreview::read()
{
    const ProcessResult listing = DpkgQuery::runListing({QStringLiteral("-W"), kFormat});
    if (!DpkgQuery::isCompleteListing(listing))
        return RemovalPreview();
    return fromListing(listing.standardOutput);
}

RemovalPreview RemovalPreview::fromListing(const QByteArray &listing)
{
    RemovalPreview preview;
    preview.m_complete = true;
    DpkgQuery::forEachLine(listing, [&preview](QByteArrayView line) {
        if (!preview.readLine(QString::fromUtf8(line)))
            preview.m_complete = false;
    });
    return preview;
}

bool RemovalPreview::readLine(const QString &line)
{
    const QStringList fields = line.split(QLatin1Char('\t'));
    if (fields.size() != kFieldCount)
        return false;
    const QString reason =
        PackageProtection::protectionReason(fields.at(3), fields.at(4), fields.at(5));
    if (!reason.isEmpty()) {
        QString &reasons = m_reasons[fields.at(0)];
        reasons += (reasons.isEmpty() ? QString() : QStringLiteral(", ")) + reason;
    }
    const auto yes = [](const QString &value) { return value == QLatin1String("yes"); };
    m_entries.append({fields.at(0), fields.at(1), fields.at(2),
                      yes(fields.at(6)) || yes(fields.at(7)), relationNames(fields.at(8)),
                      relationGroups(fields.at(9)) + relationGroups(fields.at(10))});
    return true;
}

bool RemovalPreview::takesOnlyItself(const QString &target) const
{
    if (!m_complete)
        return false;
    const QString name = target.section(QLatin1Char('='), 0, 0);
    const QString version = target.section(QLatin1Char('='), 1);
    const Entry *self = nullptr;
    QSet<QString> present; // installed packages and what they provide
    for (const Entry &entry : m_entries) {
        if (!isSettled(entry.state))
            return false;
        if (entry.name == name && entry.state.at(1) != QLatin1Char('n')) {
            // Several architectures of it: which of them goes is apt's to say.
            if (self)
                return false;
            self = &entry;
        }
        if (isInstalled(entry.state)) {
            present.insert(entry.name);
            for (const QString &provided : entry.provides)
                present.insert(provided);
        }
    }
    if (!self || !isInstalled(self->state) || self->kept ||
        (!version.isEmpty() && version != self->version))
        return false;
    QSet<QString> selfNames{name};
    for (const QString &provided : self->provides)
        selfNames.insert(provided);
    for (const Entry &entry : m_entries) {
        if (&entry == self || !isInstalled(entry.state))
            continue;
        for (const QStringList &group : entry.needs) {
            bool found = false;
            for (const QString &alternative : group) {
                if (selfNames.contains(alternative))
                    return false;
                found = found || present.contains(alternative);
            }
            if (!found)
                return false;
        }
    }
    return true;
}

} // namespace AppStore
