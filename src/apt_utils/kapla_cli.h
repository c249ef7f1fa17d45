#pragma once

#include "utils/process_runner.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

namespace AppStore {

// Runs the kapla command-line tool with JSON output. The application id
// travels as an argument of its own after a syntax check; a refused id is
// answered as if the tool did not know it, without running anything.
class KaplaCli
{
public:
    KaplaCli() = delete;

    // "kapla-cli --json <verb> <id>" for one application (verb "info" or
    // "content").
    static ProcessResult query(const QString &verb, const QString &id);
    // "kapla-cli --json list".
    static ProcessResult list();

    // The standard output of a successful run as a JSON object. False for a
    // failed run and for output that is not an object, so that a tool which
    // exits 0 with nothing useful never overrides another source.
    static bool objectOf(const ProcessResult &result, QJsonObject &object,
                         QJsonParseError *error = nullptr);
    // kapla reports sizes in bytes, as a number or a numeric text; the
    // daemon keeps KiB.
    static qint64 sizeInKiB(const QJsonValue &size);
};

} // namespace AppStore
