#include "daemon_under_test.h"
#include "other_user_client.h"
#include "private_system_bus.h"
#include "server_process.h"
#include "test_env.h"

#include "dbus/broadcast_outbox.h"
#include "dbus/bus_bounds.h"
#include "dbus/bus_call_queue.h"
#include "dbus/bus_connection_limits.h"
#include "dbus/bus_watchdog.h"
#include "task/task_manager.h"
#include "utils/process_runner.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

namespace {

// The user at the seat; uids 1 to 4 are others.
constexpr uid_t kSeatUid = 5;
// Low, so that a burst pauses the connection's reading on every round.
constexpr qint64 kReceiveLimit = 1024 * 1024;
constexpr int kWatchdogPeriodMs = 20;

QDBusMessage method(const QString &name, const QVariantList &arguments = {})
{
    return DaemonUnderTest::methodCall(name, arguments);
}

// Runs the application's event loop until the idle exit quits it (true) or
// limitMs pass.
bool quitsWithin(int limitMs)
{
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    limit.start(limitMs);
    return QCoreApplication::exec() == 0;
}

} // namespace

// Counts the signals it hears.
class Listener : public QObject
{
    Q_OBJECT
public:
    explicit Listener(std::function<void()> onHeard)
        : m_onHeard(std::move(onHeard))
    {}
public Q_SLOTS:
    void heard() { m_onHeard(); }

private:
    std::function<void()> m_onHeard;
};

// Stands in for the daemon's object: calls answered at once on the main
// thread, which frees their messages there, and calls answered late through
// the queue.
class Answering : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tarnwick.daemon.interface")
public:
    AppStore::BusCallQueue queue;
    std::atomic<int> slowCallsStarted{0};
    std::atomic<int> tabCallsWorked{0};
    std::atomic<int> lateCallsStarted{0};
    // The held calls wait until the case lets them go, however slowly the
    // machine starts their callers.
    std::atomic<bool> heldCallsGo{false};
    std::atomic<int> heldCallsInWork{0};
    int requestsTaken = 0;
    int bigAnswers = 0;
    bool lateCallCame = false;
    bool answeredLate = false;

Q_SIGNALS:
    Q_SCRIPTABLE void sigConfigNodeStatusChanged(QString nodeName, QString currentStatus);
    // Not for the bus.
    void sigInternal(QString text);

public Q_SLOTS:
    Q_SCRIPTABLE QString GetAgreeState()
    {
        return queue.now<QString>(*this, [] { return QStringLiteral("1"); });
    }
    // Whatever it is sent, answered at once.
    Q_SCRIPTABLE QString GetConfigByNodeName(const QString &) { return {}; }
    // Held in work until the case lets it go, for what takes most of a share.
    Q_SCRIPTABLE QStringList GetLocalPackageList(const QString &)
    {
        return queue.late<QStringList>(*this, AppStore::CallerLevel::Open, [this] {
            ++lateCallsStarted;
            ++heldCallsInWork;
            for (int waited = 0; !heldCallsGo && waited < 120000; waited += 10)
                QThread::msleep(10);
            --heldCallsInWork;
            return QStringList();
        });
    }
    Q_SCRIPTABLE QString GetLocalPackageInfo(const QString &)
    {
        lateCallCame = true;
        return queue.late<QString>(
            *this, AppStore::CallerLevel::Open,
            [] {
                QThread::msleep(1500);
                return QStringLiteral("late");
            },
            [this](const QString &) { answeredLate = true; });
    }
    Q_SCRIPTABLE QStringList GetPackageDesktopFile(const QString &)
    {
        return queue.late<QStringList>(*this, AppStore::CallerLevel::Open, [this] {
            ++slowCallsStarted;
            QThread::msleep(1000);
            return QStringList{QStringLiteral("slow")};
        });
    }
    // A request, worked once its caller is admitted.
    Q_SCRIPTABLE void IntallPackage(const QString &, const QString &)
    {
        queue.checked(*this, AppStore::CallerLevel::Checked,
                      [this](const AppStore::BusCaller &) { ++requestsTaken; });
    }
    // A big answer, at once.
    Q_SCRIPTABLE QString getNiceAndPriority()
    {
        return queue.now<QString>(*this, [this] {
            ++bigAnswers;
            return QString(1024 * 1024, u'r');
        });
    }
    Q_SCRIPTABLE bool getTabInfoIsEmpty(const QString &)
    {
        return queue.late<bool>(*this, AppStore::CallerLevel::Open, [this] {
            ++tabCallsWorked;
            return true;
        });
    }
};

// The daemon's call queue and watchdog on a bus connection of this process:
// a call in work keeps the idle exit off, the connection is read however
// callers pause it, and the questions about a caller are answered while
// they do.
class TestBusCallQueue : public QObject
{
    Q_OBJECT

private:
    PrivateSystemBus m_bus;
    ServerProcess m_login1;
    Answering m_object;
    QTemporaryDir m_dir;

    AppStore::ProcessSpec client(const QStringList &arguments) const
    {
        AppStore::ProcessSpec spec;
        spec.program = qEnvironmentVariable("TWK_TEST_CLIENT");
        spec.arguments = arguments;
        spec.environmentMode = AppStore::ProcessSpec::Environment::Extend;
        spec.environment = m_bus.environment();
        spec.timeoutMs = 20000;
        return spec;
    }

private Q_SLOTS:
    void initTestCase()
    {
        // Root may read what the bus holds for a connection.
        m_bus.addPolicy(QStringLiteral("<policy user=\"root\"><allow send_destination="
                                       "\"org.freedesktop.DBus\" send_interface="
                                       "\"org.freedesktop.DBus.Debug.Stats\"/></policy>"));
        m_bus.allowService(QStringLiteral("org.freedesktop.login1"));
        QVERIFY2(!m_bus.start().isEmpty(), qPrintable(m_bus.errorString()));
        QVERIFY(m_bus.openToAllUsers());
        QVERIFY2(m_login1.start(qEnvironmentVariable("TWK_LOGIN1_STANDIN"),
                                {QStringLiteral("seat"), QString::number(kSeatUid)},
                                m_bus.environment()),
                 qPrintable(m_login1.errorString()));
        QDBusConnection bus = QDBusConnection::systemBus();
        AppStore::BusConnectionLimits::setReceiveLimit(bus, kReceiveLimit);
        QVERIFY(bus.registerObject(QStringLiteral("/appstore"), &m_object,
                                   QDBusConnection::ExportScriptableSlots |
                                       QDBusConnection::ExportScriptableSignals));
        QVERIFY(
            AppStore::BroadcastOutbox::takeOver(bus, &m_object, QStringLiteral("/appstore"),
                                                QStringLiteral("com.tarnwick.daemon.interface")));
        QVERIFY(bus.registerService(QStringLiteral("com.tarnwick.daemon")));
        AppStore::BusWatchdog::watch(bus, kWatchdogPeriodMs);
    }

    // A case that changed the connection's receive limit hands on the one
    // the daemon sets, also when it failed half way.
    void cleanup()
    {
        AppStore::BusConnectionLimits::setReceiveLimit(QDBusConnection::systemBus(), kReceiveLimit);
        m_object.heldCallsGo = true;
        QVERIFY(TestEnv::waitFor([this] { return m_object.heldCallsInWork == 0; }, 10000));
    }
    void init() { m_object.heldCallsGo = false; }

    void idleExitWaitsForTheCallInWork()
    {
        TaskManager::instance()->setClientExecutable(m_dir.filePath(QStringLiteral("none")));
        AppStore::ProcessRunner caller;
        QVERIFY(caller.start(
            client({QStringLiteral("GetLocalPackageInfo"), QStringLiteral("s:twk-test-none")})));
        // However slowly the client starts, the idle exit is armed only once
        // its call is here.
        QTRY_VERIFY_WITH_TIMEOUT(m_object.lateCallCame, 10000);
        TaskManager::instance()->setInterval(200);
        QVERIFY(quitsWithin(10000));
        QVERIFY(m_object.answeredLate);
        QCOMPARE(caller.waitForFinished().outputText().trimmed(), QStringLiteral("reply: late"));
        TaskManager::instance()->setInterval(600000);
    }

    // Rounds of a burst of calls with big arguments, answered at once, that
    // arrives while the main thread is busy: the bus thread reads past the
    // receive limit and pauses, the main thread frees the messages and the
    // bus library resumes from there. The connection is read after each.
    void readAfterEveryRoundOfAStallAndABurst()
    {
        QDBusConnection caller =
            QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("burst"));
        const QDBusMessage burst =
            method(QStringLiteral("GetConfigByNodeName"), {QString(200 * 1024, u'a')});
        for (int round = 0; round < 300; ++round) {
            for (int i = 0; i < 12; ++i)
                caller.asyncCall(burst);
            QThread::msleep(30);
            const QDBusPendingCall probe =
                caller.asyncCall(method(QStringLiteral("GetAgreeState")), 5000);
            QVERIFY2(TestEnv::waitFor([&probe] { return probe.isFinished(); }, 6000) &&
                         probe.reply().type() == QDBusMessage::ReplyMessage,
                     qPrintable(QStringLiteral("round %1").arg(round)));
        }
    }

    // A fresh connection's late call, read just before another user's calls
    // that are held and pause the connection: its caller's user is still
    // learnt at once, over the questions connection, and it is answered.
    void callerIsKnownWhileTheConnectionIsPaused()
    {
        OtherUserClient other(m_bus);
        QVERIFY(other.isValid());
        const QString name = other.writeReadable(QStringLiteral("name"), QByteArray(400000, 'a'));
        QDBusConnection fresh =
            QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("fresh"));
        const QDBusPendingCall asked =
            fresh.asyncCall(method(QStringLiteral("getTabInfoIsEmpty"), {QString()}), 10000);
        // The main thread is busy while the call and the flood arrive; the
        // flood's caller stays until its calls are answered.
        AppStore::ProcessRunner flood;
        QVERIFY(flood.start(other.spec(
            1, {QStringLiteral("--await"), QStringLiteral("--send"), QStringLiteral("5"),
                QStringLiteral("GetPackageDesktopFile"), QStringLiteral("sfile:") + name})));
        QThread::msleep(1500);
        QElapsedTimer answered;
        answered.start();
        QVERIFY(TestEnv::waitFor([&asked] { return asked.isFinished(); }, 10000));
        QVERIFY2(asked.reply().type() == QDBusMessage::ReplyMessage,
                 qPrintable(asked.error().message()));
        QVERIFY2(answered.elapsed() < 2000, qPrintable(QString::number(answered.elapsed())));
        QVERIFY(flood.waitForFinished().outputText().contains(
            QLatin1String("answers: 5 replies, 0 unanswered\n")));
    }

    // A flood of small calls, each answered at once, while the main thread
    // is busy: however little of the receive limit they take, once the main
    // thread is a few beats behind the connection is not read, and the bus
    // holds the rest until it has caught up.
    void floodWaitsAtTheBusWhileTheMainThreadIsBehind()
    {
        QDBusConnection bus = QDBusConnection::systemBus();
        AppStore::BusConnectionLimits::setReceiveLimit(bus, 512 * 1024 * 1024);
        OtherUserClient other(m_bus);
        QVERIFY(other.isValid());
        std::vector<std::unique_ptr<AppStore::ProcessRunner>> flooders;
        for (int i = 0; i < 4; ++i) {
            flooders.push_back(std::make_unique<AppStore::ProcessRunner>());
            QVERIFY(flooders.back()->start(other.spec(
                1, {QStringLiteral("--flood"), QStringLiteral("50000"), QStringLiteral("5"),
                    QStringLiteral("GetConfigByNodeName"), QStringLiteral("s:x")})));
        }
        QThread::msleep(1500);
        QDBusMessage stats = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus.Debug.Stats"),
            QStringLiteral("GetConnectionStats"));
        stats << bus.baseService();
        const QDBusMessage held =
            QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("stats"))
                .call(stats, QDBus::Block, 5000);
        const uint waiting = qdbus_cast<QVariantMap>(held.arguments().value(0))
                                 .value(QStringLiteral("OutgoingMessages"))
                                 .toUInt();
        QVERIFY2(waiting > 10000, qPrintable(QString::number(waiting) + held.errorMessage()));
        QVERIFY(TestEnv::waitFor(
            [&] {
                return std::none_of(flooders.cbegin(), flooders.cend(),
                                    [](const auto &flooder) { return flooder->isRunning(); });
            },
            30000));
        AppStore::BusConnectionLimits::setReceiveLimit(bus, kReceiveLimit);
        const QDBusPendingCall probe =
            QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("caught-up"))
                .asyncCall(method(QStringLiteral("GetAgreeState")), 5000);
        QVERIFY(TestEnv::waitFor([&probe] { return probe.isFinished(); }, 30000));
        QCOMPARE(probe.reply().type(), QDBusMessage::ReplyMessage);
    }

    // Root's callers that never read their big answers (root is never
    // refused for what it leaves unread): once the bus holds back what it
    // has for them, the calls wait and what this connection queues for the
    // bus stays within its bound; once they have gone, the others are
    // answered.
    void answersNobodyReadsStayBounded()
    {
        std::vector<std::unique_ptr<AppStore::ProcessRunner>> readers;
        for (int i = 0; i < 2; ++i) {
            readers.push_back(std::make_unique<AppStore::ProcessRunner>());
            QVERIFY(readers.back()->start(
                client({QStringLiteral("--stop"), QStringLiteral("--send"), QStringLiteral("100"),
                        QStringLiteral("getNiceAndPriority")})));
        }
        const QDBusConnection bus = QDBusConnection::systemBus();
        const int answered = m_object.bigAnswers;
        qint64 most = 0;
        // However slowly the readers start, the calls have all come once
        // they have stopped, and the answers a while after.
        const auto stopped = [&readers] {
            return std::all_of(readers.cbegin(), readers.cend(), [](const auto &reader) {
                const QByteArray stat =
                    TestEnv::readFile(QStringLiteral("/proc/%1/stat").arg(reader->processId()));
                return stat.mid(stat.lastIndexOf(')') + 2, 1) == "T";
            });
        };
        QElapsedTimer watching;
        watching.start();
        while (!stopped() && watching.elapsed() < 60000 * TestEnv::slowdown()) {
            most = qMax(most, AppStore::BusConnectionLimits::outgoingBytes(bus));
            QTest::qWait(10);
        }
        watching.start();
        while (watching.elapsed() < 3000) {
            most = qMax(most, AppStore::BusConnectionLimits::outgoingBytes(bus));
            QTest::qWait(10);
        }
        QVERIFY(m_object.bigAnswers > answered);
        QVERIFY2(most < 2 * AppStore::BusBounds::kMaxOutgoingBytes,
                 qPrintable(QString::number(most)));
        for (const auto &reader : readers)
            reader->kill();
        const QDBusPendingCall probe =
            QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("after"))
                .asyncCall(method(QStringLiteral("GetAgreeState")), 5000);
        QVERIFY(TestEnv::waitFor([&probe] { return probe.isFinished(); }, 6000));
        QCOMPARE(probe.reply().type(), QDBusMessage::ReplyMessage);
    }

    // Users not at the seat together never take the room kept for root and
    // the seat's user: once they hold all the rest, a call more of theirs is
    // refused, while root and the seat's user, on fresh connections, are
    // still taken.
    void rootAndTheSeatUserKeepTheirRoom()
    {
        QDBusConnection bus = QDBusConnection::systemBus();
        AppStore::BusConnectionLimits::setReceiveLimit(bus, 128 * 1024 * 1024);
        OtherUserClient other(m_bus);
        QVERIFY(other.isValid());
        const auto held = [&other](const QString &name, qsizetype bytes) {
            return QStringList{QStringLiteral("--await"), QStringLiteral("--send"),
                               QStringLiteral("1"), QStringLiteral("GetLocalPackageList"),
                               QStringLiteral("sfile:") +
                                   other.writeReadable(name, QByteArray(bytes, 'a'))};
        };
        const QStringList seven = held(QStringLiteral("seven"), 7 << 20);
        const QStringList three = held(QStringLiteral("three"), 3 << 20);
        const int started = m_object.lateCallsStarted;
        std::vector<std::unique_ptr<AppStore::ProcessRunner>> users;
        // One after another, each in work before the next comes.
        for (uid_t uid = 1; uid <= 4; ++uid) {
            users.push_back(std::make_unique<AppStore::ProcessRunner>());
            QVERIFY(users.back()->start(other.spec(uid, seven)));
            QVERIFY(TestEnv::waitFor(
                [&] {
                    return m_object.lateCallsStarted - started == int(uid) ||
                           !users.back()->isRunning();
                },
                60000 * TestEnv::slowdown()));
        }
        const auto answered = [&users] {
            return std::count_if(users.cbegin(), users.cend(),
                                 [](const auto &user) { return !user->isRunning(); });
        };
        QVERIFY(TestEnv::waitFor(
            [&] { return answered() == 1 && m_object.lateCallsStarted - started == 3; },
            60000 * TestEnv::slowdown()));
        AppStore::ProcessRunner seatUser;
        QVERIFY(seatUser.start(other.spec(kSeatUid, three)));
        QVERIFY(TestEnv::waitFor([&] { return m_object.lateCallsStarted - started == 4; },
                                 60000 * TestEnv::slowdown()));
        const QDBusPendingCall root =
            QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("root"))
                .asyncCall(method(QStringLiteral("GetLocalPackageList"), {QString(3 << 20, u'a')}),
                           120000);
        QVERIFY(TestEnv::waitFor([&] { return m_object.lateCallsStarted - started == 5; },
                                 60000 * TestEnv::slowdown()));
        m_object.heldCallsGo = true;
        QVERIFY(TestEnv::waitFor([&root] { return root.isFinished(); }, 30000));
        QVERIFY2(!root.isError(), qPrintable(root.error().message()));
        QVERIFY(seatUser.waitForFinished().outputText().contains(QLatin1String("1 replies")));
        QVERIFY(TestEnv::waitFor([&] { return answered() == 4; }, 30000));
        QCOMPARE(std::count_if(users.cbegin(), users.cend(),
                               [](const auto &user) {
                                   return user->result().outputText().contains(
                                       QLatin1String("LimitsExceeded"));
                               }),
                 1);
    }

    // A call whose caller has gone before the bus daemon could tell its user
    // is answered with an error, not worked for some user or other.
    void callOfAnUnknownUserIsNotWorked()
    {
        OtherUserClient other(m_bus);
        QVERIFY(other.isValid());
        const int worked = m_object.tabCallsWorked;
        AppStore::ProcessRunner gone;
        QVERIFY(
            gone.start(other.spec(1, {QStringLiteral("--send"), QStringLiteral("1"),
                                      QStringLiteral("getTabInfoIsEmpty"), QStringLiteral("s:")})));
        // The caller leaves before its call is looked at.
        QThread::msleep(1000);
        QVERIFY(gone.waitForFinished().succeeded());
        QTest::qWait(1000);
        QCOMPARE(int(m_object.tabCallsWorked), worked);
    }

    // Broadcasts while the bus takes none of this connection's messages (a
    // listener that does not read holds what the bus keeps for it): they
    // wait or are dropped, and what the connection queues stays bounded.
    void broadcastsNobodyTakesStayBounded()
    {
        OtherUserClient other(m_bus);
        QVERIFY(other.isValid());
        AppStore::ProcessRunner listener;
        QVERIFY(listener.start(other.spec(1, {QStringLiteral("--listen")})));
        QVERIFY(TestEnv::waitFor(
            [&] { return listener.result().outputText().contains(QLatin1String("listening")); },
            10000));
        const QString value(32 * 1024, u'v');
        for (int i = 0; i < 6000; ++i)
            Q_EMIT m_object.sigConfigNodeStatusChanged(QString::number(i), value);
        const QDBusConnection bus = QDBusConnection::systemBus();
        qint64 most = 0;
        QElapsedTimer watching;
        watching.start();
        while (watching.elapsed() < 4000) {
            most = qMax(most, AppStore::BusConnectionLimits::outgoingBytes(bus));
            QTest::qWait(10);
        }
        listener.kill();
        QVERIFY2(most > 0 && most < 2 * AppStore::BusBounds::kMaxOutgoingBroadcastBytes,
                 qPrintable(QString::number(most)));
    }

    // A fresh connection of a user who holds most of its share: the calls
    // beyond the share are refused once its user is known, and only the one
    // within it is worked, though they came mixed.
    void callsBeyondTheShareAreRefusedWhereverTheyStand()
    {
        // Each refusal is logged as the caller's user's, not root's.
        QTest::failOnWarning(QRegularExpression(QStringLiteral("refused a call of uid 0")));
        OtherUserClient other(m_bus);
        QVERIFY(other.isValid());
        const QString most = other.writeReadable(QStringLiteral("most"), QByteArray(7 << 20, 'a'));
        const QString more = other.writeReadable(QStringLiteral("more"), QByteArray(2 << 20, 'a'));
        QDBusConnection bus = QDBusConnection::systemBus();
        AppStore::BusConnectionLimits::setReceiveLimit(bus, 128 * 1024 * 1024);
        const int held = m_object.lateCallsStarted;
        AppStore::ProcessRunner holder;
        QVERIFY(holder.start(other.spec(
            1, {QStringLiteral("--await"), QStringLiteral("--send"), QStringLiteral("1"),
                QStringLiteral("GetLocalPackageList"), QStringLiteral("sfile:") + most})));
        const int started = m_object.slowCallsStarted;
        QVERIFY(TestEnv::waitFor([&] { return m_object.lateCallsStarted > held; },
                                 10000 * TestEnv::slowdown()));
        AppStore::ProcessRunner mixedCaller;
        QVERIFY(mixedCaller.start(other.spec(
            1, {QStringLiteral("--await"), QStringLiteral("--send"), QStringLiteral("1"),
                QStringLiteral("GetPackageDesktopFile"), QStringLiteral("sfile:") + more,
                QStringLiteral("--then"), QStringLiteral("--send"), QStringLiteral("1"),
                QStringLiteral("GetAgreeState"), QStringLiteral("--then"), QStringLiteral("--send"),
                QStringLiteral("1"), QStringLiteral("GetPackageDesktopFile"),
                QStringLiteral("sfile:") + more})));
        // All three come while the first caller's call is still in work.
        const AppStore::ProcessResult mixed = mixedCaller.waitForFinished();
        m_object.heldCallsGo = true;
        holder.waitForFinished();
        QVERIFY2(
            mixed.outputText().contains(QLatin1String("answers: 1 replies, 0 unanswered, 2 "
                                                      "org.freedesktop.DBus.Error.LimitsExceeded")),
            qPrintable(mixed.outputText()));
        QCOMPARE(int(m_object.slowCallsStarted), started);
    }

    // A client's request and its read answered at once are taken while its
    // own long query is still in work.
    void requestsDoNotWaitBehindTheSendersLongQuery()
    {
        QDBusConnection client =
            QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("lanes"));
        const int started = m_object.lateCallsStarted;
        const int taken = m_object.requestsTaken;
        const QDBusPendingCall query =
            client.asyncCall(method(QStringLiteral("GetLocalPackageList"), {QString()}), 60000);
        QVERIFY(TestEnv::waitFor([&] { return m_object.lateCallsStarted > started; },
                                 10000 * TestEnv::slowdown()));
        const QDBusPendingCall request = client.asyncCall(
            method(QStringLiteral("IntallPackage"), {QStringLiteral("1"), QStringLiteral("{}")}),
            60000);
        const QDBusPendingCall read =
            client.asyncCall(method(QStringLiteral("GetAgreeState")), 60000);
        QVERIFY(TestEnv::waitFor([&] { return request.isFinished() && read.isFinished(); },
                                 30000 * TestEnv::slowdown()));
        QVERIFY2(!request.isError() && !read.isError(), qPrintable(request.error().message()));
        QCOMPARE(m_object.requestsTaken, taken + 1);
        QVERIFY(!query.isFinished());
    }

    // Only the signals declared for the bus leave on it.
    void internalSignalsStayInside()
    {
        QDBusConnection watcher =
            QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("watcher"));
        QSignalSpy internal(&m_object, &Answering::sigInternal);
        int heard = 0;
        int internalHeard = 0;
        Listener marker([&heard] { ++heard; });
        Listener leaked([&internalHeard] { ++internalHeard; });
        const QString service = QDBusConnection::systemBus().baseService();
        QVERIFY(watcher.connect(
            service, QStringLiteral("/appstore"), QStringLiteral("com.tarnwick.daemon.interface"),
            QStringLiteral("sigConfigNodeStatusChanged"), &marker, SLOT(heard())));
        QVERIFY(watcher.connect(service, QStringLiteral("/appstore"),
                                QStringLiteral("com.tarnwick.daemon.interface"),
                                QStringLiteral("sigInternal"), &leaked, SLOT(heard())));
        Q_EMIT m_object.sigInternal(QStringLiteral("inside"));
        Q_EMIT m_object.sigConfigNodeStatusChanged(QStringLiteral("marker"), QStringLiteral("1"));
        QVERIFY(TestEnv::waitFor([&heard] { return heard > 0; }, 5000));
        QCOMPARE(internal.size(), 1);
        QCOMPARE(internalHeard, 0);
    }

    // A call still in work when the queue stops is left to the ending
    // process, and the stop says so.
    void stopTellsOfACallStillInWork()
    {
        const int started = m_object.slowCallsStarted;
        const QDBusPendingCall slow =
            QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("stopped"))
                .asyncCall(method(QStringLiteral("GetPackageDesktopFile"), {QStringLiteral("x")}));
        QVERIFY(TestEnv::waitFor([&] { return m_object.slowCallsStarted > started; }, 5000));
        QVERIFY(!m_object.queue.stop(0));
        QVERIFY(TestEnv::waitFor([&slow] { return slow.isFinished(); }, 5000));
        QCOMPARE(slow.error().type(), QDBusError::Failed);
    }
};

QTEST_GUILESS_MAIN(TestBusCallQueue)
#include "tst_bus_call_queue.moc"
