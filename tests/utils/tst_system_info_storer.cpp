#include "system_file_guard.h"
#include "task/task_manager.h"
#include "test_env.h"
#include "utils/system_info_storer.h"
#include "utils/utils.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

const QString kStateDir = QStringLiteral("/var/lib/tarnwick-daemon");
const QString kHardwareJson = kStateDir + QStringLiteral("/hardware.json");
const QString kFormerDir = QStringLiteral("/usr/share/tarnwick-daemon");
const QString kFormerHardwareJson = kFormerDir + QStringLiteral("/hardware.json");

bool writeFile(const QString &path, const QByteArray &content, bool executable = false)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()) {
        return false;
    }
    return !executable || file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
}

QByteArray fileContent(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QJsonObject objectOf(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

} // namespace

class TestSystemInfoStorer : public QObject
{
    Q_OBJECT

private:
    int toolRuns() { return fileContent(m_dir.filePath(QStringLiteral("runs"))).count('\n'); }

    // A tool on PATH that prints output and counts its runs.
    bool addTool(const QString &name, const QByteArray &output)
    {
        const QByteArray script = "#!/bin/sh\necho run >> '" +
                                  m_dir.filePath(QStringLiteral("runs")).toUtf8() +
                                  "'\ncat <<'OUT'\n" + output + "OUT\n";
        return writeFile(m_dir.filePath(QStringLiteral("bin/") + name), script, true);
    }

private Q_SLOTS:
    void initTestCase()
    {
        // The idle counter belongs to the main thread, as in the daemon.
        TaskManager::instance();
        QVERIFY(m_guard.isValid());
        QVERIFY(QDir(kStateDir).removeRecursively());
        QVERIFY(QDir().mkpath(kFormerDir));

        QVERIFY(m_dir.isValid());
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("bin")));
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("dmi")));
        QVERIFY(addTool(QStringLiteral("lscpu"), "CPU(s):      4\nVendor ID:   TestVendor\n"
                                                 "CPU MHz:     1800.000\n"));
        QVERIFY(addTool(QStringLiteral("dmidecode"), "Processor Information\n\tID: 55 06 05 00\n"));
        QVERIFY(addTool(QStringLiteral("lshw"), "  *-display\n       product: Test GPU\n"
                                                "       vendor: TestMaker\n"));
        QVERIFY(addTool(QStringLiteral("hwinfo"), "  Model: \"Test Model\"\n"));
        QVERIFY(addTool(QStringLiteral("dmesg"), "[    1.0] vram: RAM=2048M\n"));
        qputenv("PATH", m_dir.filePath(QStringLiteral("bin")).toUtf8() + ':' + qgetenv("PATH"));

        const QString dmi = m_dir.filePath(QStringLiteral("dmi/"));
        QVERIFY(writeFile(dmi + QStringLiteral("board_name"), "TB-1\n"));
        QVERIFY(writeFile(dmi + QStringLiteral("board_serial"), " SER 9 \n"));
        QVERIFY(writeFile(dmi + QStringLiteral("board_vendor"), "Maker\n"));
        QVERIFY(writeFile(dmi + QStringLiteral("board_version"), "1.0\n"));
        QVERIFY(writeFile(dmi + QStringLiteral("product_uuid"), "u-u-i-d\n"));
        // A serial that looks like JSON stays a string.
        const QString findSn = m_dir.filePath(QStringLiteral("findSN.sh"));
        QVERIFY(writeFile(findSn, "echo '{\"sn\":\"X1\"}'\n"));

        AppStore::HardwareReaderPaths paths = AppStore::HardwareReaderPaths::defaults();
        paths.dmiDir = dmi;
        paths.findSnScript = findSn;
        AppStore::Utils::setReaderPaths(paths);

        SystemInfoStorer::instance()->startThread();
    }

    void cleanupTestCase() { SystemInfoStorer::instance()->stopThread(); }

    // The state directory is missing at first, so the first file step fails
    // and the next answer from the cache writes the file.
    void gatheringRunsOnceThenAnswersFromCache()
    {
        SystemInfoStorer *storer = SystemInfoStorer::instance();
        QSignalSpy finished(storer, &SystemInfoStorer::getCpuAndBoardInfoFinished);
        QVERIFY(writeFile(kFormerHardwareJson, "{}"));
        // Once per run: each one finds the file missing.
        const QRegularExpression openFailed(QStringLiteral("File open failed!"));
        QTest::ignoreMessage(QtWarningMsg, openFailed);
        QTest::ignoreMessage(QtWarningMsg, openFailed);

        // Calls made before the first run ended queue runs of their own.
        QVERIFY(storer->getCpuAndBoardInfo().isEmpty());
        QVERIFY(storer->getCpuAndBoardInfo().isEmpty());
        QVERIFY(finished.wait(30000));
        QTRY_COMPARE(finished.size(), 2);
        QCOMPARE(toolRuns(), 5);
        QVERIFY(!QFile::exists(kFormerHardwareJson));
        QVERIFY(!QFile::exists(kHardwareJson));

        const QStringList list = finished.first().first().toStringList();
        QCOMPARE(finished.last().first().toStringList(), list);
        QCOMPARE(list.size(), 4);
        const QJsonObject cpu = objectOf(list.at(0));
        QCOMPARE(cpu.keys(), (QStringList{"cpuCores", "cpuID", "cpuMHz", "modelName", "vendorID"}));
        QCOMPARE(cpu.value("cpuCores").toString(), QStringLiteral("4"));
        QCOMPARE(cpu.value("cpuID").toString(), QStringLiteral("55-06-05-00"));
        QCOMPARE(list.at(1), QStringLiteral("{\"board_name\":\"TB-1\",\"board_serial\":\"SER 9\","
                                            "\"board_uuid\":\"u-u-i-d\",\"board_vendor\":\"Maker\","
                                            "\"board_version\":\"1.0\"}"));
        QCOMPARE(list.at(2),
                 QStringLiteral("{\"bitWidth\":\"\",\"frequency\":\"\",\"gpuMemorySize\":\"2GB\","
                                "\"manufacturers\":\"TestMaker\",\"model\":\"Test Model\","
                                "\"name\":\"Test GPU\",\"version\":\"\"}"));
        QCOMPARE(list.at(3), QStringLiteral("{\"sn\":\"X1\"}"));

        // From the cache: at once, announced on the caller's thread, and the
        // file step runs there too.
        QVERIFY(QDir().mkpath(kStateDir));
        QVERIFY(writeFile(kFormerHardwareJson, "{}"));
        finished.clear();
        QCOMPARE(storer->getCpuAndBoardInfo(), list);
        QCOMPARE(finished.size(), 1);
        QCOMPARE(toolRuns(), 5);
        QVERIFY(!QFile::exists(kFormerHardwareJson));

        const QJsonObject written = QJsonDocument::fromJson(fileContent(kHardwareJson)).object();
        QCOMPARE(written, (QJsonObject{{"cpuInfo", cpu},
                                       {"boardInfo", objectOf(list.at(1))},
                                       {"gpuInfo", objectOf(list.at(2))},
                                       {"hardDriveSN", list.at(3)}}));
        struct stat status;
        QCOMPARE(::stat(QFile::encodeName(kHardwareJson).constData(), &status), 0);
        QCOMPARE(status.st_mode & 0777, mode_t(0600));
    }

    void fileIsWrittenOnce()
    {
        QVERIFY(writeFile(kHardwareJson, "keep me"));
        QVERIFY(writeFile(kFormerHardwareJson, "{}"));
        QCOMPARE(SystemInfoStorer::instance()->getCpuAndBoardInfo().size(), 4);
        QCOMPARE(fileContent(kHardwareJson), QByteArray("keep me"));
        QVERIFY(!QFile::exists(kFormerHardwareJson));
    }

    void boardCheck()
    {
        SystemInfoStorer *storer = SystemInfoStorer::instance();
        QSignalSpy finished(storer, &SystemInfoStorer::getIsQSMotherBoardFinished);
        QCOMPARE(storer->getIsQSMotherBoard(), 0);
        QVERIFY(finished.wait(5000));
        QCOMPARE(finished.takeFirst().first().toInt(), 1);
        QCOMPARE(storer->getIsQSMotherBoard(), 1);
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first().first().toInt(), 1);
    }

private:
    SystemFileGuard m_guard{{kStateDir, kFormerDir}};
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestSystemInfoStorer)
#include "tst_system_info_storer.moc"
