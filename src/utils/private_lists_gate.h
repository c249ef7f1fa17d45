#pragma once

#include <functional>

namespace AppStore {

// The systemd step of the start-up waits on systemctl and may then clear the
// private apt lists. It runs beside the event loop, so that bus calls are
// answered meanwhile; every apt run on the private configuration asks for
// its path, and that waits here until the step is over.
class PrivateListsGate
{
public:
    // Closes the gate, runs step on a pool thread and opens the gate after
    // it. The step must bound its own waits; it passes the gate itself.
    static void runAside(std::function<void()> step);

    // Returns at once while no step runs.
    static void waitUntilOpen();
};

} // namespace AppStore
