#pragma once

// The machine-wide lock that keeps every program changing the dpkg database
// or the daemon's system files (the tests marked SYSTEM_PACKAGES, the
// benchmarks) apart from each other.
namespace SystemTestsLock {

// Blocks until this process holds the lock; it is held until the process
// ends. false when the lock file cannot be opened or locked.
bool acquire();

} // namespace SystemTestsLock
