#include "test_env.h"
#include "utils/log_file_rotation.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using AppStore::LogFileRotation;

class TestLogFileRotation : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void firstStartCreatesDirectoryAndFile();
    void unusableDirectoryGivesEmptyPath();
    void rotation_data();
    void rotation();
};

namespace {

const QString LOG_NAME = QStringLiteral("tarnwick-daemon.log");

void writeLog(const QString &path, const QDateTime &modified)
{
    QVERIFY(TestEnv::writeFile(path, "line\n"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite) &&
            file.setFileTime(modified, QFileDevice::FileModificationTime));
}

} // namespace

void TestLogFileRotation::firstStartCreatesDirectoryAndFile()
{
    QTemporaryDir tmp;
    const QString dir = tmp.filePath(QStringLiteral("log/tarnwick-daemon/"));
    const QString path = LogFileRotation::initLogFilePath(dir);
    QCOMPARE(path, QDir(dir).filePath(LOG_NAME));
    QCOMPARE(QFileInfo(path).size(), 0);
    QCOMPARE(TestEnv::fileMode(path), 0640);
    QCOMPARE(QDir(dir).entryList(QDir::Files), QStringList{LOG_NAME});
}

void TestLogFileRotation::unusableDirectoryGivesEmptyPath()
{
    QTemporaryDir tmp;
    QFile plain(tmp.filePath(QStringLiteral("file")));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    QVERIFY(LogFileRotation::initLogFilePath(plain.fileName() + QStringLiteral("/log/")).isEmpty());
}

// Files from oldest to newest before the start; the current log is the newest.
void TestLogFileRotation::rotation_data()
{
    QTest::addColumn<QStringList>("olderFiles");
    QTest::addColumn<QStringList>("survivors");
    // Moved aside by the file appender past its size bound, not by a start.
    QTest::addColumn<bool>("running");

    const QStringList three = {LOG_NAME + QStringLiteral(".a"), LOG_NAME + QStringLiteral(".b"),
                               LOG_NAME + QStringLiteral(".c")};
    QTest::newRow("three backups stay") << three << three << false;

    // A compressed old log merely contains ".log" and ages out like the rest.
    const QStringList six = {QStringLiteral("archive.log.tar.gz"), LOG_NAME + QStringLiteral(".1"),
                             LOG_NAME + QStringLiteral(".2"),      LOG_NAME + QStringLiteral(".3"),
                             LOG_NAME + QStringLiteral(".4"),      LOG_NAME + QStringLiteral(".5")};
    QTest::newRow("six backups keep the three newest") << six << six.mid(3) << false;
    QTest::newRow("a running log past its bound") << six << six.mid(3) << true;
}

void TestLogFileRotation::rotation()
{
    QFETCH(QStringList, olderFiles);
    QFETCH(QStringList, survivors);
    QFETCH(bool, running);

    QTemporaryDir tmp;
    const QDir dir(tmp.path());
    const QDateTime now = QDateTime::currentDateTime();
    for (qsizetype i = 0; i < olderFiles.size(); ++i)
        writeLog(dir.filePath(olderFiles.at(i)), now.addDays(i - olderFiles.size()));
    writeLog(dir.filePath(LOG_NAME), now);
    // Not a log file: never counted, never removed.
    writeLog(dir.filePath(QStringLiteral("notes.txt")), now.addYears(-1));

    const QString path = dir.filePath(LOG_NAME);
    if (running)
        LogFileRotation::rotateRunningLog(path);
    else
        QCOMPARE(LogFileRotation::initLogFilePath(tmp.path()), path);
    QCOMPARE(QFileInfo(path).size(), 0);

    // Logs written 0644 by earlier starts are no longer readable by all.
    const QStringList logs = dir.entryList({QStringLiteral("*.log*")}, QDir::Files);
    for (const QString &name : logs)
        QVERIFY2(TestEnv::fileMode(dir.filePath(name)) == 0640, qPrintable(name));

    QStringList remaining = dir.entryList(QDir::Files, QDir::Name);
    QVERIFY(remaining.removeOne(QStringLiteral("notes.txt")));
    QVERIFY(remaining.removeOne(LOG_NAME));
    for (const QString &name : survivors)
        QVERIFY2(remaining.removeOne(name), qPrintable(name));
    // What is left is the moved log, named after a real time stamp even where
    // the file system keeps no birth time.
    QCOMPARE(remaining.size(), 1);
    static const QRegularExpression backupName(
        QStringLiteral("^tarnwick-daemon\\.log\\.\\d{4}(-\\d\\d){5}-\\d{3}$"));
    QVERIFY2(backupName.match(remaining.first()).hasMatch(), qPrintable(remaining.first()));
}

QTEST_GUILESS_MAIN(TestLogFileRotation)
#include "tst_log_file_rotation.moc"
