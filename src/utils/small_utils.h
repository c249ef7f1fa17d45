#pragma once

namespace AppStore {

// Small helpers without a better home.
class SmallUtils
{
public:
    SmallUtils() = delete;
};

} // namespace AppStore
