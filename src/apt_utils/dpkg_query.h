#pragma once

#include "utils/process_runner.h"

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace AppStore {

// Runs dpkg-query and reads its formatted records. Package names are checked
// before they become an argument; a refused name is answered as an unknown
// package, without running anything.
class DpkgQuery
{
public:
    DpkgQuery() = delete;

    // One installed package as a "-f=" format with ${db-fsys:Files} last
    // prints it.
    struct Record
    {
        QString name;
        QString version;
        QString installedSize; // KiB, as printed (may be empty)
        QString status;        // ${db:Status-Status}
        QString channel;
        QStringList files;
    };

    enum class Lookup { Failed, Unreadable, Found, Unknown };

    // The record of one package, its files exactly as the format with
    // ${db-fsys:Files} last would list them, read from that package's own
    // file list instead of the whole file database. Files are read only for
    // a package whose status is "installed". Of a package in several
    // architectures, the first instance that is installed, else the first
    // that is not removed, else the first. Unknown when dpkg-query does not
    // know the package, Failed when it could not answer, Unreadable when it
    // answers something else than the fields asked for. With withFiles false
    // the files are left out.
    static Lookup lookUpPackage(const QString &name, Record &record, bool withFiles = true);

    // Whether a ${db:Status-Status} word leaves only a record (or its
    // configuration files) of a package whose files are gone.
    static bool isRemovedStatus(const QString &status);

    // dpkg-query with arguments, then the package name as the last one.
    static ProcessResult runForPackage(const QStringList &arguments, const QString &name);
    // dpkg-query over every package the database knows.
    static ProcessResult runListing(const QStringList &arguments);
    // Whether a listing ran to a clean end; a failed, killed or timed-out one
    // may have printed only part of the database and is not to be taken as
    // the list of what is installed. Warns when not.
    static bool isCompleteListing(const ProcessResult &result);
    // A listing whose lines go to take (as forEachLine gives them) while
    // dpkg-query prints them; whether it ran to a clean end is known only
    // afterwards, so take may have seen part of a failed one.
    static bool streamListing(const QStringList &arguments,
                              const std::function<void(QByteArrayView)> &take);
    // Hands each non-empty line of output to take, without its newline. A
    // listing runs to megabytes: it is read in place, never held as text.
    static void forEachLine(const QByteArray &output,
                            const std::function<void(QByteArrayView)> &take);

    // A listing of fields (as "${...}" names them) of every package that no
    // field's text can split or shift: each value begins a line of its own
    // behind its field's mark, and dpkg continues a value only on lines that
    // begin with a blank. The format argument, for runListing.
    static QString fieldListingFormat(const QStringList &fields);
    // Hands each record of such a listing of fieldCount fields to take, every
    // value with its continuation lines. A record that does not read as asked
    // comes with readable false and the values read up to the fault; its
    // first value, the one that opens the record, is there unless the
    // listing did not begin with a record.
    static void
    forEachFieldRecord(const QByteArray &listing, int fieldCount,
                       const std::function<void(const QStringList &values, bool readable)> &take);

    // Reads "name version size status [more fields] [channel] files", as many
    // fixed fields as fixedFieldCount, each followed by one blank. The file
    // list holds one path per line, each after one blank, so paths with
    // blanks survive (and so does a channel with blanks). False when the text
    // is too short.
    static bool parseRecord(const QString &text, int fixedFieldCount, bool withChannel,
                            Record &record);

    // The entries of paths that a package offers as its applications, in
    // their order.
    static QStringList applicationDesktopFiles(const QStringList &paths);
    // A regular desktop file in one of the application folders, whatever it
    // launches. A symbolic link is never the package's own entry.
    static bool isShippedDesktopEntry(const QString &path);
    // Of several desktop files, keeps only the first one named after the
    // package, when there is one.
    static void preferPackageNamedDesktopFile(const QString &packageName, QStringList &files);
};

} // namespace AppStore
