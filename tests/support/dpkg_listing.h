#pragma once

#include <QString>

// What the machine's own dpkg database lists, read with dpkg-query.
namespace DpkgListing {

// One field of package as dpkg records it ("Status", "Version", ...),
// trimmed; empty when dpkg knows no such package.
QString field(const QString &package, const QString &name);

// The last package that `dpkg-query -W` lists among those owning a regular
// file below /usr/share/doc (where every Debian package keeps its copyright);
// empty when none does. Readers of the whole listing end a record when the
// next one begins, so this one is the record they lose first.
QString lastPackageWithDocFile();

} // namespace DpkgListing
