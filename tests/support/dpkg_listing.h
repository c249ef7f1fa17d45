#pragma once

#include <QString>

// What the machine's own dpkg database lists, read with dpkg-query.
namespace DpkgListing {

// The last package that `dpkg-query -W` lists among those owning a regular
// file below /usr/share/doc (where every Debian package keeps its copyright);
// empty when none does. Readers of the whole listing end a record when the
// next one begins, so this one is the record they lose first.
QString lastPackageWithDocFile();

} // namespace DpkgListing
