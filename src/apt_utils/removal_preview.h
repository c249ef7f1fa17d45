#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

namespace AppStore {

// What apt-get's purge of one installed package takes, told from one
// dpkg-query listing of every package: the package alone when no installed
// package depends on it, directly or through what it provides, since a purge
// that keeps what nothing needs any more takes only the package and what
// depends on it (Recommends and Suggests keep nothing back). A simulation
// tells the same, but it loads apt's whole cache a second time; whatever the
// listing cannot vouch for is left to one.
class RemovalPreview
{
public:
    // Runs the listing.
    static RemovalPreview read();
    // The listing's output, as DpkgQuery::fieldListingFormat has dpkg-query
    // print the fields read() asks for, in their order: Package, Version,
    // db:Status-Abbrev, Essential, Priority, db:Status-Want, Protected,
    // Important, Provides, Depends, Pre-Depends.
    static RemovalPreview fromListing(const QByteArray &listing);

    // false when dpkg-query could not list, or printed something that is no
    // package's record.
    bool isComplete() const { return m_complete; }
    // The protected packages, as PackageProtection::protectedPackages names
    // them; a package whose record does not read among them.
    const QMap<QString, QString> &protectedReasons() const { return m_reasons; }

    // Whether apt-get's purge of target ("name" or "name=version", as the run
    // names it), keeping what nothing needs any more, takes that package
    // alone. Only when the listing leaves no doubt: every record reads; the
    // package is installed once, at that version, and apt does not read it
    // as one to keep (Protected, Important); every package is in a settled
    // state and finds each of its dependencies by name (apt-get refuses to
    // act on a broken system); and no installed package's Depends or
    // Pre-Depends name it or what it provides, in any alternative.
    bool takesOnlyItself(const QString &target) const;

private:
    struct Entry
    {
        QString name;
        QString version;
        QString state; // ${db:Status-Abbrev}: wanted, current, error flag
        bool kept;     // Protected or Important, or not plainly neither: apt may refuse it
        QStringList provides;
        QList<QStringList> needs; // Depends and Pre-Depends, each a list of alternatives
    };

    void readRecord(const QStringList &fields);
    void addReason(const QString &name, const QString &reason);

    QList<Entry> m_entries;
    QMap<QString, QString> m_reasons;
    bool m_complete = false;
    bool m_allRead = true;
};

} // namespace AppStore
