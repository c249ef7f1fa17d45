#pragma once

#include <QString>
#include <QStringList>

namespace AppStore {

// Package-name patterns and small package-system operations.
class PackageNamePatterns
{
public:
    PackageNamePatterns() = delete;

    // Puts a backslash before each ".", "?", "+", "*", "|", "[", "^" and "$"
    // of text, so that "^" + text + "$" makes apt match the one package of
    // that name. Nothing else is escaped.
    static void escapeRegexChars(QString &text);
    // Appends "{name version size [desktop files]}" for each installed kapla
    // application; false (nothing appended) when the kapla list failed.
    static bool getLocalKaplaPkgStrings(QStringList &records);
};

} // namespace AppStore
