#pragma once

#include <QLoggingCategory>

// The daemon's one logging category; every log line of the daemon goes
// through it: qCDebug(daemonLogCategory) << ...
const QLoggingCategory &daemonLogCategory();
