#include "utils/bus_argument_checks.h"

#include <QTest>

#include <functional>

using AppStore::BusArgumentChecks;

// What a bus caller's text must look like before it gets near a tool, a path,
// a URL or a statement.
class TestBusArgumentChecks : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void checks_data();
    void checks();
};

namespace {

using Check = std::function<bool(const QString &)>;

const QMap<QString, Check> &checksByName()
{
    static const QMap<QString, Check> checks{
        {QStringLiteral("text"),
         [](const QString &t) { return BusArgumentChecks::isPlainText(t); }},
        {QStringLiteral("input"), &BusArgumentChecks::isPromptAnswer},
        {QStringLiteral("url"), &BusArgumentChecks::isDownloadUrl},
        {QStringLiteral("sha256"), &BusArgumentChecks::isSha256},
        {QStringLiteral("uri"), &BusArgumentChecks::isStoreUri},
        {QStringLiteral("login"), &BusArgumentChecks::isLoginName},
        {QStringLiteral("packageInfo"), &BusArgumentChecks::isPackageInfoSize},
    };
    return checks;
}

void row(const char *check, const QString &value, bool accepted)
{
    QString shown = value.left(40);
    shown.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    QTest::addRow("%s %s %s", check, accepted ? "ok" : "bad", qPrintable(shown))
        << QString::fromLatin1(check) << value << accepted;
}

} // namespace

void TestBusArgumentChecks::checks_data()
{
    QTest::addColumn<QString>("check");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("accepted");

    // Data texts are stored verbatim, hostile-looking or not; only what would
    // split a line or a record, or has no bound, is refused.
    row("text", QStringLiteral("x' OR '1'='1 $(id) ../../etc/passwd"), true);
    row("text", QString(4096, QLatin1Char('a')), true);
    row("text", QString(4097, QLatin1Char('a')), false);
    row("text", QStringLiteral("two\nlines"), false);
    row("text", QStringLiteral("nul\u0000byte"), false);
    row("text", QStringLiteral("esc\u001b[2J"), false);
    row("text", QStringLiteral("line\u2028separator"), false);
    row("text", QStringLiteral("paragraph\u2029separator"), false);
    row("input", QStringLiteral("Y"), true);
    row("input", QStringLiteral("Y\n"), false);
    row("input", QStringLiteral("Y\nY"), false);
    row("input", QString(1025, QLatin1Char('y')), false);

    row("url", QStringLiteral("https://store.example/pool/a_1.0_all.deb"), true);
    row("url", QStringLiteral("http://127.0.0.1:8080/a.deb"), true);
    row("url", QStringLiteral("file:///etc/shadow"), false);
    row("url", QStringLiteral("ftp://host/a.deb"), false);
    row("url", QStringLiteral("https:///a.deb"), false);
    row("url", QStringLiteral("https://host/a b.deb"), false);
    row("url", QStringLiteral("-ohttps://host/a.deb"), false);

    row("sha256", QString(64, QLatin1Char('a')), true);
    row("sha256",
        QStringLiteral("0123456789ABCDEFabcdef0123456789abcdef0123456789abcdef0123456789"), true);
    row("sha256", QString(63, QLatin1Char('a')), false);
    row("sha256", QString(64, QLatin1Char('g')), false);
    row("sha256", QString(64, QLatin1Char('a')) + QLatin1Char('\n'), false);

    row("uri", QStringLiteral("/store-dist-app/getTabInfo?tab=games&page=1"), true);
    row("uri", QStringLiteral("/a..b/c"), true);
    row("uri", QStringLiteral("/a/../../admin"), false);
    row("uri", QStringLiteral("/a/%2e%2e/admin"), false);
    row("uri", QStringLiteral("/a?x=.."), false);
    row("uri", QStringLiteral("/a b"), false);
    row("uri", QStringLiteral("/a#frag"), false);
    row("uri", QStringLiteral("/a%23frag"), false);
    row("uri", QStringLiteral("/a\\b"), false);
    row("uri", QStringLiteral("/a%0d%0aHost: evil"), false);

    row("login", QStringLiteral("alice"), true);
    row("login", QStringLiteral("john.doe"), true);
    row("login", QStringLiteral("host$"), true);
    row("login", QStringLiteral("-oProxy"), false);
    row("login", QStringLiteral("../root"), false);
    row("login", QStringLiteral("a/b"), false);
    row("login", QStringLiteral("1000"), false);
    row("login", QStringLiteral("a;id"), false);
    row("login", QString(), false);
    row("login", QString(34, QLatin1Char('a')), false);

    row("packageInfo", QString(1024 * 1024, QLatin1Char('{')), true);
    row("packageInfo", QString(1024 * 1024 + 1, QLatin1Char('{')), false);
    // Bytes are counted, not characters: two bytes each in UTF-8.
    row("packageInfo", QString(512 * 1024 + 1, QChar(0x00e9)), false);
}

void TestBusArgumentChecks::checks()
{
    QFETCH(QString, check);
    QFETCH(QString, value);
    QFETCH(bool, accepted);
    QCOMPARE(checksByName().value(check)(value), accepted);
}

QTEST_GUILESS_MAIN(TestBusArgumentChecks)
#include "tst_bus_argument_checks.moc"
