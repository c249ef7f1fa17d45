#include "apt_utils/aptcache.h"
#include "system_file_guard.h"
#include "test_env.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

AppStore::ProcessResult gpg(const QString &home, const QStringList &arguments)
{
    return TestEnv::runTool(
        QStringLiteral("gpg"),
        QStringList{QStringLiteral("--batch"), QStringLiteral("--homedir"), home} + arguments);
}

// The key generation starts an agent for the private home; it must not
// outlive the test.
struct AgentStopper
{
    QString home;
    ~AgentStopper()
    {
        TestEnv::runTool(QStringLiteral("gpgconf"),
                         {QStringLiteral("--kill"), QStringLiteral("gpg-agent")},
                         {QStringLiteral("GNUPGHOME=") + home});
    }
};

} // namespace

class TestRepositoryKey : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The shipped key cannot be made here: a key of our own goes the same way.
    void addsAndRecognisesAKey()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("apt-key")).isEmpty())
            QSKIP("this apt has no apt-key");
        QTemporaryDir gnupgHome;
        const AgentStopper agent{gnupgHome.path()};
        QVERIFY(gpg(gnupgHome.path(),
                    {QStringLiteral("--passphrase"), QString(), QStringLiteral("--pinentry-mode"),
                     QStringLiteral("loopback"), QStringLiteral("--quick-gen-key"),
                     QStringLiteral("Tarnwick Test Key <tests@localhost>"),
                     QStringLiteral("ed25519"), QStringLiteral("sign"), QStringLiteral("never")})
                    .succeeded());
        QString fingerprint;
        const QStringList listing =
            gpg(gnupgHome.path(), {QStringLiteral("--with-colons"), QStringLiteral("--list-keys")})
                .outputText()
                .split(u'\n');
        for (const QString &line : listing) {
            if (line.startsWith(QLatin1String("fpr:"))) {
                fingerprint = line.section(u':', 9, 9);
                break;
            }
        }
        QCOMPARE(fingerprint.size(), 40);
        const QString keyRing = gnupgHome.filePath(QStringLiteral("test.gpg"));
        QVERIFY(gpg(gnupgHome.path(),
                    {QStringLiteral("--output"), keyRing, QStringLiteral("--export"), fingerprint})
                    .succeeded());

        SystemFileGuard trusted({QStringLiteral("/etc/apt/trusted.gpg"),
                                 QStringLiteral("/etc/apt/trusted.gpg~"),
                                 QStringLiteral("/etc/apt/trusted.gpg.d")});
        QVERIFY2(trusted.isValid(), qPrintable(trusted.errorString()));
        QVERIFY(!AptCache::isStoreKeyInstalled(fingerprint));
        QVERIFY(!AptCache::addStoreKey(false, gnupgHome.filePath(QStringLiteral("absent.gpg"))));
        QVERIFY(AptCache::ensureStoreKey(fingerprint, keyRing));
        QVERIFY(AptCache::isStoreKeyInstalled(fingerprint));
        // Compared as apt-key prints it: upper case.
        QVERIFY(!AptCache::isStoreKeyInstalled(fingerprint.toLower()));
        QVERIFY(AptCache::ensureStoreKey(fingerprint, keyRing));

        QVERIFY2(trusted.restore(), qPrintable(trusted.errorString()));
        QVERIFY(!AptCache::isStoreKeyInstalled(fingerprint));
    }
};

QTEST_GUILESS_MAIN(TestRepositoryKey)
#include "tst_repository_key.moc"
