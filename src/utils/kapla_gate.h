#pragma once

#include "apt_utils/app_meta_info.h"

#include <QString>

namespace AppStore {

// Whether the installed kapla runtime is recent enough, and kapla package facts.
class KaplaGate
{
public:
    KaplaGate() = delete;

    // refresh true asks dpkg for "kapla-bin" (at least 1.5) and caches the
    // answer; false only reads the cached answer, which is false until the
    // first refresh and during one.
    static bool isKaplaSupported(bool refresh);
    // A refresh on a pool thread, for the start-up: readers wait for it
    // rather than read false.
    static void refreshAside();
    // The package types the store may offer, as a binary number in text.
    static QString supportedPackageTypes();

    // Appends one item per element of a JSON array; an empty text counts as
    // an empty list.
    static bool parseKaplaPkgInfoList(const QString &json, kapla::package::AppMetaInfoList &out);
    // The "size" of an application's info file; 0 when there is none.
    static qint64 parseKaplaPkgSizeFromInfoJson(const QString &infoFilePath);
    // Bytes below directory; symbolic links count with their own size only.
    static qint64 directoryTreeSize(const QString &directory);
};

} // namespace AppStore
