#pragma once

namespace AppStore {

// The files of installed packages, for the file-to-package index.
class PackageFileLists
{
public:
    PackageFileLists() = delete;
};

} // namespace AppStore
