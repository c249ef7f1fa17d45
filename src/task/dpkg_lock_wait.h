#pragma once

namespace AppStore {

// Whether another package run holds dpkg, and a bounded wait for it to let
// go. The package tasks ask this before they start apt-get.
//
// dpkg's own locks are asked, never a process name: any user can start a
// program called "dpkg", and only the lock holder matters to a run.
class DpkgLockWait
{
public:
    // How long a start waits for another run before its task fails.
    static constexpr int kDefaultLimitMs = 30 * 60 * 1000;

    // true while another process holds dpkg's database lock or apt's
    // front-end lock.
    static bool isHeldByOther();
    // Waits until nobody else holds the locks, woken when a lock file is
    // closed after writing (a holder lets go at the latest when it ends, and
    // that closes it); false when they are still held after limitMs.
    static bool waitForRelease(int limitMs);
    // apt-get's own wait for the locks ("DPkg::Lock::Timeout") in whole
    // seconds, as long as a start waits: apt reads 0 as "do not wait", so a
    // bound of less than a second still waits one.
    static int aptLockTimeoutSeconds(int limitMs);
};

} // namespace AppStore
