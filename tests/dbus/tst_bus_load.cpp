#include "daemon_under_test.h"
#include "local_https_server.h"
#include "other_user_client.h"
#include "private_system_bus.h"
#include "server_process.h"
#include "store_test_setup.h"
#include "system_file_guard.h"
#include "test_env.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <functional>
#include <memory>
#include <vector>

using AppStore::ProcessRunner;

namespace {

QDBusMessage method(const QString &name, const QVariantList &arguments = {})
{
    return DaemonUnderTest::methodCall(name, arguments);
}

// How long root waits for an answer (a plain build of the daemon), the store
// client's own time-out: root may wait its turn behind a busy machine, but a
// daemon held up by callers does not answer within it.
constexpr int kAnswerLimitMs = 5000;
// The daemon's memory once the load has gone, far above what it needs and
// far below what a queue that kept growing would take; a sanitized build
// keeps freed memory aside and is not held to it.
constexpr qint64 kMemoryBoundKiB = 200 * 1024;
// nobody sits at the seat; uids 1 to 4 are other users.
constexpr uid_t kSeatUid = 65534;
const QString kStoreQuery = QStringLiteral("/store-dist-app/getAppBriefInfo");

qint64 residentKiB(qint64 pid)
{
    const QByteArray status = TestEnv::readFile(QStringLiteral("/proc/%1/status").arg(pid));
    for (const QByteArray &line : status.split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

} // namespace

// The real daemon under the load of local users who are not at the seat, on
// a bus with the system bus's limits: root is answered, neither refused nor
// left without an answer, throughout and once they have gone, however they
// mix their calls.
class TestBusLoad : public QObject
{
    Q_OBJECT

private:
    PrivateSystemBus m_bus;
    ServerProcess m_login1;
    LocalHttpsServer m_store;
    std::unique_ptr<SystemFileGuard> m_guard;
    std::unique_ptr<DaemonUnderTest> m_daemon;
    std::unique_ptr<OtherUserClient> m_other;

    // Root's "GetAgreeState" every 250 ms while busy() holds, then once more:
    // each is answered, none refused or left without an answer.
    void probeRootWhile(const std::function<bool()> &busy)
    {
        const int limitMs = kAnswerLimitMs * TestEnv::slowdown();
        int probes = 0;
        do {
            QTest::qWait(250);
            QElapsedTimer timer;
            timer.start();
            const QDBusMessage reply = QDBusConnection::systemBus().call(
                method(QStringLiteral("GetAgreeState")), QDBus::BlockWithGui, limitMs);
            ++probes;
            QVERIFY2(reply.type() == QDBusMessage::ReplyMessage,
                     qPrintable(QStringLiteral("probe %1: %2 after %3 ms")
                                    .arg(probes)
                                    .arg(reply.errorMessage())
                                    .arg(timer.elapsed())));
        } while (busy());
    }

    // The clients of uid, each with its arguments, started side by side.
    std::vector<std::unique_ptr<ProcessRunner>> startClients(uid_t uid,
                                                             const QList<QStringList> &runs)
    {
        std::vector<std::unique_ptr<ProcessRunner>> clients;
        for (const QStringList &arguments : runs) {
            clients.push_back(std::make_unique<ProcessRunner>());
            if (!clients.back()->start(m_other->spec(uid, arguments)))
                qWarning() << "not started:" << clients.back()->result().errorText();
        }
        return clients;
    }

    static bool anyRuns(const std::vector<std::unique_ptr<ProcessRunner>> &clients)
    {
        for (const auto &client : clients)
            if (client->isRunning())
                return true;
        return false;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_guard = std::make_unique<SystemFileGuard>(
            DaemonUnderTest::statePaths() +
            QStringList{QStringLiteral("/etc/velkor/velkor-app-store")});
        QVERIFY2(m_guard->isValid(), qPrintable(m_guard->errorString()));
        QVERIFY2(m_store.start(), qPrintable(m_store.errorString()));
        m_bus.allowService(QStringLiteral("org.freedesktop.login1"));
        QVERIFY2(!m_bus.start().isEmpty(), qPrintable(m_bus.errorString()));
        QVERIFY(m_bus.openToAllUsers());
        QVERIFY2(m_login1.start(qEnvironmentVariable("TWK_LOGIN1_STANDIN"),
                                {QStringLiteral("seat"), QString::number(kSeatUid)},
                                m_bus.environment()),
                 qPrintable(m_login1.errorString()));
        m_other = std::make_unique<OtherUserClient>(m_bus);
        QVERIFY(m_other->isValid());
        m_daemon = std::make_unique<DaemonUnderTest>(m_bus);
        const QStringList storeEnvironment = StoreTestSetup::daemonEnvironment(m_store);
        QVERIFY(!storeEnvironment.isEmpty());
        m_daemon->addEnvironment(storeEnvironment);
        QVERIFY2(m_daemon->start(), qPrintable(m_daemon->logLines().join(u'\n')));
    }

    void cleanupTestCase()
    {
        m_daemon.reset();
        m_login1.stop();
        m_bus.stop();
        if (m_guard)
            QVERIFY2(m_guard->restore(), qPrintable(m_guard->errorString()));
    }

    // One user's open queries over several connections, each of which runs
    // a tool or reads the published list: the log grows by a few lines.
    void openQueriesOfOneUserWriteAFewLines()
    {
        const auto logged = [this] {
            qsizetype bytes = 0;
            for (const QString &line : m_daemon->logLines())
                bytes += line.size() + 1;
            return bytes;
        };
        // The start-up work's lines first.
        for (qsizetype seen = -1; seen != m_daemon->logLines().size();) {
            seen = m_daemon->logLines().size();
            QTest::qWait(2000);
        }
        const qsizetype before = logged();
        const qsizetype firstLine = m_daemon->logLines().size();
        QList<QStringList> queries;
        for (int i = 0; i < 4; ++i) {
            queries << QStringList{QStringLiteral("--await"), QStringLiteral("--send"),
                                   QStringLiteral("64"),
                                   QStringLiteral("GetLocalOnTheShelvesAppInfo")};
            queries << QStringList{QStringLiteral("--await"), QStringLiteral("--send"),
                                   QStringLiteral("64"), QStringLiteral("GetLocalPackageInfo"),
                                   QStringLiteral("s:dpkg")};
        }
        const auto clients = startClients(1, queries);
        QVERIFY(TestEnv::waitFor([&] { return !anyRuns(clients); }, 120000));
        for (const auto &client : clients)
            QVERIFY2(client->result().outputText().contains(
                         QLatin1String("answers: 64 replies, 0 unanswered\n")),
                     qPrintable(client->result().outputText()));
        QTest::qWait(500);
        const qsizetype grown = logged() - before;
        QVERIFY2(grown < 4096, qPrintable(m_daemon->logLines().mid(firstLine, 20).join(u'\n')));
    }

    // A fresh connection's first call is refused for its size; the next calls
    // of that connection are answered as if it had not come.
    void refusedFirstCallLeavesNothingBehind()
    {
        QDBusConnection fresh =
            QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("fresh"));
        const QDBusMessage huge =
            fresh.call(method(QStringLiteral("GetPackageLatestList"),
                              {QStringList(1000, QString(9000, u'a')), false}),
                       QDBus::BlockWithGui, 5000);
        QCOMPARE(huge.errorName(), QStringLiteral("org.freedesktop.DBus.Error.LimitsExceeded"));
        const QDBusMessage later =
            fresh.call(method(QStringLiteral("GetLocalPackageInfo"), {QStringLiteral("dpkg")}),
                       QDBus::BlockWithGui, 5000);
        QVERIFY2(later.arguments().value(0).toString().contains(QLatin1String("dpkg")),
                 qPrintable(later.errorMessage()));
        QCOMPARE(fresh
                     .call(method(QStringLiteral("GetAgreeState")), QDBus::BlockWithGui,
                           kAnswerLimitMs * TestEnv::slowdown())
                     .type(),
                 QDBusMessage::ReplyMessage);
    }

    // A user's share is counted in the bytes its calls took on the wire: a
    // list of three-byte characters beyond it is refused, one of ASCII
    // within it is worked, though their decoded forms are the other way
    // round.
    void sharesAreCountedOnTheWire()
    {
        QDBusConnection fresh =
            QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("wire"));
        const auto ask = [&fresh](QChar character, int length) {
            return fresh.call(method(QStringLiteral("GetPackageLatestList"),
                                     {QStringList(1000, QString(length, character)), false}),
                              QDBus::BlockWithGui, 20000);
        };
        QCOMPARE(ask(QChar(0x4e00), 3300).errorName(),
                 QStringLiteral("org.freedesktop.DBus.Error.LimitsExceeded"));
        const QDBusMessage ascii = ask(u'a', 5000);
        QVERIFY2(ascii.type() == QDBusMessage::ReplyMessage, qPrintable(ascii.errorMessage()));
    }

    // A fresh connection reads the published list and changes it without
    // waiting: the read is worked first and does not see the change.
    void oneSendersCallsRunInTheirOrder()
    {
        QDBusConnection fresh =
            QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("order"));
        const QString record =
            QString::fromUtf8(QJsonDocument(QJsonObject{{QStringLiteral("package_name"),
                                                         QStringLiteral("twk-test-order")}})
                                  .toJson(QJsonDocument::Compact));
        const QDBusPendingCall read =
            fresh.asyncCall(method(QStringLiteral("GetLocalOnTheShelvesAppInfo")));
        const QDBusPendingCall change = fresh.asyncCall(
            method(QStringLiteral("OperateLocalOnTheShelvesAppDb"), {0, QStringList{record}}));
        QVERIFY(TestEnv::waitFor([&] { return read.isFinished() && change.isFinished(); }, 10000));
        QCOMPARE(change.reply().type(), QDBusMessage::ReplyMessage);
        QVERIFY(!read.reply().arguments().value(0).toStringList().join(u' ').contains(
            QLatin1String("twk-test-order")));
        const QDBusMessage after = fresh.call(method(QStringLiteral("GetLocalOnTheShelvesAppInfo")),
                                              QDBus::BlockWithGui, 10000);
        QVERIFY(after.arguments().value(0).toStringList().join(u' ').contains(
            QLatin1String("twk-test-order")));
    }

    // Three users, each within its share: slow calls, then a list of names
    // of three-byte characters that is beyond a share on the wire (though
    // not in its decoded form).
    void usersWithinTheirSharesLeaveRootAnswered()
    {
        const QString names = m_other->writeReadable(
            QStringLiteral("wide-names"),
            QByteArray(QString(8380, QChar(0x4e00)).toUtf8() + '\n').repeated(1000));
        QList<QStringList> slow;
        QList<QStringList> big;
        for (int user = 0; user < 3; ++user) {
            slow << QStringList{QStringLiteral("--await"), QStringLiteral("--send"),
                                QStringLiteral("100"), QStringLiteral("GetLocalPackageList")};
            big << QStringList{QStringLiteral("--await"),
                               QStringLiteral("--send"),
                               QStringLiteral("1"),
                               QStringLiteral("GetPackageLatestList"),
                               QStringLiteral("aslines:") + names,
                               QStringLiteral("b:false")};
        }
        std::vector<std::unique_ptr<ProcessRunner>> clients;
        for (uid_t uid = 1; uid <= 3; ++uid) {
            auto slowOnes = startClients(uid, {slow.at(int(uid) - 1)});
            auto bigOnes = startClients(uid, {big.at(int(uid) - 1)});
            for (auto *runs : {&slowOnes, &bigOnes})
                for (auto &client : *runs)
                    clients.push_back(std::move(client));
        }
        probeRootWhile([&] { return anyRuns(clients); });
        if (QTest::currentTestFailed())
            return;
        for (const auto &client : clients)
            if (client->result().outputText().contains(QLatin1String("Limits")))
                return;
        QFAIL("no list beyond a share was refused");
    }

    // One user not at the seat: two connections listen to the daemon's
    // signals and never read, four flood open calls whose every answer is
    // announced to all. Root is answered throughout and once they have gone,
    // the daemon's memory is back within a bound, and a listener that reads
    // learnt each answer about once a second.
    void listenersThatNeverReadAndAFloodLeaveNothingStuck()
    {
        const auto listeners = startClients(1, {{QStringLiteral("--listen")},
                                                {QStringLiteral("--listen")},
                                                {QStringLiteral("--watch")}});
        QVERIFY(TestEnv::waitFor(
            [&] {
                return std::all_of(listeners.cbegin(), listeners.cend(), [](const auto &listener) {
                    return listener->result().outputText().contains(QLatin1String("listening"));
                });
            },
            10000));
        const QStringList flood{QStringLiteral("--flood"), QStringLiteral("1000000"),
                                QStringLiteral("5")};
        const auto flooders =
            startClients(1, {flood + QStringList{QStringLiteral("GetConfigByNodeName"),
                                                 QStringLiteral("s:agreeSign")},
                             flood + QStringList{QStringLiteral("GetConfigByNodeName"),
                                                 QStringLiteral("s:agreeSign")},
                             flood + QStringList{QStringLiteral("getLocalUpgradeCheckStatus")},
                             flood + QStringList{QStringLiteral("IsQSMainBoard")}});
        probeRootWhile([&] { return anyRuns(flooders); });
        if (QTest::currentTestFailed())
            return;
        for (const auto &listener : listeners) {
            ::kill(pid_t(listener->processId()), SIGKILL);
            ::kill(pid_t(listener->processId()), SIGCONT);
        }
        const AppStore::ProcessResult reading = listeners.back()->waitForFinished();
        for (const QLatin1String signal : {QLatin1String("sigConfigNodeStatusChanged"),
                                           QLatin1String("sigGetLocalUpgradeCheckStatus"),
                                           QLatin1String("sigGetIsQSMotherBoard")}) {
            const qsizetype announced =
                reading.outputText().count(QLatin1String("signal ") + signal + u'\n');
            QVERIFY2(announced > 0 && announced < 20,
                     qPrintable(signal + u' ' + QString::number(announced)));
        }
        QTest::qWait(1000);
        probeRootWhile([] { return false; });
        if (QTest::currentTestFailed())
            return;
        const qint64 resident = residentKiB(m_daemon->processId());
        QVERIFY2(resident > 0 && (resident < kMemoryBoundKiB || TestEnv::slowdown() > 1),
                 qPrintable(QString::number(resident)));
    }

    // One user floods the introspection, which costs nothing to answer,
    // without asking for answers: root is answered throughout, and what the
    // daemon read of the flood and has not yet worked stays bounded.
    void introspectionFloodLeavesRootAnswered()
    {
        QList<QStringList> floods;
        for (int i = 0; i < 4; ++i)
            floods << QStringList{QStringLiteral("--flood"), QStringLiteral("10000000"),
                                  QStringLiteral("10"),
                                  QStringLiteral("org.freedesktop.DBus.Introspectable.Introspect")};
        const auto flooders = startClients(1, floods);
        qint64 peak = 0;
        probeRootWhile([&] {
            peak = std::max(peak, residentKiB(m_daemon->processId()));
            return anyRuns(flooders);
        });
        QVERIFY2(peak > 0 && (peak < kMemoryBoundKiB || TestEnv::slowdown() > 1),
                 qPrintable(QString::number(peak)));
    }

    // Four users not at the seat each keep their share held: a latest list
    // that waits for the store holds up their thread, their other calls
    // wait behind it. Root's checked call and the seat user's long call, on
    // fresh connections, are taken all the same.
    void usersHoldingTheirSharesLeaveRootRoom()
    {
        LocalHttpsServer::Route stalled;
        stalled.body = "{}";
        stalled.stallSeconds = 60;
        QVERIFY(m_store.setRoute(kStoreQuery, stalled));
        QStringList names;
        for (int i = 0; i < 1000; ++i)
            names << QStringLiteral("twk-test-held%1").arg(i);
        const QString namesFile =
            m_other->writeReadable(QStringLiteral("held-names"), names.join(u'\n').toUtf8());
        std::vector<std::unique_ptr<ProcessRunner>> holders;
        const auto hold = [&](uid_t uid, const QStringList &arguments) {
            for (auto &holder : startClients(uid, {arguments}))
                holders.push_back(std::move(holder));
        };
        const qsizetype asked = m_store.requestLog().size();
        for (uid_t uid = 1; uid <= 4; ++uid)
            hold(uid, {QStringLiteral("--hold"), QStringLiteral("--send"), QStringLiteral("1"),
                       QStringLiteral("GetPackageLatestList"),
                       QStringLiteral("aslines:") + namesFile, QStringLiteral("b:false")});
        QVERIFY(TestEnv::waitFor([&] { return m_store.requestLog().size() >= asked + 4; },
                                 60000 * TestEnv::slowdown()));
        for (uid_t uid = 1; uid <= 4; ++uid)
            for (int connection = 0; connection < 8; ++connection)
                hold(uid,
                     {QStringLiteral("--hold"), QStringLiteral("--send"), QStringLiteral("128"),
                      QStringLiteral("GetLocalPackageInfo"), QStringLiteral("s:twk-test-none")});
        // Each user's share is full once a call more of it is refused.
        QString answer;
        for (uid_t uid = 1; uid <= 4; ++uid)
            QVERIFY2(TestEnv::waitFor(
                         [&] {
                             answer =
                                 m_other->run(uid, {QStringLiteral("WakeUpDaemon")}).outputText();
                             return answer.contains(QLatin1String("LimitsExceeded"));
                         },
                         60000 * TestEnv::slowdown()),
                     qPrintable(QString::number(uid) + u' ' + answer.left(200)));
        const QDBusMessage root =
            QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("kept"))
                .call(method(QStringLiteral("WakeUpDaemon")), QDBus::BlockWithGui,
                      kAnswerLimitMs * TestEnv::slowdown());
        const QString seatUser =
            m_other
                ->run(kSeatUid, {QStringLiteral("GetLocalPackageInfo"), QStringLiteral("s:dpkg")})
                .outputText();
        // The lists end at once, and the held calls are worked.
        LocalHttpsServer::Route gone;
        gone.drop = true;
        m_store.setRoute(kStoreQuery, gone);
        for (const auto &holder : holders)
            holder->kill();
        QVERIFY2(root.type() == QDBusMessage::ReplyMessage, qPrintable(root.errorMessage()));
        QVERIFY2(seatUser.contains(QLatin1String("reply:")) &&
                     seatUser.contains(QLatin1String("dpkg")),
                 qPrintable(seatUser.left(200)));
        QVERIFY(TestEnv::waitFor(
            [&] {
                return !m_other->run(1, {QStringLiteral("WakeUpDaemon")})
                            .outputText()
                            .contains(QLatin1String("LimitsExceeded"));
            },
            120000 * TestEnv::slowdown()));
    }

    // 100,000 calls of a method that checks its caller, from a user not at
    // the seat: each is refused, and none holds up root.
    void refusedCheckedCallsHoldUpNoOne()
    {
        QList<QStringList> floods;
        for (int i = 0; i < 8; ++i)
            floods << QStringList{
                QStringLiteral("--flood"),    QStringLiteral("12500"),
                QStringLiteral("30"),         QStringLiteral("SetConfigByNodeName"),
                QStringLiteral("s:onNotice"), QStringLiteral("s:7")};
        const auto flooders = startClients(1, floods);
        probeRootWhile([&] { return anyRuns(flooders); });
        if (QTest::currentTestFailed())
            return;
        const QDBusMessage notice = QDBusConnection::systemBus().call(
            method(QStringLiteral("GetConfigByNodeName"), {QStringLiteral("onNotice")}));
        QVERIFY(notice.arguments().value(0).toString() != QLatin1String("7"));
        // The same call, answered: a refusal, not a flood that never came.
        const AppStore::ProcessResult asked =
            m_other->run(1, {QStringLiteral("SetConfigByNodeName"), QStringLiteral("s:onNotice"),
                             QStringLiteral("s:7")});
        QVERIFY2(asked.outputText().contains(QLatin1String("AccessDenied")),
                 qPrintable(asked.outputText()));
    }

    // The lines left out within a minute still open are counted at the stop.
    void stopTellsWhatWasLeftOut()
    {
        QCOMPARE(::kill(pid_t(m_daemon->processId()), SIGTERM), 0);
        QVERIFY(TestEnv::waitFor([this] { return !m_daemon->isRunning(); }, 20000));
        QVERIFY2(!m_daemon->logLines().filter(QStringLiteral("caused by uid 1")).isEmpty(),
                 qPrintable(m_daemon->logLines().mid(m_daemon->logLines().size() - 5).join(u'\n')));
    }
};

QTEST_GUILESS_MAIN(TestBusLoad)
#include "tst_bus_load.moc"
