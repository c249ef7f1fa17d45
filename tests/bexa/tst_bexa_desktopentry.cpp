#include "test_env.h"

#include <bdesktopentry.h>

#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using Bexa::Core::BDesktopEntry;

namespace {

const QByteArray sample = R"(# leading comment
[Desktop Entry]
Type=Application
Name = Viewer
Name[de]=Betrachter
Name[de_AT]=Anzeiger
Name[sr@latin]=Pregledac
Categories=Graphics;Viewer;
Keywords=one\;two;three
Odd=a\\;b
OnlyShowIn=
Comment=line\none\sand\\more

[Desktop Action new]
Name=New Window
Exec=viewer --new
)";

} // namespace

class TestBexaDesktopEntry : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void readsGroupsKeysAndLists();
    void localizedValue_data();
    void localizedValue();
    void errors_data();
    void errors();
    void unescape_data();
    void unescape();
    void unescapeExec_data();
    void unescapeExec();
    void saveKeepsCommentsAndOrder();
    void unchangedSaveKeepsBytes_data();
    void unchangedSaveKeepsBytes();
    void saveRefusesSymlink();

private:
    QString write(const QString &name, const QByteArray &content) const;
    static QByteArray read(const QString &path);

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestBexaDesktopEntry::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

QString TestBexaDesktopEntry::write(const QString &name, const QByteArray &content) const
{
    const QString path = m_dir->filePath(name);
    if (!TestEnv::writeFile(path, content))
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

QByteArray TestBexaDesktopEntry::read(const QString &path)
{
    return TestEnv::readFile(path);
}

void TestBexaDesktopEntry::readsGroupsKeysAndLists()
{
    const BDesktopEntry entry(write(QStringLiteral("a.desktop"), sample));
    QCOMPARE(entry.status(), BDesktopEntry::NoError);
    QCOMPARE(entry.allGroups(),
             QStringList({QStringLiteral("Desktop Entry"), QStringLiteral("Desktop Action new")}));
    QCOMPARE(entry.keys(QStringLiteral("Desktop Action new")),
             QStringList({QStringLiteral("Name"), QStringLiteral("Exec")}));

    QVERIFY(entry.contains(QStringLiteral("Type")));
    QVERIFY(!entry.contains(QStringLiteral("Exec")));
    QVERIFY(entry.contains(QStringLiteral("Exec"), QStringLiteral("Desktop Action new")));
    QCOMPARE(entry.stringValue(QStringLiteral("Name")), QStringLiteral("Viewer"));
    QCOMPARE(entry.stringValue(QStringLiteral("Missing"), QStringLiteral("Desktop Entry"),
                               QStringLiteral("dflt")),
             QStringLiteral("dflt"));
    // Values come as written; unescaping is the caller's choice.
    QCOMPARE(entry.stringValue(QStringLiteral("Comment")),
             QStringLiteral(R"(line\none\sand\\more)"));

    QCOMPARE(entry.stringListValue(QStringLiteral("Categories")),
             QStringList({QStringLiteral("Graphics"), QStringLiteral("Viewer")}));
    QCOMPARE(entry.stringListValue(QStringLiteral("Keywords")),
             QStringList({QStringLiteral("one;two"), QStringLiteral("three")}));
    // An escaped backslash does not escape the separator after it.
    QCOMPARE(entry.stringListValue(QStringLiteral("Odd")),
             QStringList({QStringLiteral(R"(a\\)"), QStringLiteral("b")}));
    QVERIFY(entry.contains(QStringLiteral("OnlyShowIn")));
    QVERIFY(entry.stringListValue(QStringLiteral("OnlyShowIn")).isEmpty());
}

void TestBexaDesktopEntry::localizedValue_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("expected");
    QTest::newRow("exact country") << "de_AT"
                                   << "Anzeiger";
    QTest::newRow("country with encoding") << "de_AT.UTF-8"
                                           << "Anzeiger";
    QTest::newRow("language of unknown country") << "de_CH"
                                                 << "Betrachter";
    QTest::newRow("language with modifier") << "sr_RS@latin"
                                            << "Pregledac";
    QTest::newRow("modifier not matched") << "sr_RS"
                                          << "Viewer";
    QTest::newRow("unlocalised") << "fr_FR"
                                 << "Viewer";
    QTest::newRow("empty locale") << ""
                                  << "Viewer";
}

void TestBexaDesktopEntry::localizedValue()
{
    QFETCH(QString, locale);
    QFETCH(QString, expected);
    const BDesktopEntry entry(write(QStringLiteral("a.desktop"), sample));
    QCOMPARE(entry.localizedValue(QStringLiteral("Name"), locale), expected);
    QCOMPARE(entry.localizedValue(QStringLiteral("Missing"), locale,
                                  QStringLiteral("Desktop Entry"), QStringLiteral("dflt")),
             QStringLiteral("dflt"));
}

void TestBexaDesktopEntry::errors_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("status");
    QTest::newRow("missing file") << QByteArray() << "AccessError";
    QTest::newRow("key before group") << QByteArray("Name=x\n[Desktop Entry]\n") << "FormatError";
    QTest::newRow("not key=value") << QByteArray("[Desktop Entry]\nName x\n") << "FormatError";
    QTest::newRow("empty key") << QByteArray("[Desktop Entry]\n=x\n") << "FormatError";
    QTest::newRow("broken header") << QByteArray("[Desktop Entry\nName=x\n") << "FormatError";
}

void TestBexaDesktopEntry::errors()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, status);
    const QString path = content.isNull() ? m_dir->filePath(QStringLiteral("none.desktop"))
                                          : write(QStringLiteral("bad.desktop"), content);
    BDesktopEntry entry(path);
    QCOMPARE(QString::fromLatin1(
                 QMetaEnum::fromType<BDesktopEntry::Status>().valueToKey(entry.status())),
             status);

    // What could not be read must not be written back over the file.
    entry.setStringValue(QStringLiteral("y"), QStringLiteral("Name"));
    QVERIFY(!entry.save());
    QCOMPARE(read(path), content);
    QCOMPARE(QFile::exists(path), !content.isNull());
}

void TestBexaDesktopEntry::unescape_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<bool>("semicolons");
    QTest::addColumn<QString>("expected");
    QTest::newRow("known escapes") << R"(a\sb\tc\nd\re\\f)" << false << "a b\tc\nd\re\\f";
    QTest::newRow("semicolon kept") << R"(a\;b)" << false << R"(a\;b)";
    QTest::newRow("semicolon undone") << R"(a\;b)" << true << "a;b";
    QTest::newRow("unknown escape kept") << R"(a\qb)" << false << R"(a\qb)";
    QTest::newRow("trailing backslash") << R"(ab\)" << false << R"(ab\)";
    QTest::newRow("escaped backslash before s") << R"(\\s)" << false << R"(\s)";
}

void TestBexaDesktopEntry::unescape()
{
    QFETCH(QString, input);
    QFETCH(bool, semicolons);
    QFETCH(QString, expected);
    BDesktopEntry::unescape(input, semicolons);
    QCOMPARE(input, expected);
}

void TestBexaDesktopEntry::unescapeExec_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain") << "viewer --new %U"
                           << "viewer --new %U";
    QTest::newRow("quoted path with space") << R"("/opt/my\sapp/run" %f)"
                                            << R"("/opt/my app/run" %f)";
    // In the file a backslash inside quotes is itself escaped: \\$ is \$,
    // which the quoting rules turn into $.
    QTest::newRow("dollar in quotes") << R"(sh -c "echo \\$HOME")"
                                      << R"(sh -c "echo $HOME")";
    QTest::newRow("quote in quotes") << R"(sh -c "say \\"hi\\"")"
                                     << R"(sh -c "say "hi"")";
    QTest::newRow("backslash in quotes") << R"("a\\\\b")"
                                         << R"("a\b")";
    QTest::newRow("backslash outside quotes stays") << R"(a\\$b)"
                                                    << R"(a\$b)";
}

void TestBexaDesktopEntry::unescapeExec()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);
    BDesktopEntry::unescapeExec(input);
    QCOMPARE(input, expected);
}

void TestBexaDesktopEntry::saveKeepsCommentsAndOrder()
{
    const QByteArray before = R"(# header comment

[Desktop Entry]
# about the name
Name = Viewer
TryExec=/no/such/program
Exec=viewer %U
Icon=viewer

[Other]
# trailing
)";
    const QString path = write(QStringLiteral("a.desktop"), before);
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                            QFile::ReadOther));
    BDesktopEntry entry(path);
    QCOMPARE(entry.status(), BDesktopEntry::NoError);
    QVERIFY(entry.removeEntry(QStringLiteral("TryExec")));
    QVERIFY(!entry.removeEntry(QStringLiteral("TryExec")));
    entry.setStringValue(QStringLiteral("viewer --new"), QStringLiteral("Exec"));
    entry.setStringValue(QStringLiteral("two\nlines"), QStringLiteral("Comment"));
    entry.setStringValue(QStringLiteral("x"), QStringLiteral("Key"), QStringLiteral("Added"));
    QVERIFY(entry.save());

    const QByteArray expected = R"(# header comment

[Desktop Entry]
# about the name
Name = Viewer
Exec=viewer --new
Icon=viewer
Comment=two\nlines

[Other]
# trailing

[Added]
Key=x
)";
    QCOMPARE(read(path), expected);
    const QFile::Permissions userBits = QFile::ReadUser | QFile::WriteUser | QFile::ExeUser;
    QCOMPARE(QFileInfo(path).permissions() & ~userBits,
             QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther);
    QCOMPARE(BDesktopEntry(path).stringValue(QStringLiteral("Key"), QStringLiteral("Added")),
             QStringLiteral("x"));
}

void TestBexaDesktopEntry::unchangedSaveKeepsBytes_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("CRLF") << QByteArray("[Desktop Entry]\r\nName=x\r\n");
    QTest::newRow("CR CR LF") << QByteArray("[Desktop Entry]\r\nName=x\r\r\n# c\r\r\n");
    QTest::newRow("no final newline") << QByteArray("[Desktop Entry]\nName=x");
}

void TestBexaDesktopEntry::unchangedSaveKeepsBytes()
{
    QFETCH(QByteArray, content);
    const QString path = write(QStringLiteral("a.desktop"), content);
    BDesktopEntry entry(path);
    QCOMPARE(entry.stringValue(QStringLiteral("Name")).left(1), QStringLiteral("x"));
    QVERIFY(entry.save());
    QCOMPARE(read(path), content);
}

void TestBexaDesktopEntry::saveRefusesSymlink()
{
    const QByteArray content = "[Desktop Entry]\nTryExec=x\nExec=x\n";
    const QString target = write(QStringLiteral("target.desktop"), content);
    const QString link = m_dir->filePath(QStringLiteral("link.desktop"));
    QVERIFY(QFile::link(target, link));

    BDesktopEntry entry(link);
    QCOMPARE(entry.status(), BDesktopEntry::NoError);
    QVERIFY(entry.removeEntry(QStringLiteral("TryExec")));
    QVERIFY(!entry.save());
    QCOMPARE(read(target), content);
    QVERIFY(QFileInfo(link).isSymLink());
}

QTEST_GUILESS_MAIN(TestBexaDesktopEntry)
#include "tst_bexa_desktopentry.moc"
