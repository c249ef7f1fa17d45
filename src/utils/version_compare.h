#pragma once

#include <QString>

namespace AppStore {

// The daemon's one ordering of Debian package versions.
class VersionCompare
{
public:
    VersionCompare() = delete;

    // Negative when a sorts before b, 0 when equal, positive when after; only
    // the sign carries meaning.
    static int compareVersion(const QString &a, const QString &b);
};

} // namespace AppStore
