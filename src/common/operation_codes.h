#pragma once

#include <QMetaType>
#include <QString>

// The codes the engine writes into the history table, the statistics records
// and the install messages. The client and the statistics receiver know them
// by these numbers: never renumber one.

// Values of the history table's operation column.
inline const QString OPERATION_INSTALL = QStringLiteral("1");
inline const QString OPERATION_PURGE = QStringLiteral("2");
inline const QString OPERATION_PAUSE = QStringLiteral("3");
inline const QString OPERATION_DOWNLOAD_ERROR = QStringLiteral("4");
inline const QString OPERATION_INSTALL_ERROR = QStringLiteral("5");
inline const QString OPERATION_INSTALLING = QStringLiteral("6");
// An install that was still "6" when the daemon started again: the start-up
// reconciliation turns the rows it cannot settle as installed into this.
inline const QString OPERATION_INTERRUPTED = QStringLiteral("7");

// Types of the statistics records (DownloadStateBiData::type).
inline const QString STATISTICS_INSTALL_REQUEST = QStringLiteral("41");
inline const QString STATISTICS_DOWNLOAD_END = QStringLiteral("42");
inline const QString STATISTICS_INSTALL_END = QStringLiteral("43");
// A pause, and an install found interrupted at start-up.
inline const QString STATISTICS_PAUSE = QStringLiteral("44");
// An install found interrupted at start-up whose row already said success.
inline const QString STATISTICS_INTERRUPTED_AFTER_SUCCESS = QStringLiteral("49");

// The code of a statistics record whose event succeeded; a failed one carries
// its DownloadStatusCode as decimal text.
inline const QString STATISTICS_CODE_SUCCESS = QStringLiteral("200");

namespace AppStore {

// Result codes of downloads and installs. Install tasks hand them over with
// their finish signal; the download task puts them into NotifyStatus::code.
// Only the number matters to the receivers: it becomes the history result,
// the statistics code and the code of the final install or download message.
enum DownloadStatusCode : int {
    NoStatusCode = 0,            // success, and every failure without a code of its own
    Succeeded = 200,             // a download that succeeded
    InstallFailed = 500,         // a failure of no known kind
    DependenciesBroken = 502,    // unmet dependencies or held broken packages
    NetworkFailed = 503,         // a fetch failure of no more specific kind
    PackageUnavailable = 504,    // the package or the version is not available
    DiskFull = 505,              // not enough free space
    SignatureRefused = 506,      // the signature-verification install hook refused the package
    InstallControlRefused = 507, // the install-control check refused the package
    InstallRequested = 510,      // statistics only: an install request was taken in
    ConnectFailed = 511,         // cannot connect, or the network is unreachable
    NameNotResolved = 512,       // temporary failure resolving a host name
    FetchUnauthorized = 513,     // "401  Unauthorized"
    FetchNotFound = 514,         // "404  Not Found"
    HashMismatch = 515,          // "Hash Sum mismatch"
};

} // namespace AppStore

Q_DECLARE_METATYPE(AppStore::DownloadStatusCode)
