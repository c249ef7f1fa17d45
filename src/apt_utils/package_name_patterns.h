#pragma once

namespace AppStore {

// Package-name patterns and small package-system operations.
class PackageNamePatterns
{
public:
    PackageNamePatterns() = delete;
};

} // namespace AppStore
