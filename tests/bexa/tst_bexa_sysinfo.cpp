#include "test_env.h"

#include <bsysinfo.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using Bexa::Core::BSysInfo;

class TestBexaSysInfo : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void readsOsVersion();
    void fallsBackToOsRelease();

private:
    QString write(const QString &name, const QByteArray &content) const;

    QTemporaryDir m_dir;
};

void TestBexaSysInfo::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

QString TestBexaSysInfo::write(const QString &name, const QByteArray &content) const
{
    const QString path = m_dir.filePath(name);
    if (!TestEnv::writeFile(path, content))
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

void TestBexaSysInfo::readsOsVersion()
{
    const QString osVersion = write(QStringLiteral("os-version"), R"([Version]
SystemName=Velkor
ProductType=Desktop
ProductType[zh_CN]=桌面
EditionName=Professional
EditionName[zh_CN]=专业版
MajorVersion=23
MinorVersion=1070
EditionType=1
)");
    qputenv("BEXA_OS_VERSION_FILE", osVersion.toUtf8());
    qputenv("BEXA_OS_RELEASE_FILE", write(QStringLiteral("os-release"), "NAME=Other\n").toUtf8());

    const QLocale english(QLocale::English);
    const QLocale chinese(QLocale::Chinese, QLocale::China);
    QCOMPARE(BSysInfo::orvexProductTypeName(english), QStringLiteral("Desktop"));
    QCOMPARE(BSysInfo::orvexProductTypeName(chinese), QStringLiteral("桌面"));
    QCOMPARE(BSysInfo::orvexEditionName(english), QStringLiteral("Professional"));
    QCOMPARE(BSysInfo::orvexEditionName(chinese), QStringLiteral("专业版"));
    QCOMPARE(BSysInfo::majorVersion(), QStringLiteral("23"));
    QCOMPARE(BSysInfo::minorVersion(), QStringLiteral("1070"));
    QCOMPARE(BSysInfo::orvexEditionType(), 1);

    // Read on every call: a changed file shows at once.
    write(QStringLiteral("os-version"), "[Version]\nEditionType=pro\n");
    QCOMPARE(BSysInfo::orvexEditionType(), -1);
    QCOMPARE(BSysInfo::majorVersion(), QString());
}

void TestBexaSysInfo::fallsBackToOsRelease()
{
    qputenv("BEXA_OS_VERSION_FILE", m_dir.filePath(QStringLiteral("missing")).toUtf8());
    const QByteArray osRelease = R"os(# comment
PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"
NAME="Debian \"GNU\"/Linux"
VERSION_ID="12.4"
ID=debian
)os";
    qputenv("BEXA_OS_RELEASE_FILE", write(QStringLiteral("os-release"), osRelease).toUtf8());

    const QLocale english(QLocale::English);
    QCOMPARE(BSysInfo::orvexProductTypeName(english), QStringLiteral("Debian \"GNU\"/Linux"));
    QCOMPARE(BSysInfo::orvexEditionName(english), QString());
    QCOMPARE(BSysInfo::majorVersion(), QStringLiteral("12"));
    QCOMPARE(BSysInfo::minorVersion(), QStringLiteral("4"));
    QCOMPARE(BSysInfo::orvexEditionType(), -1);

    qputenv("BEXA_OS_RELEASE_FILE",
            write(QStringLiteral("os-release"), "VERSION_ID=12\n").toUtf8());
    QCOMPARE(BSysInfo::majorVersion(), QStringLiteral("12"));
    QCOMPARE(BSysInfo::minorVersion(), QString());
}

QTEST_GUILESS_MAIN(TestBexaSysInfo)
#include "tst_bexa_sysinfo.moc"
