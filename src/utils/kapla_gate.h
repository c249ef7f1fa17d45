#pragma once

namespace AppStore {

// Whether the installed kapla runtime is recent enough, and kapla package facts.
class KaplaGate
{
public:
    KaplaGate() = delete;
};

} // namespace AppStore
