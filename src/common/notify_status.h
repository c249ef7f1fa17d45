#pragma once

#include <QString>

namespace AppStore {

// Outcome of a package command or download: code 0 for success, else a
// failure code; output and error as the command gave them.
struct NotifyStatus
{
    int code = 0;
    QString output;
    QString error;
};

} // namespace AppStore

QString notifyStatusToJsonString(const AppStore::NotifyStatus &status);
