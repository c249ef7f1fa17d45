#pragma once

#include <QString>

namespace AppStore {

// Syntax checks for the names and versions the daemon hands to package tools.
//
// These values come from D-Bus callers and from store replies and end up as
// argv entries of tools that run as root. An argument list keeps a shell out
// of the way but not the tool's own option parser: a value starting with "-"
// would be read as an option ("-oAPT::..."). Anything outside the package
// system's own syntax is refused before it gets that far.
class PackageNameValidator
{
public:
    // A Debian package name: lower-case letters, digits, "+", "-", ".", at
    // least two characters, starting with a letter or digit.
    static bool isValidPackageName(const QString &name);
    // A package name, optionally followed by ":" and an architecture
    // ("libc6:amd64").
    static bool isValidArchQualifiedName(const QString &name);
    // A Debian version: [epoch:]upstream[-revision].
    static bool isValidVersion(const QString &version);
    // A reverse-DNS application id ("com.example.App").
    static bool isValidKaplaId(const QString &id);
};

} // namespace AppStore
