#include "task/apt_error_classifier.h"

#include "common/operation_codes.h"

#include <QList>

namespace AppStore {

namespace {

struct ErrorRule
{
    QString first;
    QString second; // empty: the first text alone decides
    int code;
};

} // namespace

int classifyAptError(const QString &errorText)
{
    const QString fetch = QStringLiteral("E: Failed to fetch");
    static const QList<ErrorRule> rules = {
        {fetch, QStringLiteral("Unable to connect"), ConnectFailed},
        // The wording of current apt for a refused or timed-out connection.
        {fetch, QStringLiteral("Could not connect"), ConnectFailed},
        {fetch, QStringLiteral("Network is unreachable"), ConnectFailed},
        {fetch, QStringLiteral("Temporary failure resolving"), NameNotResolved},
        {fetch, QStringLiteral("401  Unauthorized"), FetchUnauthorized},
        {fetch, QStringLiteral("404  Not Found"), FetchNotFound},
        {fetch, QStringLiteral("Hash Sum mismatch"), HashMismatch},
        {fetch, QString(), NetworkFailed},
        {QStringLiteral("E: Unmet dependencies"), QString(), DependenciesBroken},
        {QStringLiteral("E: Unable to correct problems, you have held broken packages"), QString(),
         DependenciesBroken},
        {QStringLiteral("E: Package"), QStringLiteral("has no installation candidate"),
         PackageUnavailable},
        {QStringLiteral("E: Version"), QStringLiteral("was not found"), PackageUnavailable},
        {QStringLiteral("E: Unable to locate package"), QString(), PackageUnavailable},
        {QStringLiteral("E: Couldn't find any package"), QString(), PackageUnavailable},
        {QStringLiteral("E: Can't find a source to download"), QString(), PackageUnavailable},
        {QStringLiteral("E: You don't have enough free space in"), QString(), DiskFull},
    };
    for (const ErrorRule &rule : rules) {
        if (errorText.contains(rule.first) &&
            (rule.second.isEmpty() || errorText.contains(rule.second)))
            return rule.code;
    }
    return InstallFailed;
}

} // namespace AppStore
