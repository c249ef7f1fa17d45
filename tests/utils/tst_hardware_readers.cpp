#include "common/request_header_info.h"
#include "test_env.h"
#include "utils/process_runner.h"
#include "utils/utils.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using AppStore::HardwareReaderPaths;
using AppStore::ProcessSpec;
using AppStore::Utils;

namespace {

constexpr uid_t kNobody = 65534;

using Reader = std::function<QString()>;

ProcessSpec shell(const QString &script)
{
    ProcessSpec spec;
    spec.program = QStringLiteral("/bin/sh");
    spec.arguments = {QStringLiteral("-c"), script};
    return spec;
}

const QString kLscpu = QStringLiteral("Architecture:            x86_64\n"
                                      "CPU(s):                  8\n"
                                      "On-line CPU(s) list:     0-7\n"
                                      "Vendor ID:               GenuineIntel\n"
                                      "BIOS Vendor ID:          QEMU\n"
                                      "Model name:              Intel(R) Xeon(R) 2.10GHz\n"
                                      "CPU MHz:                 2100.000\n");

const QString kDmidecodeProcessor =
    QStringLiteral("Handle 0x0400, DMI type 4, 48 bytes\nProcessor Information\n"
                   "\tSocket Designation: CPU 0\n\tID: 11 22 33 44 55 66 77 88\n\n"
                   "Processor Information\n\tSocket Designation: CPU 1\n"
                   "\tID: 55 06 05 00 FF FB EB BF\n\tVersion: Xeon\n");

const QString kLshw = QStringLiteral("  *-display\n"
                                     "       description: VGA compatible controller\n"
                                     "       product:   SVGA II   Adapter\n"
                                     "       vendor: VMware\n"
                                     "       version: 00\n"
                                     "       width: 32 bits\n"
                                     "       clock: 33MHz\n");

const QString kHwinfo = QStringLiteral("  Hardware Class: graphics card\n"
                                       "  Model: \"VMware VMWARE0405\"\n"
                                       "  Vendor: pci 0x15ad \"VMware, Inc.\"\n");

} // namespace

Q_DECLARE_METATYPE(Reader)

class TestHardwareReaders : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();

    void parsesProcessorFacts();
    void parsesProcCpuinfoModel_data();
    void parsesProcCpuinfoModel();
    void parsesGraphicsFacts();
    void parsesVideoMemorySize_data();
    void parsesVideoMemorySize();
    void parsesClientVersionAndLanguage();
    void readsFilesUnderConfiguredPaths();
    void readsStoreServerAddress();
    void readsOnlyRegularFilesOfTheUser();
    void stripsControlCharacters();
    void savesToolOutputOnlyWhenComplete();
    void hardwareLogsAreWrittenOnce();
    void runsEachToolWithinItsLimit_data();
    void runsEachToolWithinItsLimit();
    void fillsSystemInformationRecord();

private:
    HardwareReaderPaths m_paths;
    QTemporaryDir m_dir;
};

void TestHardwareReaders::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const QString root = m_dir.path() + QLatin1Char('/');
    QVERIFY(QDir().mkpath(root + QStringLiteral("dmi")));
    QVERIFY(QDir().mkpath(root + QStringLiteral("cache")));
    QVERIFY(QDir().mkpath(root + QStringLiteral("config")));
    m_paths.dmiDir = root + QStringLiteral("dmi/");
    m_paths.machineIdFile = root + QStringLiteral("machine-id");
    m_paths.channelFile = root + QStringLiteral("key.txt");
    m_paths.cacheDir = root + QStringLiteral("cache/");
    m_paths.findSnScript = TestEnv::sourceDir() + QStringLiteral("/data/findSN.sh");
    m_paths.storeConfigDir = root + QStringLiteral("config/");
    m_paths.fdiskProgram = root + QStringLiteral("fdisk");
    Utils::setReaderPaths(m_paths);
}

void TestHardwareReaders::cleanup()
{
    Utils::setReaderPaths(m_paths);
}

void TestHardwareReaders::parsesProcessorFacts()
{
    const CpuInfo cpu = Utils::parseLscpuOutput(kLscpu);
    QCOMPARE(cpu.cpuCores, QStringLiteral("8")); // not the on-line list
    QCOMPARE(cpu.vendorID, QStringLiteral("GenuineIntel"));
    QCOMPARE(cpu.modelName, QStringLiteral("Intel(R) Xeon(R) 2.10GHz"));
    QCOMPARE(cpu.cpuMHz, QStringLiteral("2100.000"));

    // The last processor's id wins, its byte pairs joined by "-".
    QCOMPARE(Utils::parseDmidecodeProcessorId(kDmidecodeProcessor),
             QStringLiteral("55-06-05-00-FF-FB-EB-BF"));
    QCOMPARE(Utils::parseDmidecodeProcessorId(QString()), QString());
}

void TestHardwareReaders::parsesProcCpuinfoModel_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("model");
    QTest::newRow("model name wins")
        << QStringLiteral("Hardware\t: Board A\nmodel name\t: Core X\nmodel name\t: Core Y\n")
        << true << QStringLiteral("Core X");
    QTest::newRow("last hardware line")
        << QStringLiteral("Hardware\t: Board A\nprocessor\t: 0\nHardware\t: Board B\n") << true
        << QStringLiteral("Board B");
    QTest::newRow("neither") << QStringLiteral("processor\t: 0\n") << false
                             << QStringLiteral("untouched");
}

void TestHardwareReaders::parsesProcCpuinfoModel()
{
    QFETCH(QString, text);
    QFETCH(bool, found);
    QFETCH(QString, model);
    QString parsed = QStringLiteral("untouched");
    QCOMPARE(Utils::parseProcCpuinfoModel(text, parsed), found);
    QCOMPARE(parsed, model);
}

void TestHardwareReaders::parsesGraphicsFacts()
{
    const QMap<QString, QString> lshw = Utils::parseLshwProperties(kLshw);
    QCOMPARE(lshw.value(QStringLiteral("product")), QStringLiteral("SVGA II Adapter"));
    QCOMPARE(lshw.value(QStringLiteral("vendor")), QStringLiteral("VMware"));
    QCOMPARE(lshw.value(QStringLiteral("width")), QStringLiteral("32 bits"));
    QCOMPARE(lshw.value(QStringLiteral("clock")), QStringLiteral("33MHz"));
    QCOMPARE(lshw.value(QStringLiteral("*-display")), QStringLiteral("*-display"));

    QCOMPARE(Utils::parseHwinfoModel(kHwinfo), QStringLiteral("VMware VMWARE0405"));
    QCOMPARE(Utils::parseHwinfoModel(QStringLiteral("Vendor: x\n")), QString());
}

void TestHardwareReaders::parsesVideoMemorySize_data()
{
    QTest::addColumn<QString>("log");
    QTest::addColumn<QString>("size");
    QTest::newRow("later line wins")
        << QStringLiteral("[0.1] vram RAM=2048M ok\n[0.2] VRAM: 1024 M here\n")
        << QStringLiteral("1GB");
    QTest::newRow("fraction") << QStringLiteral("x RAM=1536M y") << QStringLiteral("1.5GB");
    QTest::newRow("below one") << QStringLiteral("x RAM: 512 M") << QStringLiteral("0.5GB");
    QTest::newRow("no line") << QStringLiteral("[0.0] Linux version\n") << QString();
}

void TestHardwareReaders::parsesVideoMemorySize()
{
    QFETCH(QString, log);
    QFETCH(QString, size);
    QCOMPARE(Utils::parseVideoMemorySize(log), size);
}

void TestHardwareReaders::parsesClientVersionAndLanguage()
{
    QCOMPARE(Utils::parseClientVersion(QStringLiteral("velkor-app-store\t1:8.1.2-1\n")),
             QStringLiteral("1:8.1.2-1"));
    // Known to dpkg but not installed: no version column.
    QCOMPARE(Utils::parseClientVersion(QStringLiteral("velkor-app-store\t\n")), QString());

    QCOMPARE(Utils::parseLanguageSetting(
                 QStringLiteral("LANG=zh_CN.UTF-8\nLANGUAGE=a=b\nLANGUAGE= zh_CN:en \n")),
             QStringLiteral("zh_CN:en"));
    // The first usable line decides, even when its value is empty.
    QCOMPARE(Utils::parseLanguageSetting(QStringLiteral("LANGUAGE=\nLANGUAGE=en\n")), QString());
}

void TestHardwareReaders::readsFilesUnderConfiguredPaths()
{
    QVERIFY(
        TestEnv::writeFile(m_paths.dmiDir + QStringLiteral("board_name"), "Board X   \nsecond\n"));
    QVERIFY(TestEnv::writeFile(m_paths.dmiDir + QStringLiteral("product_uuid"), "1234-abcd\n"));
    QVERIFY(TestEnv::writeFile(m_paths.channelFile, "ab\ncd\n"));
    QVERIFY(TestEnv::writeFile(m_paths.machineIdFile, "0123456789abcdef\n"));

    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("board_serial.*文件不存在")));
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("board_vendor.*文件不存在")));
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("board_version.*文件不存在")));
    const BoardInfo board = Utils::getBoardInfo();
    QCOMPARE(board.board_name, QStringLiteral("Board X"));
    QCOMPARE(board.board_uuid, QStringLiteral("1234-abcd"));
    QCOMPARE(board.board_serial, QString());

    QCOMPARE(Utils::getChannel(), QStringLiteral("abcd"));
    QCOMPARE(Utils::getMachineId(), QStringLiteral("0123456789abcdef"));

    HardwareReaderPaths missing = m_paths;
    missing.machineIdFile = m_dir.path() + QStringLiteral("/absent");
    Utils::setReaderPaths(missing);
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("打开machine-id文件失败")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("machine-id为空")));
    QCOMPARE(Utils::getMachineId(), QString());
}

void TestHardwareReaders::readsStoreServerAddress()
{
    const QString file = m_paths.storeConfigDir + QStringLiteral("appstore-serveice-0618.conf");
    QVERIFY(
        TestEnv::writeFile(file, "# store\n\n  https://store.example.test/api  \nhttps://other\n"));
    QCOMPARE(Utils::storeServerUrl(), QStringLiteral("https://store.example.test/api"));

    QVERIFY(TestEnv::writeFile(file, "# only a comment\n"));
    QString address;
    QVERIFY(Utils::readStoreServerConfig(address));
    QVERIFY(address.isEmpty());
    QVERIFY(Utils::storeServerUrl().startsWith(QStringLiteral("https://")));
}

void TestHardwareReaders::readsOnlyRegularFilesOfTheUser()
{
    if (geteuid() != 0)
        QSKIP("needs root to give files away");
    const QString dir = m_dir.path() + QStringLiteral("/home");
    QVERIFY(QDir().mkpath(dir));

    const QString own = dir + QStringLiteral("/own.conf");
    QVERIFY(TestEnv::writeFile(own, "LANGUAGE=de_DE\n"));
    QCOMPARE(chown(QFile::encodeName(own).constData(), kNobody, kNobody), 0);
    QCOMPARE(Utils::readUserOwnedFile(own, kNobody), QStringLiteral("LANGUAGE=de_DE\n"));
    QCOMPARE(Utils::readUserOwnedFile(own, 1000), QString()); // someone else's file

    // A link planted by the user to a root-only file is refused, even for root.
    const QString secret = dir + QStringLiteral("/secret");
    QVERIFY(TestEnv::writeFile(secret, "LANGUAGE=root-only-secret\n"));
    QCOMPARE(chmod(QFile::encodeName(secret).constData(), 0600), 0);
    const QString link = dir + QStringLiteral("/locale.conf");
    QVERIFY(QFile::link(secret, link));
    QCOMPARE(Utils::readUserOwnedFile(link, kNobody), QString());
    QCOMPARE(Utils::readUserOwnedFile(link, 0), QString());

    // A pipe would block a plain open until someone writes to it.
    const QString fifo = dir + QStringLiteral("/fifo");
    QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0644), 0);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(Utils::readUserOwnedFile(fifo, 0), QString());
    QVERIFY(timer.elapsed() < 1000);

    const QString big = dir + QStringLiteral("/big");
    QVERIFY(TestEnv::writeFile(big, QByteArray(1024 * 1024, 'x')));
    const QString head = Utils::readUserOwnedFile(big, 0);
    QVERIFY(!head.isEmpty() && head.size() <= 8 * 1024);
}

void TestHardwareReaders::stripsControlCharacters()
{
    QCOMPARE(Utils::stripControlCharacters(
                 QStringLiteral("zh_CN\r\nX-Injected: 1\t\u200b\u2028ok\u00e9\u4e2d")),
             QStringLiteral("zh_CNX-Injected: 1ok\u00e9\u4e2d"));
}

void TestHardwareReaders::savesToolOutputOnlyWhenComplete()
{
    const QString dir = m_dir.path() + QStringLiteral("/save");
    QVERIFY(QDir().mkpath(dir));
    const QString target = dir + QStringLiteral("/tool.log");

    QVERIFY(!Utils::saveToolOutputOnce(shell(QStringLiteral("echo partial; exit 3")), target));
    QVERIFY(!Utils::saveToolOutputOnce(shell(QStringLiteral("true")), target));
    ProcessSpec hung = shell(QStringLiteral("echo partial; sleep 30"));
    hung.timeoutMs = 300;
    QVERIFY(!Utils::saveToolOutputOnce(hung, target));
    QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden), QStringList());

    QVERIFY(Utils::saveToolOutputOnce(shell(QStringLiteral("echo first")), target));
    QCOMPARE(TestEnv::readFile(target), QByteArray("first\n"));
    QCOMPARE(TestEnv::fileMode(target), 0600);
    QVERIFY(Utils::saveToolOutputOnce(shell(QStringLiteral("echo second")), target));
    QCOMPARE(TestEnv::readFile(target), QByteArray("first\n"));
}

void TestHardwareReaders::hardwareLogsAreWrittenOnce()
{
    const QString memLog = m_paths.cacheDir + QStringLiteral("memInfo.log");
    const QString diskLog = m_paths.cacheDir + QStringLiteral("diskInfo.log");
    const QString fdisk = m_paths.fdiskProgram;
    QVERIFY(TestEnv::writeFile(memLog, "kept"));
    QFile::remove(diskLog);

    // Nothing from a failed fdisk run.
    QVERIFY(TestEnv::writeFile(fdisk, "#!/bin/sh\necho \"half of $1\"; exit 1\n", true));
    Utils::saveHardwareInfoFiles();
    QVERIFY(!QFileInfo::exists(diskLog));

    QVERIFY(TestEnv::writeFile(fdisk, "#!/bin/sh\necho \"disks $1\"\n", true));
    Utils::saveHardwareInfoFiles();
    QCOMPARE(TestEnv::readFile(memLog), QByteArray("kept"));
    QCOMPARE(TestEnv::readFile(diskLog), QByteArray("disks -l\n"));
}

void TestHardwareReaders::runsEachToolWithinItsLimit_data()
{
    QTest::addColumn<QString>("tool");
    QTest::addColumn<int>("limitMs");
    QTest::addColumn<Reader>("reader");
    QTest::newRow("lscpu") << QStringLiteral("lscpu") << 2 * 10000
                           << Reader([] { return Utils::getCpuInfo().cpuCores; });
    QTest::newRow("lshw") << QStringLiteral("lshw") << 5000 << Reader([] {
        return Utils::readGpuPropertiesFromLshw().value(QStringLiteral("product"));
    });
    QTest::newRow("hwinfo") << QStringLiteral("hwinfo") << 5000
                            << Reader(&Utils::readGpuModelFromHwinfo);
    QTest::newRow("dmesg") << QStringLiteral("dmesg") << 5000 << Reader(&Utils::readKernelLog);
    QTest::newRow("findSN") << QStringLiteral("lsblk") << 10000 << Reader(&Utils::getHardDriveSN);
    QTest::newRow("dpkg-query") << QStringLiteral("dpkg-query") << 30000
                                << Reader(&Utils::getClientVersion);
}

void TestHardwareReaders::runsEachToolWithinItsLimit()
{
    QFETCH(QString, tool);
    QFETCH(int, limitMs);
    QFETCH(Reader, reader);
    if (QStandardPaths::findExecutable(tool).isEmpty())
        QSKIP(qPrintable(tool + QStringLiteral(" is not installed here")));
    QElapsedTimer timer;
    timer.start();
    const QString value = reader();
    QVERIFY2(timer.elapsed() < limitMs + 3000, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(!value.contains(QLatin1Char('\0')));
    if (tool == QStringLiteral("lscpu"))
        QVERIFY(value.toInt() > 0);
}

void TestHardwareReaders::fillsSystemInformationRecord()
{
    QVERIFY(TestEnv::writeFile(m_paths.machineIdFile, "feedface\r\n"));
    QVERIFY(TestEnv::writeFile(m_paths.channelFile, "chan\n"));
    QVERIFY(TestEnv::writeFile(m_paths.dmiDir + QStringLiteral("board_name"), "Board\tX\n"));

    const RequestHeaderInfo fresh;
    QCOMPARE(fresh.biHeader.client, QStringLiteral("app_store"));
    QVERIFY(fresh.arch.isEmpty() && fresh.biHeader.device_id.isEmpty());

    RequestHeaderInfo record;
    record.userid = QStringLiteral("u");
    record.referer = QStringLiteral("r");
    record.token = QStringLiteral("t");
    record.biHeader.code = QStringLiteral("c");
    record.biHeader.client = QString();
    Utils::systemInfoRecord(record);

    QCOMPARE(record.userid, QStringLiteral("u"));
    QCOMPARE(record.referer, QStringLiteral("r"));
    QCOMPARE(record.token, QStringLiteral("t"));
    QCOMPARE(record.biHeader.code, QStringLiteral("c"));
    QCOMPARE(record.biHeader.client, QStringLiteral("app_store"));
    QVERIFY(record.biHeader.uid.isEmpty());

    QVERIFY(!record.arch.isEmpty());
    QCOMPARE(record.mac, QStringLiteral("feedface")); // the "\r" cannot reach a header
    QCOMPARE(record.biHeader.device_id, record.mac);
    QCOMPARE(record.biHeader.channel, QStringLiteral("chan"));
    QCOMPARE(record.motherboard, QStringLiteral("BoardX"));
    QCOMPARE(record.biHeader.os, record.platform);
    QCOMPARE(record.biHeader.os_build, record.os_build);
    QCOMPARE(record.biHeader.os_version,
             record.baseline_main_version + QLatin1Char(',') + record.baseline_version);
    QCOMPARE(record.iswayland,
             Utils::isWaylandSession() ? QStringLiteral("1") : QStringLiteral("0"));
    QVERIFY(record.supfeatures == QStringLiteral("1") ||
            record.supfeatures == QStringLiteral("10011"));
    if (!QStandardPaths::findExecutable(QStringLiteral("lscpu")).isEmpty())
        QVERIFY(!record.cpu_clip.isEmpty());
}

QTEST_GUILESS_MAIN(TestHardwareReaders)
#include "tst_hardware_readers.moc"
