#pragma once

#include <QMetaType>

namespace AppStore {

// Result code that install tasks hand over with their finish signal. Only the
// number matters to the receivers: it becomes the history result, the
// statistics code and the code of the final install message.
enum DownloadStatusCode : int {
    NoStatusCode = 0, // success, and every failure without a code of its own
    InstallFailed = 500,
    NetworkFailed = 503,
    SignatureRefused = 506,     // the signature-verification install hook refused the package
    InstallControlRefused = 507 // the install-control check refused the package
};

} // namespace AppStore

Q_DECLARE_METATYPE(AppStore::DownloadStatusCode)
