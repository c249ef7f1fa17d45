#pragma once

#include <QString>

namespace AppStore {

// The failure code a client is told for a download that failed for good,
// read from errorText: the error lines of every apt-get run of the task,
// oldest first. The first rule that matches decides (fetch failures, then
// dependency problems, then a missing package or version, then free space);
// 500 when none does.
int classifyAptError(const QString &errorText);

} // namespace AppStore
