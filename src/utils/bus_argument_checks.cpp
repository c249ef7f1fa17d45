#include "bus_argument_checks.h"

#include "common/daemon_log.h"

#include <QRegularExpression>
#include <QUrl>

namespace AppStore {

namespace {

constexpr int kMaxPackageInfoBytes = 1024 * 1024;

bool hasControlCharacter(const QString &text)
{
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control)
            return true;
    }
    return false;
}

} // namespace

bool BusArgumentChecks::isPlainText(const QString &text, int maxLength)
{
    return text.size() <= maxLength && !hasControlCharacter(text);
}

bool BusArgumentChecks::isPromptAnswer(const QString &input)
{
    QString line = input;
    if (line.endsWith(QLatin1Char('\n')))
        line.chop(1);
    return isPlainText(line, 1024);
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
    const QStringList segments = uri.split(QLatin1Char('/'));
    return !segments.contains(QStringLiteral(".."));
}

bool BusArgumentChecks::isLoginName(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("\\A[a-z_][a-z0-9_-]{0,30}\\$?\\z"));
    return pattern.match(name).hasMatch();
}

bool BusArgumentChecks::isPackageInfoSize(const QString &json)
{
    return json.toUtf8().size() <= kMaxPackageInfoBytes;
}

void BusArgumentChecks::logRefused(const char *method, const QStringList &arguments)
{
    qCWarning(daemonLogCategory) << method << "Params Invalid" << arguments;
}

} // namespace AppStore
