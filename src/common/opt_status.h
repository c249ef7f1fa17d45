#pragma once

// The kinds of system notification: the "opt" of a SystemNotifyInfo. The
// client tells its messages apart by these numbers.
enum E_OptStatus : int {
    OptInstallSucceeded = 1, // a first install
    OptInstallFailed = 2,
    OptUpgradeSucceeded = 3, // an upgrade or a reinstall
    OptUpgradeFailed = 4,
    OptRemoveSucceeded = 5,
    OptRemoveFailed = 6,
};
