#include "kapla_cli.h"

#include "common/daemon_log.h"
#include "common/json_value_reader.h"
#include "utils/package_name_validator.h"

#include <QJsonDocument>

namespace AppStore {

namespace {

const QString kProgram = QStringLiteral("kapla-cli");
constexpr int kProbeTimeoutMs = 30000;
constexpr int kListingTimeoutMs = 120000;

ProcessResult runKapla(const QStringList &arguments, int timeoutMs)
{
    ProcessSpec spec;
    spec.program = kProgram;
    spec.arguments = QStringList{QStringLiteral("--json")} + arguments;
    spec.timeoutMs = timeoutMs;
    return ProcessRunner::run(spec);
}

} // namespace

ProcessResult KaplaCli::query(const QString &verb, const QString &id)
{
    if (!PackageNameValidator::isValidKaplaId(id)) {
        qCWarning(daemonLogCategory) << "refusing to ask kapla-cli about" << id;
        ProcessResult refused;
        refused.errorString = QStringLiteral("not an application id");
        return refused;
    }
    return runKapla({verb, id}, kProbeTimeoutMs);
}

ProcessResult KaplaCli::list()
{
    return runKapla({QStringLiteral("list")}, kListingTimeoutMs);
}

bool KaplaCli::objectOf(const ProcessResult &result, QJsonObject &object, QJsonParseError *error)
{
    if (!result.succeeded())
        return false;
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(result.standardOutput, &parseError);
    if (error)
        *error = parseError;
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return false;
    object = document.object();
    return true;
}

qint64 KaplaCli::sizeInKiB(const QJsonValue &size)
{
    return JsonValueReader::toInt64(size) / 1024;
}

} // namespace AppStore
