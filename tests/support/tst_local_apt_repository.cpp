#include "local_apt_repository.h"
#include "test_env.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTest>

namespace {

QString packageStatus(const QString &package)
{
    return TestEnv::runTool(QStringLiteral("dpkg-query"),
                            {QStringLiteral("-W"), QStringLiteral("-f=${Status}"), package})
        .outputText();
}

QString candidateVersion(const LocalAptRepository &repository, const QString &package)
{
    // "Candidate:" is apt's English.
    const AppStore::ProcessResult policy =
        TestEnv::runTool(QStringLiteral("apt-cache"), {QStringLiteral("policy"), package},
                         repository.environment() + QStringList{QStringLiteral("LC_ALL=C")});
    const QString marker = QStringLiteral("Candidate: ");
    const QString text = policy.outputText();
    const qsizetype at = text.indexOf(marker);
    return at < 0 ? QString() : text.mid(at + marker.size()).section(u'\n', 0, 0);
}

} // namespace

class TestLocalAptRepository : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_repository.addStandardPackages(), qPrintable(m_repository.errorString()));
        QVERIFY2(m_repository.publish(), qPrintable(m_repository.errorString()));
        QVERIFY(m_repository.sourcesLine().startsWith(
            QLatin1String("deb [trusted=yes] http://127.0.0.1:")));
        verifyAptUpdate(m_repository);
    }

    void installsWithDependenciesAndPurges()
    {
        const AppStore::ProcessResult install =
            apt({QStringLiteral("install"), QStringLiteral("-y"), QStringLiteral("twk-test-plugin"),
                 QStringLiteral("twk-test-config")});
        QVERIFY2(install.succeeded(), qPrintable(install.errorText()));
        for (const char *package : {"twk-test-plugin", "twk-test-hello", "twk-test-config"})
            QCOMPARE(packageStatus(QLatin1String(package)), QStringLiteral("install ok installed"));
        QVERIFY(QFile::exists(QStringLiteral("/usr/share/applications/twk-test-hello.desktop")));
        const QString output = install.outputText() + install.errorText();
        QVERIFY2(output.contains(QLatin1String("greeting=hello-from-default")), qPrintable(output));

        const AppStore::ProcessResult purge =
            apt({QStringLiteral("purge"), QStringLiteral("-y"), QStringLiteral("twk-test-plugin"),
                 QStringLiteral("twk-test-hello"), QStringLiteral("twk-test-config")});
        QVERIFY2(purge.succeeded(), qPrintable(purge.errorText()));
        QCOMPARE(packageStatus(QStringLiteral("twk-test-hello")), QString());
    }

    void tidyScriptClearsABrokenInstall()
    {
        const AppStore::ProcessResult install = apt(
            {QStringLiteral("install"), QStringLiteral("-y"), QStringLiteral("twk-test-broken")});
        QCOMPARE(install.exitCode, 100);
        QCOMPARE(packageStatus(QStringLiteral("twk-test-broken")),
                 QStringLiteral("install ok half-configured"));

        const AppStore::ProcessResult tidy =
            TestEnv::runTool(TestEnv::supportDir() + QStringLiteral("/dpkg-tidy.sh"), {});
        QVERIFY2(tidy.succeeded(), qPrintable(tidy.errorText()));
        QCOMPARE(packageStatus(QStringLiteral("twk-test-broken")), QString());
    }

    void newerVersionIsOffered()
    {
        QVERIFY2(m_repository.addPackage(QStringLiteral("twk-test-hello"), QStringLiteral("1.1")),
                 qPrintable(m_repository.errorString()));
        verifyAptUpdate(m_repository);
        QCOMPARE(candidateVersion(m_repository, QStringLiteral("twk-test-hello")),
                 QStringLiteral("1.1"));
    }

    void fileRepositoryWorks()
    {
        LocalAptRepository repository;
        QVERIFY(repository.addPackage(QStringLiteral("twk-test-hello"), QStringLiteral("2.0")));
        QVERIFY2(repository.publish(LocalAptRepository::Transport::File),
                 qPrintable(repository.errorString()));
        verifyAptUpdate(repository);
        QCOMPARE(candidateVersion(repository, QStringLiteral("twk-test-hello")),
                 QStringLiteral("2.0"));
    }

    void throttledServerIsSlow()
    {
        LocalAptRepository repository;
        LocalAptRepository::PackageOptions options;
        options.fillerBytes = 40000;
        QVERIFY(
            repository.addPackage(QStringLiteral("twk-test-slow"), QStringLiteral("1.0"), options));
        QVERIFY2(repository.publish(LocalAptRepository::Transport::Http, 40000),
                 qPrintable(repository.errorString()));
        QElapsedTimer timer;
        timer.start();
        const AppStore::ProcessResult download = TestEnv::runTool(
            QStringLiteral("curl"),
            {QStringLiteral("-sf"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
             repository.uri() + QStringLiteral("twk-test-slow_1.0_all.deb")});
        QVERIFY2(download.succeeded(), qPrintable(download.errorText()));
        QVERIFY2(timer.elapsed() >= 800, qPrintable(QString::number(timer.elapsed())));
    }

private:
    AppStore::ProcessResult apt(const QStringList &arguments)
    {
        return TestEnv::runTool(QStringLiteral("apt-get"), arguments, m_repository.environment());
    }

    void verifyAptUpdate(const LocalAptRepository &repository)
    {
        const AppStore::ProcessResult update = TestEnv::runTool(
            QStringLiteral("apt-get"), {QStringLiteral("update"), QStringLiteral("--error-on=any")},
            repository.environment());
        QVERIFY2(update.succeeded(), qPrintable(update.outputText() + update.errorText()));
    }

    LocalAptRepository m_repository;
};

QTEST_GUILESS_MAIN(TestLocalAptRepository)
#include "tst_local_apt_repository.moc"
