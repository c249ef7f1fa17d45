#pragma once

#include <QString>
#include <QStringList>

namespace AppStore {

// Checks of the texts bus callers send, made before any of them reaches a
// tool, a path, a URL or an SQL statement. Package names and versions go
// through PackageNameValidator; these cover the other texts.
class BusArgumentChecks
{
public:
    // Bounded, and free of control characters and line or paragraph
    // separators.
    static bool isPlainText(const QString &text, int maxLength = 4096);
    // One line for a prompt answer, without its newline, bounded.
    static bool isPromptAnswer(const QString &input);
    // An http or https URL with a host.
    static bool isDownloadUrl(const QString &url);
    // 64 hexadecimal digits.
    static bool isSha256(const QString &hex);
    // A path below the store's API: no blanks, "#", "\" or ".." segments,
    // percent-encoded or not.
    static bool isStoreUri(const QString &uri);
    // A login name as the system's user tools accept it.
    static bool isLoginName(const QString &name);
    // A package description sent as JSON: at most 1 MiB.
    static bool isPackageInfoSize(const QString &json);
    // The text as a log line may show it: its head, and its length when it
    // is longer. Any bus user could otherwise fill the log disk with a few
    // calls carrying megabytes of text.
    static QString loggable(const QString &text);
    // Logs "Params Invalid" with the arguments quoted (each bounded as
    // loggable() does, the first few of a long list only), for the refusal
    // of the given method. A refusal of a bus caller names its sender and is
    // logged within that sender's budget (CallerLogBudget).
    static void logRefused(const char *method, const QStringList &arguments,
                           const QString &sender = QString());
    // One warning for the elements of a caller's list that were left out:
    // after what, how many and the first few (each bounded as loggable()
    // does). Nothing when none was. The sender as for logRefused().
    static void logLeftOut(const char *what, const QStringList &leftOut,
                           const QString &sender = QString());
};

} // namespace AppStore
