#include "utils/package_name_validator.h"

#include <QTest>

using AppStore::PackageNameValidator;

class TestPackageNameValidator : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void packageNames_data();
    void packageNames();
    void archQualifiedNames_data();
    void archQualifiedNames();
    void versions_data();
    void versions();
    void kaplaIds_data();
    void kaplaIds();
};

namespace {

void addRows(const QStringList &values, bool valid)
{
    for (const QString &value : values)
        QTest::newRow(qPrintable((valid ? QStringLiteral("ok ") : QStringLiteral("bad ")) +
                                 QString(value).replace(QLatin1Char('\n'), QLatin1String("\\n"))))
            << value << valid;
}

// Values that must never reach a tool, whatever the field.
QStringList hostileValues()
{
    return {QString(),
            QStringLiteral("x;touch owned"),
            QStringLiteral("-oAPT::x"),
            QStringLiteral("a b"),
            QStringLiteral("$(id)"),
            QStringLiteral("`id`"),
            QStringLiteral("foo|bar"),
            QStringLiteral("foo&&bar"),
            QStringLiteral("foo\nbar"),
            QStringLiteral("foo>out"),
            QStringLiteral("foo/../bar"),
            QStringLiteral("f\u00f6\u00f6")};
}

} // namespace

void TestPackageNameValidator::packageNames_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("valid");
    addRows({QStringLiteral("libc6"), QStringLiteral("g++"), QStringLiteral("python3.11"),
             QStringLiteral("0ad"), QStringLiteral("ab"), QStringLiteral("lib-foo+bar.baz"),
             QString(255, QLatin1Char('a'))},
            true);
    addRows(hostileValues(), false);
    addRows({QStringLiteral("a"), QStringLiteral("A"), QStringLiteral("Firefox"),
             QStringLiteral("-foo"), QStringLiteral(".foo"), QStringLiteral("+foo"),
             QStringLiteral("foo_bar"), QStringLiteral("foo:amd64"), QStringLiteral(" foo"),
             QString(256, QLatin1Char('a'))},
            false);
}

void TestPackageNameValidator::packageNames()
{
    QFETCH(QString, value);
    QFETCH(bool, valid);
    QCOMPARE(PackageNameValidator::isValidPackageName(value), valid);
}

void TestPackageNameValidator::archQualifiedNames_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("valid");
    addRows({QStringLiteral("libc6"), QStringLiteral("libc6:amd64"), QStringLiteral("libc6:i386"),
             QStringLiteral("gcc-12:arm64"), QStringLiteral("foo:musl-linux-amd64")},
            true);
    addRows(hostileValues(), false);
    addRows({QStringLiteral("libc6:"), QStringLiteral(":amd64"), QStringLiteral("libc6:AMD64"),
             QStringLiteral("libc6:amd64:x"), QStringLiteral("libc6:amd 64"),
             QStringLiteral("A:amd64")},
            false);
}

void TestPackageNameValidator::archQualifiedNames()
{
    QFETCH(QString, value);
    QFETCH(bool, valid);
    QCOMPARE(PackageNameValidator::isValidArchQualifiedName(value), valid);
}

void TestPackageNameValidator::versions_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("valid");
    addRows({QStringLiteral("0"), QStringLiteral("1.0"), QStringLiteral("2.36-9+deb12u4"),
             QStringLiteral("1:2.30-1ubuntu1"), QStringLiteral("1.0~rc1-1"),
             QStringLiteral("1.0-1~bpo12+1"), QStringLiteral("10.0.0+dfsg-2"),
             QStringLiteral("1.2-3-4"), QStringLiteral("2:1.0:3-1"), QStringLiteral("1.0A-b2")},
            true);
    addRows(hostileValues(), false);
    addRows({QStringLiteral("-1"), QStringLiteral("1.0 "), QStringLiteral("a1.0"),
             QStringLiteral("~1"), QStringLiteral("1:a"), QStringLiteral(":1.0"),
             QStringLiteral("a:1.0"), QStringLiteral("1.0:2"), QStringLiteral("1.0-"),
             QStringLiteral("1:-1"), QStringLiteral("1.0-re_v"), QStringLiteral("1:2.0-1:3"),
             QStringLiteral("1.0-1-"), QStringLiteral("1.0;id"),
             QStringLiteral("1") + QString(255, QLatin1Char('0'))},
            false);
}

void TestPackageNameValidator::versions()
{
    QFETCH(QString, value);
    QFETCH(bool, valid);
    QCOMPARE(PackageNameValidator::isValidVersion(value), valid);
}

void TestPackageNameValidator::kaplaIds_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("valid");
    addRows({QStringLiteral("com.example.App"), QStringLiteral("org.kde.kate"), QStringLiteral("a"),
             QStringLiteral("app_1"), QStringLiteral("Foo-Bar+x"), QStringLiteral("9.x")},
            true);
    addRows(hostileValues(), false);
    addRows({QStringLiteral("-x"), QStringLiteral(".x"), QStringLiteral("_x"),
             QStringLiteral("com..example"), QStringLiteral("com/example"), QStringLiteral(".."),
             QStringLiteral("x:y"), QString(256, QLatin1Char('a'))},
            false);
}

void TestPackageNameValidator::kaplaIds()
{
    QFETCH(QString, value);
    QFETCH(bool, valid);
    QCOMPARE(PackageNameValidator::isValidKaplaId(value), valid);
}

QTEST_GUILESS_MAIN(TestPackageNameValidator)
#include "tst_package_name_validator.moc"
