#include "test_env.h"

#include "utils/hardware_info_saver.h"
#include "utils/utils.h"
#include "utils/worker_thread.h"

#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

class TestHardwareInfoSaver : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_cache;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_cache = m_dir.filePath(QStringLiteral("cache/"));
        AppStore::HardwareReaderPaths paths = AppStore::Utils::readerPaths();
        paths.cacheDir = m_cache;
        paths.fdiskProgram = m_dir.filePath(QStringLiteral("bin/fdisk"));
        AppStore::Utils::setReaderPaths(paths);
        // dmidecode is found on PATH.
        for (const char *tool : {"fdisk", "dmidecode"})
            QVERIFY(TestEnv::writeFile(m_dir.filePath(QStringLiteral("bin/") + tool),
                                       "#!/bin/sh\necho \"$0 $*\"\n", true));
        qputenv("PATH", QFile::encodeName(m_dir.filePath(QStringLiteral("bin:")) +
                                          qEnvironmentVariable("PATH")));
    }

    // Every run ends not busy and with the signal; the logs are root's only,
    // and without a cache folder nothing is written anywhere.
    void savesLogs_data()
    {
        QTest::addColumn<bool>("cacheFolder");
        QTest::newRow("cache folder") << true;
        QTest::newRow("no cache folder") << false;
    }
    void savesLogs()
    {
        QFETCH(bool, cacheFolder);
        QVERIFY(QDir(m_cache).removeRecursively());
        QVERIFY(!cacheFolder || QDir().mkpath(m_cache));
        HardwareInfoSaver saver;
        saver.setStartDelay(0);
        QSignalSpy spy(&saver, &HardwareInfoSaver::sigSaveAllFileFinished);
        saver.saveHardwareInfo();
        QVERIFY(spy.wait(15000));
        QVERIFY(!saver.isBusy());
        saver.stopThread();
        QCOMPARE(QDir(m_cache).exists(), cacheFolder);
        for (const char *log : {"memInfo.log", "diskInfo.log"})
            QCOMPARE(TestEnv::fileMode(m_cache + QLatin1String(log)), cacheFolder ? 0600 : -1);
    }

    // Busy from the start of a run; a stop ends the pause before a run at
    // once, and a worker stuck in a job holds a stop no longer than its bound.
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
        QVERIFY(!AppStore::anyThreadLeftRunning());
        QVERIFY(!AppStore::stopWorkerThread(&stuck, 100));
        // The process is then told to end without its static destructors.
        QVERIFY(AppStore::anyThreadLeftRunning());
        QVERIFY(stuck.wait(10000));
    }
};

QTEST_GUILESS_MAIN(TestHardwareInfoSaver)
#include "tst_hardware_info_saver.moc"
