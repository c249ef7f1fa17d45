#include "common/apt_task.h"
#include "common/download_state_bi_data.h"
#include "dirty_construct.h"
#include "task/task_record_builder.h"

#include <QMutex>
#include <QMutexLocker>
#include <QThread>
#include <QtTest>

#include <atomic>

namespace {

StoreService::_ChannelPkg channelPkg(const QString &channel, const QString &version, qint64 size)
{
    StoreService::_ChannelPkg pkg;
    pkg.pkgVer = version;
    pkg.pkgChannel = channel;
    pkg.pkgDlUrl = QStringLiteral("https://127.0.0.1/pool/") + channel + QStringLiteral(".deb");
    pkg.pkgSize = size;
    pkg.pkgSha256 = QStringLiteral("sha-") + channel;
    return pkg;
}

// Every member differs from its default, so a member that is dropped on the
// way shows up.
Apt_Task filledTask()
{
    Apt_Task task;
    task.taskType = 1;
    task.isStarted = 1;
    task.sourceId = QStringLiteral("source-7");
    task.iconUrl = QStringLiteral("https://127.0.0.1/icon.png");
    task.appName = QStringLiteral("Editor");
    task.packageName = QStringLiteral("demo-editor");
    task.version = QStringLiteral("2.1-3");
    task.spareText1 = QStringLiteral("spare one");
    task.packageMode = 2;
    task.spareText2 = QStringLiteral("spare two");
    task.uid = 4000000000u;
    task.loginName = QStringLiteral("alice");
    task.operation = 3;
    task.extraPackages = {QStringLiteral("demo-extra"), QStringLiteral("demo-data")};
    task.downloadedSize = 5000000000LL;
    task.totalSize = 6000000000LL;
    task.needRedownload = false;
    task.downloadLink = QStringLiteral("https://127.0.0.1/demo-editor.deb");
    task.channelId = QStringLiteral("42");
    task.channelData = QStringLiteral("{\"c\":1}");
    task.sha256 = QStringLiteral("abc123");
    task.channelPkgMap.insert(QStringLiteral("stable"),
                              channelPkg(QStringLiteral("stable"), QStringLiteral("2.1"), 10));
    task.channelPkgMap.insert(
        QStringLiteral("beta"),
        channelPkg(QStringLiteral("beta"), QStringLiteral("2.2"), 5000000000LL));
    task.isTarPkg = true;
    task.isSpecificPkg = 1;
    task.pkgInstallMode = 2;
    task.sessionId = QStringLiteral("session-9");
    task.appType = QStringLiteral("12");
    task.ownerRole = QStringLiteral("3");
    task.isFirstInstall = false;
    task.agreeSign = true;
    return task;
}

bool sameChannelPkgs(const QMap<QString, StoreService::_ChannelPkg> &a,
                     const QMap<QString, StoreService::_ChannelPkg> &b)
{
    if (a.keys() != b.keys()) {
        return false;
    }
    for (auto it = a.cbegin(); it != a.cend(); ++it) {
        const StoreService::_ChannelPkg &x = it.value();
        const StoreService::_ChannelPkg &y = b.value(it.key());
        if (x.pkgVer != y.pkgVer || x.pkgChannel != y.pkgChannel || x.pkgDlUrl != y.pkgDlUrl ||
            x.pkgSize != y.pkgSize || x.pkgSha256 != y.pkgSha256) {
            return false;
        }
    }
    return true;
}

QStringList differingMembers(const Apt_Task &a, const Apt_Task &b)
{
    QStringList names;
    const auto check = [&names](bool same, const char *name) {
        if (!same) {
            names.append(QLatin1String(name));
        }
    };
    check(a.taskType == b.taskType, "taskType");
    check(a.isStarted == b.isStarted, "isStarted");
    check(a.sourceId == b.sourceId, "sourceId");
    check(a.iconUrl == b.iconUrl, "iconUrl");
    check(a.appName == b.appName, "appName");
    check(a.packageName == b.packageName, "packageName");
    check(a.version == b.version, "version");
    check(a.spareText1 == b.spareText1, "spareText1");
    check(a.packageMode == b.packageMode, "packageMode");
    check(a.spareText2 == b.spareText2, "spareText2");
    check(a.uid == b.uid, "uid");
    check(a.loginName == b.loginName, "loginName");
    check(a.operation == b.operation, "operation");
    check(a.extraPackages == b.extraPackages, "extraPackages");
    check(a.downloadedSize == b.downloadedSize, "downloadedSize");
    check(a.totalSize == b.totalSize, "totalSize");
    check(a.needRedownload == b.needRedownload, "needRedownload");
    check(a.downloadLink == b.downloadLink, "downloadLink");
    check(a.channelId == b.channelId, "channelId");
    check(a.channelData == b.channelData, "channelData");
    check(a.sha256 == b.sha256, "sha256");
    check(sameChannelPkgs(a.channelPkgMap, b.channelPkgMap), "channelPkgMap");
    check(a.isTarPkg == b.isTarPkg, "isTarPkg");
    check(a.isSpecificPkg == b.isSpecificPkg, "isSpecificPkg");
    check(a.pkgInstallMode == b.pkgInstallMode, "pkgInstallMode");
    check(a.sessionId == b.sessionId, "sessionId");
    check(a.appType == b.appType, "appType");
    check(a.ownerRole == b.ownerRole, "ownerRole");
    check(a.isFirstInstall == b.isFirstInstall, "isFirstInstall");
    check(a.agreeSign == b.agreeSign, "agreeSign");
    return names;
}

DownloadStateBiData filledBiData()
{
    DownloadStateBiData data;
    data.package_name = QStringLiteral("demo-editor");
    data.type = QStringLiteral("2");
    data.package_version = QStringLiteral("2.1-3");
    data.session_id = QStringLiteral("session-9");
    data.code = QStringLiteral("511");
    data.device_id = QStringLiteral("device");
    data.client_version = QStringLiteral("8.0");
    data.os = QStringLiteral("os");
    data.os_version = QStringLiteral("12");
    data.os_build = QStringLiteral("build");
    data.channel = QStringLiteral("channel");
    data.uid = QStringLiteral("1000");
    data.app_id = QStringLiteral("77");
    data.down_type = QStringLiteral("1");
    data.content = QStringLiteral("content");
    data.url = QStringLiteral("spare");
    data.httpType = 2;
    return data;
}

QStringList biDataTexts(const DownloadStateBiData &d)
{
    return {d.package_name,   d.type,      d.package_version, d.session_id, d.code,    d.device_id,
            d.client_version, d.os,        d.os_version,      d.os_build,   d.channel, d.uid,
            d.app_id,         d.down_type, d.content,         d.url};
}

} // namespace

class Sender : public QObject
{
    Q_OBJECT
signals:
    void sigTask(Apt_Task task);
    void sigBiData(DownloadStateBiData data);
};

// Lives on a worker thread and keeps what reaches it.
class Receiver : public QObject
{
    Q_OBJECT
public:
    QMutex mutex;
    Apt_Task task;
    DownloadStateBiData biData;
    QThread *taskThread = nullptr;
    QThread *biDataThread = nullptr;
    std::atomic<int> tasksReceived{0};
    std::atomic<int> biDataReceived{0};

public slots:
    void takeTask(Apt_Task received)
    {
        QMutexLocker locker(&mutex);
        task = received;
        taskThread = QThread::currentThread();
        ++tasksReceived;
    }
    // Shape of the task manager's entry that is reached by queued invocation.
    void addTask(Apt_Task &received) { takeTask(received); }
    void takeBiData(DownloadStateBiData received)
    {
        QMutexLocker locker(&mutex);
        biData = received;
        biDataThread = QThread::currentThread();
        ++biDataReceived;
    }
};

class TestTaskRecords : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_thread = new QThread;
        m_receiver = new Receiver;
        m_receiver->moveToThread(m_thread);
        connect(m_thread, &QThread::finished, m_receiver, &QObject::deleteLater);
        m_thread->start();
    }

    void cleanup()
    {
        m_thread->quit();
        m_thread->wait();
        delete m_thread;
        m_thread = nullptr;
        m_receiver = nullptr;
    }

    void defaults()
    {
        const DirtyConstructed<Apt_Task> constructed;
        const Apt_Task &task = *constructed;
        QCOMPARE(task.taskType, 0);
        QCOMPARE(task.isStarted, 0);
        QCOMPARE(task.packageMode, 0);
        QCOMPARE(task.uid, 0u);
        QCOMPARE(task.operation, 0);
        QCOMPARE(task.downloadedSize, qint64(0));
        QCOMPARE(task.totalSize, qint64(0));
        QCOMPARE(task.needRedownload, true);
        QCOMPARE(task.isTarPkg, false);
        QCOMPARE(task.isSpecificPkg, 0);
        QCOMPARE(task.pkgInstallMode, 1);
        QCOMPARE(task.appType, QStringLiteral("-1"));
        QCOMPARE(task.ownerRole, QStringLiteral("-1"));
        QCOMPARE(task.isFirstInstall, true);
        QCOMPARE(task.agreeSign, false);
        for (const QString &text :
             {task.sourceId, task.iconUrl, task.appName, task.packageName, task.version,
              task.spareText1, task.spareText2, task.loginName, task.downloadLink, task.channelId,
              task.channelData, task.sha256, task.sessionId}) {
            QVERIFY(text.isEmpty());
        }
        QVERIFY(task.extraPackages.isEmpty());
        QVERIFY(task.channelPkgMap.isEmpty());

        // The meta-type system builds the same record, operation included.
        registerAptTaskMetaType();
        const QVariant built(QMetaType::fromType<Apt_Task>());
        QCOMPARE(differingMembers(built.value<Apt_Task>(), task), QStringList());

        const DirtyConstructed<DownloadStateBiData> data;
        QCOMPARE(data->httpType, 1);
        for (const QString &text : biDataTexts(*data)) {
            QVERIFY(text.isEmpty());
        }
    }

    void copyIsIndependentAndShared()
    {
        const Apt_Task source = filledTask();
        Apt_Task copy = source;
        QCOMPARE(differingMembers(copy, source), QStringList());
        // Copies handed along every signal must not duplicate the texts.
        QCOMPARE(copy.appName.constData(), source.appName.constData());

        copy.channelPkgMap[QStringLiteral("stable")].pkgVer = QStringLiteral("9.9");
        copy.channelPkgMap.remove(QStringLiteral("beta"));
        copy.extraPackages.append(QStringLiteral("demo-more"));
        copy.appName.append(QStringLiteral(" changed"));
        QCOMPARE(source.channelPkgMap.size(), 2);
        QCOMPARE(source.channelPkgMap.value(QStringLiteral("stable")).pkgVer,
                 QStringLiteral("2.1"));
        QCOMPARE(source.extraPackages.size(), 2);
        QCOMPARE(source.appName, QStringLiteral("Editor"));

        Apt_Task assigned;
        assigned = source;
        QCOMPARE(differingMembers(assigned, source), QStringList());

        Apt_Task moved;
        Apt_Task donor = filledTask();
        const QChar *donorText = donor.appName.constData();
        moved = std::move(donor);
        QCOMPARE(moved.appName.constData(), donorText);
        QCOMPARE(differingMembers(moved, source), QStringList());
    }

    void taskCrossesThreads()
    {
        Sender sender;
        connect(&sender, &Sender::sigTask, m_receiver, &Receiver::takeTask, Qt::QueuedConnection);
        const Apt_Task sent = filledTask();
        emit sender.sigTask(sent);
        QTRY_COMPARE(m_receiver->tasksReceived.load(), 1);
        QMutexLocker locker(&m_receiver->mutex);
        QCOMPARE(m_receiver->taskThread, m_thread);
        QCOMPARE(differingMembers(m_receiver->task, sent), QStringList());
    }

    void taskReachesQueuedInvocationByName()
    {
        registerAptTaskMetaType();
        QVERIFY(QMetaType::fromName("Apt_Task") == QMetaType::fromType<Apt_Task>());
        QVERIFY(QMetaType::fromName("Apt_Task&") == QMetaType::fromType<Apt_Task>());

        Apt_Task sent = filledTask();
        QVERIFY(QMetaObject::invokeMethod(m_receiver, "addTask", Qt::QueuedConnection,
                                          Q_ARG(Apt_Task &, sent)));
        QTRY_COMPARE(m_receiver->tasksReceived.load(), 1);
        QMutexLocker locker(&m_receiver->mutex);
        QCOMPARE(m_receiver->taskThread, m_thread);
        QCOMPARE(differingMembers(m_receiver->task, filledTask()), QStringList());
    }

    void biDataCrossesThreads()
    {
        Sender sender;
        connect(&sender, &Sender::sigBiData, m_receiver, &Receiver::takeBiData,
                Qt::QueuedConnection);
        const DownloadStateBiData sent = filledBiData();
        emit sender.sigBiData(sent);
        QTRY_COMPARE(m_receiver->biDataReceived.load(), 1);
        QMutexLocker locker(&m_receiver->mutex);
        QCOMPARE(m_receiver->biDataThread, m_thread);
        QCOMPARE(biDataTexts(m_receiver->biData), biDataTexts(sent));
        QCOMPARE(m_receiver->biData.httpType, 2);
    }

    // Every history writer and statistics sender of the engine starts from
    // these; a member taken from the wrong task field corrupts every row.
    void builderTakesEachColumnFromItsTaskField()
    {
        const Apt_Task task = filledTask();
        const ApplicationHistoryRow row = AppStore::TaskRecordBuilder::historyRow(task, "3");
        QCOMPARE((QStringList{row.packageName,     row.version,         row.path,
                              row.operation,       row.content,         row.result,
                              row.appName,         row.iconUrl,         row.appSize,
                              row.externColumnOne, row.externColumnTwo, row.packageMode,
                              row.channelData,     row.channelId,       row.downloadLink,
                              row.sh256,           row.fileSize,        row.isSpecificPkg,
                              row.sessionId,       row.appType,         row.ownerRole,
                              row.pkgInstallMode}),
                 (QStringList{"demo-editor",
                              "2.1-3",
                              "0",
                              "3",
                              "5000000000",
                              "0",
                              "Editor",
                              "https://127.0.0.1/icon.png",
                              "6000000000",
                              "",
                              "",
                              "2",
                              "{\"c\":1}",
                              "42",
                              "https://127.0.0.1/demo-editor.deb",
                              "abc123",
                              "6000000000",
                              "1",
                              "session-9",
                              "12",
                              "3",
                              "2"}));
        QVERIFY(QDateTime::fromString(row.time, QStringLiteral("yyyy-MM-dd hh:mm:ss")).isValid());

        const DownloadStateBiData data =
            AppStore::TaskRecordBuilder::statisticsRecord(task, "43", "506", "detail");
        DownloadStateBiData expected;
        expected.package_name = task.packageName;
        expected.type = QStringLiteral("43");
        expected.package_version = task.version;
        expected.session_id = task.sessionId;
        expected.code = QStringLiteral("506");
        expected.content = QStringLiteral("detail");
        QCOMPARE(biDataTexts(data), biDataTexts(expected));
    }

private:
    QThread *m_thread = nullptr;
    Receiver *m_receiver = nullptr;
};

QTEST_GUILESS_MAIN(TestTaskRecords)
#include "tst_task_records.moc"
