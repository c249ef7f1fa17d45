#include "system_file_guard.h"
#include "test_env.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdlib>

namespace {

// The guarded test that dies half way: TWK_GUARD_AND_DIE names the files,
// ':' between them, that it guards and then changes.
[[noreturn]] void guardChangeAndDie(const QString &paths)
{
    const SystemFileGuard guard(paths.split(u':'));
    for (const QString &path : paths.split(u':'))
        TestEnv::writeFile(path, "changed\n");
    std::raise(SIGKILL);
    std::abort();
}

} // namespace

class TestSystemFileGuard : public QObject
{
    Q_OBJECT

    QTemporaryDir m_records;

private Q_SLOTS:
    void initTestCase() { qputenv("TWK_GUARD_RECORDS", m_records.path().toUtf8()); }

    void restoresFilesFoldersAndAbsence()
    {
        QTemporaryDir root;
        const QString list = root.filePath(QStringLiteral("sources.list"));
        const QString parts = root.filePath(QStringLiteral("sources.list.d"));
        const QString absent = root.filePath(QStringLiteral("absent.list"));
        QVERIFY(TestEnv::writeFile(list, "deb original ./\n"));
        QVERIFY(QFile::setPermissions(list, QFile::ReadOwner | QFile::WriteOwner));
        QVERIFY(QDir().mkpath(parts));
        QVERIFY(TestEnv::writeFile(parts + QStringLiteral("/kept.list"), "kept\n"));
        QVERIFY(QFile::link(QStringLiteral("kept.list"), parts + QStringLiteral("/link.list")));

        {
            SystemFileGuard guard({list, parts, absent});
            QVERIFY2(guard.isValid(), qPrintable(guard.errorString()));
            QVERIFY(TestEnv::writeFile(list, "deb changed ./\n"));
            QVERIFY(QFile::setPermissions(list,
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
            QVERIFY(QFile::remove(parts + QStringLiteral("/kept.list")));
            QVERIFY(QFile::remove(parts + QStringLiteral("/link.list")));
            QVERIFY(TestEnv::writeFile(parts + QStringLiteral("/added.list"), "added\n"));
            QVERIFY(TestEnv::writeFile(absent, "created\n"));
        }

        QCOMPARE(TestEnv::readFile(list), QByteArray("deb original ./\n"));
        QVERIFY(!QFile::permissions(list).testFlag(QFile::ReadOther));
        QCOMPARE(QDir(parts).entryList(QDir::Files | QDir::System),
                 QStringList({QStringLiteral("kept.list"), QStringLiteral("link.list")}));
        QCOMPARE(QFile::symLinkTarget(parts + QStringLiteral("/link.list")),
                 parts + QStringLiteral("/kept.list"));
        QVERIFY(!QFile::exists(absent));
        QVERIFY(QDir(m_records.path()).isEmpty());
    }

    // The suite's restore puts back what a killed test's guard saved, and
    // leaves the record of a guard that still lives alone.
    void killedTestIsPutBack()
    {
        QTemporaryDir root;
        const QString list = root.filePath(QStringLiteral("sources.list"));
        const QString absent = root.filePath(QStringLiteral("absent.list"));
        const QString living = root.filePath(QStringLiteral("living.list"));
        QVERIFY(TestEnv::writeFile(list, "deb original ./\n"));
        const SystemFileGuard guard({living});
        QVERIFY(TestEnv::writeFile(living, "changed\n"));
        AppStore::ProcessSpec child;
        child.program = QCoreApplication::applicationFilePath();
        child.environmentMode = AppStore::ProcessSpec::Environment::Extend;
        child.environment = {QStringLiteral("TWK_GUARD_AND_DIE=") + list + u':' + absent};
        child.timeoutMs = 60000;
        AppStore::ProcessRunner::run(child);
        QCOMPARE(TestEnv::readFile(absent), QByteArray("changed\n"));

        const auto restored = TestEnv::runTool(
            TestEnv::supportDir() + QStringLiteral("/restore-guarded-files.sh"), {});
        QVERIFY2(restored.succeeded(), qPrintable(restored.errorText()));
        QCOMPARE(TestEnv::readFile(list), QByteArray("deb original ./\n"));
        QVERIFY(!QFile::exists(absent));
        QCOMPARE(TestEnv::readFile(living), QByteArray("changed\n"));
        QCOMPARE(QDir(m_records.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 1);
    }

    void refusesRelativePaths()
    {
        SystemFileGuard guard({QStringLiteral("etc/apt")});
        QVERIFY(!guard.isValid());
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString paths = qEnvironmentVariable("TWK_GUARD_AND_DIE");
    if (!paths.isEmpty())
        guardChangeAndDie(paths);
    TestSystemFileGuard test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_system_file_guard.moc"
