#include "apt_utils/aptcache.h"
#include "local_apt_repository.h"
#include "test_env.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/types.h>

using AppStore::ProcessResult;
using AppStore::ProcessRunner;
using AppStore::ProcessSpec;

namespace {

const QString kOwner = QStringLiteral("twk-test-owner");
const QString kIntruder = QStringLiteral("twk-test-intruder");
const QString kHalf = QStringLiteral("twk-test-half");
const QString kSharedFile = QStringLiteral("/usr/share/twk-test-shared/same.txt");
const QString kInstallText =
    QStringLiteral("apt-get -y -o Acquire::Retries=1 -o APT::Status-Fd=3 -o Debug::NoLocking=1 "
                   "--allow-change-held-packages install");

QString status(const QString &package)
{
    return TestEnv::runTool(
               QStringLiteral("dpkg-query"),
               {QStringLiteral("-W"), QStringLiteral("-f=${db:Status-Abbrev}"), package})
        .outputText()
        .trimmed();
}

bool isAlive(pid_t pid)
{
    return ::kill(pid, 0) == 0;
}

} // namespace

class TestDpkgRepair : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        LocalAptRepository::PackageOptions sharing;
        sharing.desktopApplication = false;
        sharing.files = {{kSharedFile, "one file, two packages\n"}};
        // Its unpack fails and so does the clean-up: dpkg leaves it half
        // installed, to be reinstalled.
        LocalAptRepository::PackageOptions half;
        half.desktopApplication = false;
        half.preinst = QStringLiteral("#!/bin/sh\nexit 1\n");
        half.postrm = half.preinst;
        QVERIFY2(m_repository.addPackage(kOwner, QStringLiteral("1.0"), sharing) &&
                     m_repository.addPackage(kIntruder, QStringLiteral("1.0"), sharing) &&
                     m_repository.addPackage(kHalf, QStringLiteral("1.0"), half) &&
                     m_repository.publish(LocalAptRepository::Transport::File),
                 qPrintable(m_repository.errorString()));
        QVERIFY(apt({QStringLiteral("update")}).succeeded());
        QVERIFY(m_cache.isValid());
        m_cacheDir = m_cache.path() + u'/';
        QVERIFY(QDir().mkpath(m_cacheDir + QStringLiteral("archives")));
    }

    void cleanupTestCase()
    {
        apt({QStringLiteral("purge"), QStringLiteral("-y"), kOwner, kIntruder, kHalf});
    }

    // The second package's unpack fails on the first one's file; the repair
    // purges the package being unpacked, never the owner of the file.
    void settlesUnpackConflict()
    {
        QVERIFY(apt({QStringLiteral("install"), QStringLiteral("-y"), kOwner}).succeeded());
        const ProcessResult failed =
            apt({QStringLiteral("install"), QStringLiteral("-y"), kIntruder});
        QVERIFY(!failed.succeeded());
        const QString output = failed.outputText();
        QVERIFY2(output.contains(QLatin1String("trying to overwrite")) &&
                     output.contains(QLatin1String("which is also in package")),
                 qPrintable(output + failed.errorText()));

        // dpkg still holds the intruder as wanted for installation. apt
        // unpacked it straight from the repository: an archive outside the
        // cache names no package to purge.
        QVERIFY(status(kIntruder).startsWith(u'i'));
        AptCache::rmreinstreqPackage(output, 1, m_cacheDir, 0);
        QVERIFY(status(kIntruder).startsWith(u'i'));

        // The same archive as apt would have downloaded it.
        const QString archive = m_repository.debPath(kIntruder, QStringLiteral("1.0"));
        QVERIFY(QFile::copy(archive, m_cacheDir + QStringLiteral("archives/") +
                                         QFileInfo(archive).fileName()));
        AptCache::rmreinstreqPackage(output, 1, m_cacheDir, 0);

        const ProcessResult audit =
            TestEnv::runTool(QStringLiteral("dpkg"), {QStringLiteral("--audit")});
        QVERIFY(audit.succeeded());
        QCOMPARE(audit.outputText(), QString());
        QCOMPARE(status(kOwner), QStringLiteral("ii"));
        QVERIFY(status(kIntruder).isEmpty() || status(kIntruder) == QStringLiteral("pn") ||
                status(kIntruder) == QStringLiteral("un"));
        QVERIFY(QFileInfo::exists(kSharedFile));
        QVERIFY(apt({QStringLiteral("check")}).succeeded());
    }

    void reinstallRequiredIsPurged()
    {
        QVERIFY(apt({QStringLiteral("install"), QStringLiteral("-y"), kOwner}).succeeded());
        QVERIFY(!apt({QStringLiteral("install"), QStringLiteral("-y"), kHalf}).succeeded());
        QCOMPARE(status(kHalf), QStringLiteral("iHR"));
        // dpkg first on PATH records how it is called, then does the work.
        QTemporaryDir bin;
        const QString calls = bin.filePath(QStringLiteral("calls"));
        const QString realDpkg = QStandardPaths::findExecutable(QStringLiteral("dpkg"));
        QVERIFY(!realDpkg.isEmpty());
        QVERIFY(
            TestEnv::writeFile(bin.filePath(QStringLiteral("dpkg")),
                               QStringLiteral("#!/bin/sh\necho \"$*\" >> '%1'\nexec '%2' \"$@\"\n")
                                   .arg(calls, realDpkg)
                                   .toUtf8(),
                               true));

        // Names that would run commands in a shell are refused before dpkg;
        // a package dpkg holds whole is not purged, whatever the text says;
        // the broken one on the last line is.
        const QString line =
            QStringLiteral("E: The package %1 needs to be reinstalled, but I can't find an "
                           "archive for it.");
        const QString errors = line.arg(QStringLiteral("x;touch${IFS}owned")) + u'\n' +
                               line.arg(QStringLiteral("$(touch${IFS}owned)")) + u'\n' +
                               line.arg(QStringLiteral("`touch${IFS}owned`")) + u'\n' +
                               line.arg(kOwner) + u'\n' + line.arg(kHalf);
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(bin.path()) + ':' + path);
        AptCache::rmreinstreqPackage(errors, 2, m_cacheDir, 1000);
        qputenv("PATH", path);

        QCOMPARE(TestEnv::readFile(calls),
                 QByteArray("-P --force-remove-reinstreq ") + kHalf.toUtf8() + '\n');
        QVERIFY(status(kHalf).isEmpty() || status(kHalf) == QStringLiteral("pn") ||
                status(kHalf) == QStringLiteral("un"));
    }

    // Only a child of this process counts, however closely another process
    // mimics the command line; the decoy outside is the older one.
    void killsOnlyItsOwnApt()
    {
        const QString decoy =
            QStringLiteral("exec -a '%1 twk-test-x' sleep 60 </dev/null >/dev/null 2>&1")
                .arg(kInstallText);
        const ProcessResult detached =
            TestEnv::runTool(QStringLiteral("bash"),
                             {QStringLiteral("-c"), QStringLiteral("( %1 ) & echo $!").arg(decoy)});
        bool ok = false;
        const pid_t stranger = detached.outputText().trimmed().toInt(&ok);
        QVERIFY(ok && stranger > 0);

        ProcessRunner own;
        ProcessSpec spec;
        spec.program = QStringLiteral("bash");
        spec.arguments = {QStringLiteral("-c"), decoy};
        spec.timeoutMs = 60000;
        QVERIFY(own.start(spec));
        const pid_t child = pid_t(own.processId());
        // Wait for the exec, so that the child's command line is the decoy's.
        QTRY_VERIFY(QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(child))
                        .endsWith(QLatin1String("/sleep")));

        AptCache::killAptPurgeProcess();
        QVERIFY(isAlive(child));
        AptCache::killAptInstallProcess();
        const ProcessResult result = own.waitForFinished();
        QVERIFY(result.crashed);
        QVERIFY(!result.timedOut);
        QVERIFY(isAlive(stranger));
        ::kill(stranger, SIGKILL);
    }

private:
    ProcessResult apt(const QStringList &arguments)
    {
        return TestEnv::runTool(QStringLiteral("apt-get"), arguments, m_repository.environment());
    }

    LocalAptRepository m_repository;
    QTemporaryDir m_cache;
    QString m_cacheDir;
};

QTEST_GUILESS_MAIN(TestDpkgRepair)
#include "tst_dpkg_repair.moc"
