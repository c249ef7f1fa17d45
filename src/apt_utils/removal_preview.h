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
// without autoremoval takes only the package and what depends on it
// (Recommends and Suggests keep nothing back). A simulation tells the same,
// but it loads apt's whole cache a second time; whatever the listing cannot
// vouch for is left to one.
class RemovalPreview
{
public:
    // Runs the listing.
    static RemovalPreview read();
    // Whether apt-get's purge also takes what nothing needs any more, as the
    // system's configuration may ask; the listing cannot tell what that
    // would be. true also when apt-config could not tell.
    static bool purgeRemovesUnneeded();
    // The listing's output, one package a line in the order of the format
    // read() asks for.
    static RemovalPreview fromListing(const QByteArray &listing);

    // false when dpkg-query could not list, or printed a line that does not
    // read as asked.
    bool isComplete() const { return m_complete; }
    // The protected packages, as PackageProtection::protectedPackages names
    // them.
    const QMap<QString, QString> &protectedReasons() const { return m_reasons; }

    // Whether apt-get's purge of target ("name" or "name=version", as the run
    // names it) takes that package alone. Only when the listing leaves no
    // doubt: the package is installed once, at that version, and not marked
    // for apt to keep; every package is in a settled state and finds each of
    // its dependencies by name (apt-get refuses to act on a broken system);
    // and no installed package's Depends or Pre-Depends name it or what it
    // provides, in any alternative.
    bool takesOnlyItself(const QString &target) const;

private:
    struct Entry
    {
        QString name;
        QString version;
        QString state; // ${db:Status-Abbrev}: wanted, current, error flag
        bool kept;     // Protected or Important: apt refuses to remove it
        QStringList provides;
        QList<QStringList> needs; // Depends and Pre-Depends, each a list of alternatives
    };

    bool readLine(const QString &line);

    QList<Entry> m_entries;
    QMap<QString, QString> m_reasons;
    bool m_complete = false;
};

} // namespace AppStore
