#include "test_env.h"

#include "utils/hardware_info_saver.h"
#include "utils/utils.h"
#include "utils/worker_thread.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>

using AppStore::HardwareReaderPaths;
using AppStore::Utils;

class TestHardwareInfoSaver : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    HardwareReaderPaths m_paths;
    std::unique_ptr<HardwareInfoSaver> m_saver;

    QString bin(const QString &tool) const { return m_dir.filePath(QStringLiteral("bin/") + tool); }
    QString log(const QString &name) const { return m_paths.cacheDir + name; }

    // A stand-in tool that prints its arguments and exits with status.
    bool addTool(const QString &tool, int status)
    {
        return TestEnv::writeFile(bin(tool),
                                  "#!/bin/sh\necho \"" + tool.toUtf8() + " $*\"\nexit " +
                                      QByteArray::number(status) + '\n',
                                  true);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_paths = Utils::readerPaths();
        m_paths.cacheDir = m_dir.filePath(QStringLiteral("cache/"));
        m_paths.fdiskProgram = bin(QStringLiteral("fdisk"));
        Utils::setReaderPaths(m_paths);
        // dmidecode is found on PATH.
        qputenv("PATH", QFile::encodeName(m_dir.filePath(QStringLiteral("bin")) + QLatin1Char(':') +
                                          qEnvironmentVariable("PATH")));
        m_saver = std::make_unique<HardwareInfoSaver>();
        m_saver->setStartDelay(0);
    }

    void cleanupTestCase() { m_saver->stopThread(); }

    // A log is kept, root-only, exactly when its tool exited 0; a present
    // log is left alone; without a cache folder nothing is written. Every
    // run ends not busy and with the signal.
    void savesLogs_data()
    {
        QTest::addColumn<bool>("cacheFolder");
        QTest::addColumn<int>("fdiskStatus");
        QTest::addColumn<QByteArray>("presentMemLog"); // null: none
        QTest::addColumn<QByteArray>("expectedDiskLog");
        QTest::addColumn<QByteArray>("expectedMemLog");
        QTest::newRow("both tools") << true << 0 << QByteArray() << QByteArray("fdisk -l\n")
                                    << QByteArray("dmidecode -t 17\n");
        QTest::newRow("failed tool")
            << true << 1 << QByteArray() << QByteArray() << QByteArray("dmidecode -t 17\n");
        QTest::newRow("present log")
            << true << 0 << QByteArray("kept") << QByteArray("fdisk -l\n") << QByteArray("kept");
        QTest::newRow("no cache folder")
            << false << 0 << QByteArray() << QByteArray() << QByteArray();
    }
    void savesLogs()
    {
        QFETCH(bool, cacheFolder);
        QFETCH(int, fdiskStatus);
        QFETCH(QByteArray, presentMemLog);
        QFETCH(QByteArray, expectedDiskLog);
        QFETCH(QByteArray, expectedMemLog);
        QVERIFY(QDir(m_paths.cacheDir).removeRecursively());
        if (cacheFolder)
            QVERIFY(QDir().mkpath(m_paths.cacheDir));
        if (!presentMemLog.isNull())
            QVERIFY(TestEnv::writeFile(log(QStringLiteral("memInfo.log")), presentMemLog));
        QVERIFY(addTool(QStringLiteral("fdisk"), fdiskStatus));
        QVERIFY(addTool(QStringLiteral("dmidecode"), 0));

        QSignalSpy spy(m_saver.get(), &HardwareInfoSaver::sigSaveAllFileFinished);
        m_saver->saveHardwareInfo();
        QVERIFY(spy.wait(15000));
        QVERIFY(!m_saver->isBusy());
        QCOMPARE(TestEnv::readFile(log(QStringLiteral("diskInfo.log"))), expectedDiskLog);
        QCOMPARE(TestEnv::readFile(log(QStringLiteral("memInfo.log"))), expectedMemLog);
        if (!expectedDiskLog.isEmpty())
            QCOMPARE(TestEnv::fileMode(log(QStringLiteral("diskInfo.log"))), 0600);
        if (cacheFolder)
            QCOMPARE(QDir(m_paths.cacheDir).entryList(QDir::Files | QDir::Hidden).size(),
                     int(!expectedDiskLog.isEmpty()) + int(!expectedMemLog.isEmpty()));
    }

    // Busy from the start of a run to its end; a stop ends the pause before
    // a run at once, and a worker stuck in a job does not hold the stop
    // beyond its bound.
    void busyAndStops()
    {
        HardwareInfoSaver saver;
        saver.setStartDelay(60000);
        saver.saveHardwareInfo();
        QVERIFY(QTest::qWaitFor([&] { return saver.isBusy(); }, 5000));
        QElapsedTimer clock;
        clock.start();
        saver.stopThread();
        QVERIFY(clock.elapsed() < 5000);

        QThread stuck;
        QObject::connect(&stuck, &QThread::started, [] { QThread::sleep(2); });
        stuck.start();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("did not stop")));
        QVERIFY(!AppStore::stopWorkerThread(&stuck, 100));
        QVERIFY(stuck.wait(10000));
    }
};

QTEST_GUILESS_MAIN(TestHardwareInfoSaver)
#include "tst_hardware_info_saver.moc"
