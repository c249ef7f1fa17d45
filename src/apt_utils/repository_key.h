#pragma once

namespace AppStore {

// The store repository's signing key.
class RepositoryKey
{
public:
    RepositoryKey() = delete;
};

} // namespace AppStore
