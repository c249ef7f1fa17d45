#include "task/apt_error_classifier.h"
#include "test_env.h"

#include <QTest>

// The failure codes of a download, read from what apt-get really printed.
// The texts in apt_error_texts/ are apt-get's standard error without its
// progress lines, captured from download-only runs (apt 2.6, dpkg 1.21)
// against a loopback repository: servers answering 401, 403 and 404, a
// stopped server, a changed archive, a small tmpfs as the archive folder,
// private dpkg status files, and private network namespaces whose resolver
// on 127.0.0.1 fails or answers that no name exists. Two are written by hand:
// "unable-to-connect" (an older wording) and "no-source-to-download".
class TestAptErrorClassifier : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void classifies_data();
    void classifies();
};

void TestAptErrorClassifier::classifies_data()
{
    QTest::addColumn<QStringList>("texts"); // one per apt-get run, oldest first
    QTest::addColumn<int>("code");

    const auto row = [](const char *name, const QStringList &texts, int code) {
        QTest::newRow(name) << texts << code;
    };
    row("refused", {"connection-refused"}, 511);
    row("older refused wording", {"unable-to-connect"}, 511);
    row("unreachable", {"network-unreachable"}, 511);
    row("resolver down", {"temporary-failure-resolving"}, 512);
    row("unauthorized", {"unauthorized"}, 513);
    row("not found", {"not-found"}, 514);
    row("hash sum", {"hash-sum-mismatch"}, 515);
    row("forbidden", {"forbidden"}, 503);
    row("file missing", {"file-not-found"}, 503);
    row("no such name", {"name-does-not-resolve"}, 503);
    row("unmet", {"unmet-dependencies"}, 502);
    row("held broken", {"held-broken-packages"}, 502);
    row("no candidate", {"no-installation-candidate"}, 504);
    row("version", {"version-not-found"}, 504);
    row("unknown package", {"unable-to-locate"}, 504);
    row("glob", {"no-package-by-glob"}, 504);
    row("no source", {"no-source-to-download"}, 504);
    row("space", {"not-enough-space"}, 505);
    row("dpkg failed", {"dpkg-error-code"}, 500);
    row("needs reinstall", {"needs-reinstall"}, 500);
    row("archives folder", {"archives-missing"}, 500);
    row("nothing", {}, 500);

    // A retry adds its run's lines; the rule order, not the run order, decides.
    row("connect before resolve", {"temporary-failure-resolving", "connection-refused"}, 511);
    row("unreachable before 401", {"unauthorized", "network-unreachable"}, 511);
    row("resolve before 404", {"not-found", "temporary-failure-resolving"}, 512);
    row("401 before 404", {"not-found", "unauthorized"}, 513);
    row("404 before hash", {"hash-sum-mismatch", "not-found"}, 514);
    row("hash before plain fetch", {"forbidden", "hash-sum-mismatch"}, 515);
    row("fetch before unmet", {"unmet-dependencies", "forbidden"}, 503);
    row("held broken before unknown", {"unable-to-locate", "held-broken-packages"}, 502);
    row("missing before space", {"not-enough-space", "version-not-found"}, 504);
    row("known before unknown", {"dpkg-error-code", "no-installation-candidate"}, 504);
}

void TestAptErrorClassifier::classifies()
{
    QFETCH(QStringList, texts);
    QFETCH(int, code);

    QString errorText;
    for (const QString &name : std::as_const(texts)) {
        const QByteArray text = TestEnv::readFile(TestEnv::sourceDir() +
                                                  QStringLiteral("/tests/task/apt_error_texts/") +
                                                  name + QStringLiteral(".txt"));
        QVERIFY2(!text.isEmpty(), qPrintable(name));
        errorText += QString::fromUtf8(text);
    }
    QCOMPARE(AppStore::classifyAptError(errorText), code);
}

QTEST_GUILESS_MAIN(TestAptErrorClassifier)
#include "tst_apt_error_classifier.moc"
