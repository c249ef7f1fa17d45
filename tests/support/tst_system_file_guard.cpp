#include "system_file_guard.h"
#include "test_env.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestSystemFileGuard : public QObject
{
    Q_OBJECT

private Q_SLOTS:
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
    }

    void refusesRelativePaths()
    {
        SystemFileGuard guard({QStringLiteral("etc/apt")});
        QVERIFY(!guard.isValid());
    }
};

QTEST_GUILESS_MAIN(TestSystemFileGuard)
#include "tst_system_file_guard.moc"
