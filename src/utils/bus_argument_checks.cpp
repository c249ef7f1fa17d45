#include "bus_argument_checks.h"

#include "caller_log_budget.h"
#include "common/daemon_log.h"

#include <QRegularExpression>
#include <QUrl>

namespace AppStore {

namespace {

constexpr int kMaxPackageInfoBytes = 1024 * 1024;
constexpr int kMaxLoggedLength = 256;
// How many of a list's refused elements a warning shows.
constexpr int kLeftOutShown = 3;
// A refusal shows this many of its arguments at most (each element of a
// list passed along counts as one).
constexpr int kMaxLoggedArguments = 8;

// Line and paragraph separators count too: a reader that splits lines on
// them would see two entries where the check saw one.
bool hasControlCharacter(const QString &text)
{
    for (const QChar c : text) {
        const QChar::Category category = c.category();
        if (category == QChar::Other_Control || category == QChar::Separator_Line ||
            category == QChar::Separator_Paragraph)
            return true;
    }
    return false;
}

bool hasDotDotSegment(const QString &path)
{
    static const QRegularExpression separators(QStringLiteral("[/?&=;]"));
    return path.split(separators).contains(QStringLiteral(".."));
}

} // namespace

bool BusArgumentChecks::isPlainText(const QString &text, int maxLength)
{
    return text.size() <= maxLength && !hasControlCharacter(text);
}

bool BusArgumentChecks::isPromptAnswer(const QString &input)
{
    // The answer is written with a newline of its own: one sent along would
    // answer the next question as well.
    return isPlainText(input, 1024);
}

bool BusArgumentChecks::isDownloadUrl(const QString &url)
{
    if (!isPlainText(url, 8192) || url.contains(QLatin1Char(' ')))
        return false;
    const QUrl parsed(url, QUrl::StrictMode);
    const QString scheme = parsed.scheme();
    return parsed.isValid() &&
           (scheme == QLatin1String("https") || scheme == QLatin1String("http")) &&
           !parsed.host().isEmpty();
}

bool BusArgumentChecks::isSha256(const QString &hex)
{
    static const QRegularExpression pattern(QStringLiteral("\\A[0-9A-Fa-f]{64}\\z"));
    return pattern.match(hex).hasMatch();
}

bool BusArgumentChecks::isStoreUri(const QString &uri)
{
    if (!isPlainText(uri, 2048))
        return false;
    for (const QChar c : uri) {
        if (c.isSpace() || c == QLatin1Char('#') || c == QLatin1Char('\\'))
            return false;
    }
    // The encoded form is decoded on its way into the request URL.
    const QString decoded = QUrl::fromPercentEncoding(uri.toUtf8());
    return !hasDotDotSegment(uri) && !hasDotDotSegment(decoded) &&
           !decoded.contains(QLatin1Char('\\')) && !decoded.contains(QLatin1Char('#')) &&
           isPlainText(decoded, 2048);
}

bool BusArgumentChecks::isLoginName(const QString &name)
{
    // What the user tools accept in relaxed mode: no leading "-" (an option
    // to the tools given the name), no "/" (a path), not only digits (a uid).
    static const QRegularExpression pattern(
        QStringLiteral("\\A[A-Za-z0-9_][A-Za-z0-9_.-]{0,31}\\$?\\z"));
    static const QRegularExpression digits(QStringLiteral("\\A[0-9]+\\z"));
    return pattern.match(name).hasMatch() && !digits.match(name).hasMatch();
}

bool BusArgumentChecks::isPackageInfoSize(const QString &json)
{
    return json.toUtf8().size() <= kMaxPackageInfoBytes;
}

QString BusArgumentChecks::loggable(const QString &text)
{
    if (text.size() <= kMaxLoggedLength)
        return text;
    return text.left(kMaxLoggedLength) + QStringLiteral("... (%1 characters)").arg(text.size());
}

void BusArgumentChecks::logRefused(const char *method, const QStringList &arguments,
                                   const QString &sender)
{
    if (!CallerLogBudget::admit(sender))
        return;
    QStringList shown;
    for (const QString &argument : arguments.mid(0, kMaxLoggedArguments))
        shown.append(loggable(argument));
    if (arguments.size() > kMaxLoggedArguments)
        shown.append(QStringLiteral("... (%1 in all)").arg(arguments.size()));
    qCWarning(daemonLogCategory) << method << "Params Invalid" << shown;
}

void BusArgumentChecks::logLeftOut(const char *what, const QStringList &leftOut,
                                   const QString &sender)
{
    if (leftOut.isEmpty() || !CallerLogBudget::admit(sender))
        return;
    QStringList shown;
    for (const QString &text : leftOut.mid(0, kLeftOutShown))
        shown.append(loggable(text));
    qCWarning(daemonLogCategory) << what << leftOut.size() << "left out, the first:" << shown;
}

} // namespace AppStore
