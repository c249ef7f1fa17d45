#pragma once

#include "common/package_info.h"

#include <QString>

namespace AppStore {

// What dpkg and kapla tell about one installed package.
//
// mode says which package system to believe: 1 a Debian package, 2 a kapla
// application, anything else either, the kapla answer winning. The kapla
// tool is asked first in every mode.
class PackageDetails
{
public:
    PackageDetails() = delete;

    // Fills name, version, architecture, installed size (KiB) and channel.
    static bool getLocalPackageInfo(const QString &name, Package_Info &info, int mode);
    // "name version size[desktop files]" for the package.
    static bool getLocalPackageInfo(const QString &name, QString &out, int mode);
    // What the line form above answers, without reading the package's files.
    static bool isInstalledPackage(const QString &name, int mode);

    enum class Presence { Absent, Present, Unknown };
    // For decisions that must not rest on a guess. Absent when dpkg does not
    // know the package or keeps only its configuration files, in each of its
    // architectures; Present when kapla has it or dpkg holds an instance of
    // it in any other state, half-installed, unpacked, half-configured and
    // awaiting triggers included; Unknown when dpkg-query could not answer or
    // the name is refused.
    static Presence presence(const QString &name, int mode);
};

} // namespace AppStore
