#include "apt_utils/removal_preview.h"

#include "apt_utils/dpkg_query.h"
#include "apt_utils/package_protection.h"

#include <QSet>

namespace AppStore {

namespace {

const QStringList kFields{
    QStringLiteral("Package"),   QStringLiteral("Version"),    QStringLiteral("db:Status-Abbrev"),
    QStringLiteral("Essential"), QStringLiteral("Priority"),   QStringLiteral("db:Status-Want"),
    QStringLiteral("Protected"), QStringLiteral("Important"),  QStringLiteral("Provides"),
    QStringLiteral("Depends"),   QStringLiteral("Pre-Depends")};

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

RemovalPreview RemovalPreview::read()
{
    const ProcessResult listing =
        DpkgQuery::runListing({QStringLiteral("-W"), DpkgQuery::fieldListingFormat(kFields)});
    if (!DpkgQuery::isCompleteListing(listing))
        return RemovalPreview();
    return fromListing(listing.standardOutput);
}

RemovalPreview RemovalPreview::fromListing(const QByteArray &listing)
{
    RemovalPreview preview;
    preview.m_complete = true;
    DpkgQuery::forEachFieldRecord(
        listing, kFields.size(), [&preview](const QStringList &fields, bool readable) {
            if (readable) {
                preview.readRecord(fields);
                return;
            }
            // One record that does not read leaves that package to the
            // simulation, not every removal.
            preview.m_allRead = false;
            if (fields.at(0).isEmpty())
                preview.m_complete = false;
            else
                preview.addReason(fields.at(0), PackageProtection::unreadableReason());
        });
    return preview;
}

void RemovalPreview::addReason(const QString &name, const QString &reason)
{
    if (reason.isEmpty())
        return;
    QString &reasons = m_reasons[name];
    reasons += (reasons.isEmpty() ? QString() : QStringLiteral(", ")) + reason;
}

void RemovalPreview::readRecord(const QStringList &fields)
{
    addReason(fields.at(0),
              PackageProtection::protectionReason(fields.at(3), fields.at(4), fields.at(5)));
    const auto mayKeep = [](const QString &value) {
        return PackageProtection::aptFlag(value) != PackageProtection::Flag::Cleared;
    };
    m_entries.append({fields.at(0), fields.at(1), fields.at(2),
                      mayKeep(fields.at(6)) || mayKeep(fields.at(7)), relationNames(fields.at(8)),
                      relationGroups(fields.at(9)) + relationGroups(fields.at(10))});
}

bool RemovalPreview::takesOnlyItself(const QString &target) const
{
    if (!m_complete || !m_allRead)
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
