#include "test_env.h"
#include "utils/desktop_entry_checks.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using AppStore::DesktopEntryChecks;

class TestDesktopEntryChecks : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void visibility_data();
    void visibility();
    void execLine_data();
    void execLine();
    void tryExecRepair_data();
    void tryExecRepair();
    void emptyPathFindsNothing();
    void symlinkedFileIsNotRewritten();
    void unreadableFileIsLeftAlone();

private:
    QString writeDesktop(const QString &name, const QString &body);

    QTemporaryDir m_dir;
    QByteArray m_savedPath;
};

namespace {

const QString kHeader = QStringLiteral("[Desktop Entry]\nName=Demo\n");

void writeWithPermissions(const QString &path, const QByteArray &content,
                          QFile::Permissions permissions)
{
    QVERIFY(TestEnv::writeFile(path, content));
    QVERIFY(QFile::setPermissions(path, permissions));
}

} // namespace

QString TestDesktopEntryChecks::writeDesktop(const QString &name, const QString &body)
{
    const QString path = m_dir.filePath(name + QStringLiteral(".desktop"));
    QString content = body;
    content.replace(QStringLiteral("@DIR@"), m_dir.path());
    writeWithPermissions(path, content.toUtf8(),
                         QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    return path;
}

void TestDesktopEntryChecks::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("bin")));
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("dir.d")));
    const QFile::Permissions executable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    const QFile::Permissions plain = QFile::ReadOwner | QFile::WriteOwner;
    writeWithPermissions(m_dir.filePath(QStringLiteral("bin/runme")), "#!/bin/sh\n", executable);
    writeWithPermissions(m_dir.filePath(QStringLiteral("bin/plain")), "data\n", plain);
    writeWithPermissions(m_dir.filePath(QStringLiteral("tool")), "#!/bin/sh\n", executable);
    writeWithPermissions(m_dir.filePath(QStringLiteral("notexec")), "data\n", plain);

    m_savedPath = qgetenv("PATH");
    // A missing directory first: the search must go on past it.
    qputenv("PATH",
            QFile::encodeName(m_dir.filePath(QStringLiteral("missing")) + QStringLiteral("::") +
                              m_dir.filePath(QStringLiteral("bin"))));
}

void TestDesktopEntryChecks::cleanupTestCase()
{
    qputenv("PATH", m_savedPath);
}

void TestDesktopEntryChecks::visibility_data()
{
    QTest::addColumn<QString>("body");
    QTest::addColumn<bool>("shown");
    const QString app = kHeader + QStringLiteral("Type=Application\nExec=demo\n");

    QTest::newRow("application") << app << true;
    QTest::newRow("no type") << kHeader << false;
    QTest::newRow("NoDisplay") << app + QStringLiteral("NoDisplay=true\n") << false;
    QTest::newRow("NoDisplay True") << app + QStringLiteral("NoDisplay=True\n") << true;
    QTest::newRow("Hidden") << app + QStringLiteral("Hidden=true\n") << false;
    QTest::newRow("OnlyShowIn empty") << app + QStringLiteral("OnlyShowIn=\n") << false;
    QTest::newRow("OnlyShowIn other") << app + QStringLiteral("OnlyShowIn=GNOME;\n") << false;
    QTest::newRow("OnlyShowIn ours") << app + QStringLiteral("OnlyShowIn=GNOME;Velkor;\n") << true;
    QTest::newRow("OnlyShowIn case") << app + QStringLiteral("OnlyShowIn=velkor;\n") << false;
    QTest::newRow("NotShowIn empty") << app + QStringLiteral("NotShowIn=\n") << true;
    QTest::newRow("NotShowIn ours") << app + QStringLiteral("NotShowIn=KDE;Velkor\n") << false;
    QTest::newRow("key in other group")
        << app + QStringLiteral("[Desktop Action x]\nNoDisplay=true\n") << true;
    QTest::newRow("TryExec absolute") << app + QStringLiteral("TryExec=@DIR@/tool\n") << true;
    QTest::newRow("TryExec quoted") << app + QStringLiteral("TryExec='@DIR@/tool'\n") << true;
    QTest::newRow("TryExec not executable")
        << app + QStringLiteral("TryExec=@DIR@/notexec\n") << false;
    QTest::newRow("TryExec directory") << app + QStringLiteral("TryExec=@DIR@/dir.d\n") << false;
    QTest::newRow("TryExec missing") << app + QStringLiteral("TryExec=@DIR@/gone\n") << false;
    QTest::newRow("TryExec on PATH") << app + QStringLiteral("TryExec=runme\n") << true;
    QTest::newRow("TryExec on PATH not executable")
        << app + QStringLiteral("TryExec=plain\n") << false;
    QTest::newRow("TryExec not on PATH") << app + QStringLiteral("TryExec=tool\n") << false;
    QTest::newRow("TryExec empty") << app + QStringLiteral("TryExec=\n") << true;
    QTest::newRow("malformed") << QStringLiteral("Type=Application\n") << false;
}

void TestDesktopEntryChecks::visibility()
{
    QFETCH(QString, body);
    QFETCH(bool, shown);
    const QString path = writeDesktop(QStringLiteral("visibility"), body);
    QCOMPARE(DesktopEntryChecks::isDesktopNeedToShow(path), shown);
}

void TestDesktopEntryChecks::execLine_data()
{
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("exec");
    QTest::newRow("escapes and blanks")
        << kHeader + QStringLiteral("Exec=  /opt/my\\sapp/run \"a\\\\\\\\b\" %U  \n")
        << QStringLiteral("/opt/my app/run \"a\\b\" %U");
    QTest::newRow("no Exec") << kHeader + QStringLiteral("Type=Application\n") << QString();
    QTest::newRow("malformed") << QStringLiteral("Exec=demo\n") << QString();
}

void TestDesktopEntryChecks::execLine()
{
    QFETCH(QString, body);
    QFETCH(QString, exec);
    const QString path = writeDesktop(QStringLiteral("exec"), body);
    QCOMPARE(DesktopEntryChecks::getDesktopExecInfo(path), exec);
}

void TestDesktopEntryChecks::tryExecRepair_data()
{
    QTest::addColumn<QString>("tryExec");
    QTest::addColumn<bool>("kept");
    QTest::newRow("absolute missing") << QStringLiteral("@DIR@/gone") << false;
    QTest::newRow("absolute present") << QStringLiteral("@DIR@/tool") << true;
    // Only existence counts here, unlike the visibility test.
    QTest::newRow("absolute not executable") << QStringLiteral("@DIR@/notexec") << true;
    QTest::newRow("name on PATH") << QStringLiteral("runme") << true;
    QTest::newRow("name on PATH not executable") << QStringLiteral("plain") << true;
    QTest::newRow("name not on PATH") << QStringLiteral("tool") << false;
    QTest::newRow("empty") << QString() << true;
}

void TestDesktopEntryChecks::tryExecRepair()
{
    QFETCH(QString, tryExec);
    QFETCH(bool, kept);
    const QString body = QStringLiteral("# keep me\n") + kHeader +
                         QStringLiteral("TryExec=%1\nType=Application\n\n[Desktop Action x]\n"
                                        "TryExec=@DIR@/gone\n")
                             .arg(tryExec);
    const QString path = writeDesktop(QStringLiteral("repair"), body);
    const QByteArray before = TestEnv::readFile(path);
    const QFile::Permissions permissions = QFile::permissions(path);
    DesktopEntryChecks::checkDesktopTryExecInfo(path);
    const QByteArray after = TestEnv::readFile(path);
    if (kept) {
        QCOMPARE(after, before);
        return;
    }
    // Only the line of the main group goes; the rest of the file stays as it was.
    QByteArray expected = before;
    const QByteArray line =
        "TryExec=" + QString(tryExec).replace(QStringLiteral("@DIR@"), m_dir.path()).toUtf8() +
        '\n';
    expected.remove(expected.indexOf(line), line.size());
    QCOMPARE(after, expected);
    QCOMPARE(QFile::permissions(path), permissions);
}

void TestDesktopEntryChecks::emptyPathFindsNothing()
{
    const QByteArray saved = qgetenv("PATH");
    qputenv("PATH", "");
    const QString path = writeDesktop(QStringLiteral("emptypath"),
                                      kHeader + QStringLiteral("Type=Application\nTryExec=sh\n"));
    const bool shown = DesktopEntryChecks::isDesktopNeedToShow(path);
    DesktopEntryChecks::checkDesktopTryExecInfo(path);
    qputenv("PATH", saved);
    QVERIFY(!shown);
    QVERIFY(!TestEnv::readFile(path).contains("TryExec"));
}

void TestDesktopEntryChecks::symlinkedFileIsNotRewritten()
{
    const QString target =
        writeDesktop(QStringLiteral("target"),
                     kHeader + QStringLiteral("Type=Application\nTryExec=@DIR@/gone\n"));
    const QByteArray before = TestEnv::readFile(target);
    const QString link = m_dir.filePath(QStringLiteral("link.desktop"));
    QVERIFY(QFile::link(target, link));

    DesktopEntryChecks::checkDesktopTryExecInfo(link);
    QCOMPARE(TestEnv::readFile(target), before);
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(QFileInfo(link).symLinkTarget(), target);
}

void TestDesktopEntryChecks::unreadableFileIsLeftAlone()
{
    const QString missing = m_dir.filePath(QStringLiteral("absent.desktop"));
    QTest::ignoreMessage(
        QtWarningMsg,
        qPrintable(QStringLiteral("BDesktopEntry %1 Status Error: AccessError").arg(missing)));
    QVERIFY(!DesktopEntryChecks::isDesktopNeedToShow(missing));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Status Error")));
    QCOMPARE(DesktopEntryChecks::getDesktopExecInfo(missing), QString());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Status Error")));
    DesktopEntryChecks::checkDesktopTryExecInfo(missing);
    QVERIFY(!QFile::exists(missing));
}

QTEST_GUILESS_MAIN(TestDesktopEntryChecks)
#include "tst_desktop_entry_checks.moc"
