#include "utils/process_runner.h"
#include "utils/version_compare.h"

#include <QTest>

using AppStore::ProcessResult;
using AppStore::ProcessRunner;
using AppStore::ProcessSpec;
using AppStore::VersionCompare;

class TestVersionCompare : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void agreesWithDpkg();
    void casesOutsideDpkg_data();
    void casesOutsideDpkg();
};

namespace {

int sign(int value)
{
    return (value > 0) - (value < 0);
}

// dpkg's own verdict; 2 when dpkg rejects one of the versions.
int dpkgRelation(const QString &a, const char *relation, const QString &b)
{
    ProcessSpec spec;
    spec.program = QStringLiteral("dpkg");
    spec.arguments = {QStringLiteral("--compare-versions"), a, QLatin1String(relation), b};
    spec.timeoutMs = 10000;
    const ProcessResult result = ProcessRunner::run(spec);
    return result.started && !result.timedOut && !result.crashed ? result.exitCode : 2;
}

int dpkgSign(const QString &a, const QString &b)
{
    const int lt = dpkgRelation(a, "lt", b);
    if (lt != 1)
        return lt == 0 ? -1 : 2;
    const int eq = dpkgRelation(a, "eq", b);
    return eq == 0 ? 0 : eq == 1 ? 1 : 2;
}

} // namespace

void TestVersionCompare::agreesWithDpkg()
{
    // Epochs, tildes, revisions, letters against other characters, leading
    // zeros, zero parts, a hyphen inside the upstream version, a non-ASCII
    // character (dpkg only warns about the last three kinds).
    const QStringList versions = {
        QStringLiteral("0"),
        QStringLiteral("0.0"),
        QStringLiteral("00"),
        QStringLiteral("1"),
        QStringLiteral("1.0"),
        QStringLiteral("1.00"),
        QStringLiteral("1.01"),
        QStringLiteral("1.1"),
        QStringLiteral("1.9"),
        QStringLiteral("1.10"),
        QStringLiteral("1.0-0"),
        QStringLiteral("1.0-1"),
        QStringLiteral("1.0-01"),
        QStringLiteral("1.0-1.1"),
        QStringLiteral("1.0-1+b1"),
        QStringLiteral("1.0-a"),
        QStringLiteral("1.0~rc1"),
        QStringLiteral("1.0~~a"),
        QStringLiteral("1.0~"),
        QStringLiteral("1.0a"),
        QStringLiteral("1.0A"),
        QStringLiteral("1.0z"),
        QStringLiteral("1.0+"),
        QStringLiteral("1.0.1"),
        QStringLiteral("1.0+dfsg-1~bpo1"),
        QStringLiteral("2.0-1-2"),
        QStringLiteral("0:1.0"),
        QStringLiteral("00:1.0"),
        QStringLiteral("1:0.1"),
        QStringLiteral("10:0"),
        QStringLiteral("9.9"),
        QStringLiteral("~1"),
        QStringLiteral("a"),
        QStringLiteral("1.\u00e4"),
    };
    int pairs = 0;
    for (qsizetype i = 0; i < versions.size(); ++i) {
        for (qsizetype j = i + 1; j < versions.size(); ++j) {
            const QString &a = versions.at(i);
            const QString &b = versions.at(j);
            const int expected = dpkgSign(a, b);
            QVERIFY2(expected != 2, qPrintable(QStringLiteral("dpkg rejected %1 or %2").arg(a, b)));
            const int ours = sign(VersionCompare::compareVersion(a, b));
            QVERIFY2(ours == expected, qPrintable(QStringLiteral("%1 vs %2: got %3, dpkg says %4")
                                                      .arg(a, b)
                                                      .arg(ours)
                                                      .arg(expected)));
            QCOMPARE(sign(VersionCompare::compareVersion(b, a)), -expected);
            ++pairs;
        }
    }
    QVERIFY(pairs >= 200);
}

void TestVersionCompare::casesOutsideDpkg_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("expected");
    // dpkg rejects or special-cases these; the ordering still has to be total
    // and stable for the store's own version texts.
    QTest::newRow("empty equals empty") << QString() << QString() << 0;
    QTest::newRow("empty before 0.1") << QString() << QStringLiteral("0.1") << -1;
    QTest::newRow("empty after ~1") << QString() << QStringLiteral("~1") << 1;
    QTest::newRow("empty revision before none")
        << QStringLiteral("1.0-") << QStringLiteral("1.0") << -1;
    QTest::newRow("empty revision before -0")
        << QStringLiteral("1.0-") << QStringLiteral("1.0-0") << -1;
    QTest::newRow("empty epoch equals none")
        << QStringLiteral(":1.0") << QStringLiteral("1.0") << 0;
    QTest::newRow("NUL ends the version")
        << QStringLiteral("1.0\u0000zzz") << QStringLiteral("1.0") << 0;
    QTest::newRow("non-ASCII before punctuation")
        << QStringLiteral("1.\u00e4") << QStringLiteral("1.+") << -1;
    QTest::newRow("at least 1.5") << QStringLiteral("1.5") << QStringLiteral("1.5") << 0;
}

void TestVersionCompare::casesOutsideDpkg()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, expected);
    QCOMPARE(sign(VersionCompare::compareVersion(a, b)), expected);
    QCOMPARE(sign(VersionCompare::compareVersion(b, a)), -expected);
}

QTEST_GUILESS_MAIN(TestVersionCompare)
#include "tst_version_compare.moc"
