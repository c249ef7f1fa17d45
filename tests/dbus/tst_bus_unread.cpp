#include "daemon_under_test.h"
#include "other_user_client.h"
#include "private_system_bus.h"
#include "system_file_guard.h"
#include "test_env.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QTest>

#include <csignal>
#include <memory>
#include <vector>

using AppStore::ProcessRunner;

namespace {

// A quarter of what the system bus lets a connection have queued, so that
// the case stays light; the daemon's own share lies below.
constexpr int kBusQueueBytes = 32 * 1024 * 1024;
// Far above what the daemon needs, far below what it would take to keep
// every answer its callers leave unread.
constexpr qint64 kMemoryBoundKiB = 200 * 1024;

bool isStopped(qint64 pid)
{
    const QByteArray stat = TestEnv::readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.mid(stat.lastIndexOf(')') + 2, 1) == "T";
}

qint64 residentKiB(qint64 pid)
{
    const QByteArray status = TestEnv::readFile(QStringLiteral("/proc/%1/status").arg(pid));
    for (const QByteArray &line : status.split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

} // namespace

// The real daemon on a bus with lowered queue limits: a user not at the seat
// whose many connections never read their answers holds up no one.
class TestBusUnread : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        m_guard = std::make_unique<SystemFileGuard>(DaemonUnderTest::statePaths());
        QVERIFY2(m_guard->isValid(), qPrintable(m_guard->errorString()));
        m_bus.addPolicy(QStringLiteral("<limit name=\"max_incoming_bytes\">%1</limit>"
                                       "<limit name=\"max_outgoing_bytes\">%1</limit>")
                            .arg(kBusQueueBytes));
        QVERIFY2(!m_bus.start().isEmpty(), qPrintable(m_bus.errorString()));
        QVERIFY(m_bus.openToAllUsers());
        m_other = std::make_unique<OtherUserClient>(m_bus);
        QVERIFY(m_other->isValid());
        m_daemon = std::make_unique<DaemonUnderTest>(m_bus);
        QVERIFY2(m_daemon->start(), qPrintable(m_daemon->logLines().join(u'\n')));
    }

    void cleanupTestCase()
    {
        m_daemon.reset();
        m_bus.stop();
        if (m_guard)
            QVERIFY2(m_guard->restore(), qPrintable(m_guard->errorString()));
    }

    // Forty connections each ask for 128 introspections, as many as the bus
    // lets one wait for, and stop reading: what they leave unread would
    // pass what the bus holds for the daemon. Root is answered while they
    // stay.
    void unreadAnswersHoldUpNoOne()
    {
        std::vector<std::unique_ptr<ProcessRunner>> readers;
        for (int i = 0; i < 40; ++i) {
            readers.push_back(std::make_unique<ProcessRunner>());
            QVERIFY(readers.back()->start(m_other->spec(
                1, {QStringLiteral("--stop"), QStringLiteral("--send"), QStringLiteral("128"),
                    QStringLiteral("org.freedesktop.DBus.Introspectable.Introspect")})));
        }
        QVERIFY(TestEnv::waitFor(
            [&] {
                for (const auto &reader : readers)
                    if (!isStopped(reader->processId()))
                        return false;
                return true;
            },
            60000 * TestEnv::slowdown()));
        for (int probe = 0; probe < 4; ++probe) {
            QTest::qWait(250);
            const QDBusMessage reply = QDBusConnection::systemBus().call(
                DaemonUnderTest::methodCall(QStringLiteral("GetAgreeState")), QDBus::BlockWithGui,
                5000 * TestEnv::slowdown());
            QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
        }
        const qint64 resident = residentKiB(m_daemon->processId());
        for (const auto &reader : readers) {
            ::kill(pid_t(reader->processId()), SIGKILL);
            ::kill(pid_t(reader->processId()), SIGCONT);
        }
        QVERIFY2(resident > 0 && (resident < kMemoryBoundKiB || TestEnv::slowdown() > 1),
                 qPrintable(QString::number(resident)));
    }

private:
    PrivateSystemBus m_bus;
    std::unique_ptr<SystemFileGuard> m_guard;
    std::unique_ptr<DaemonUnderTest> m_daemon;
    std::unique_ptr<OtherUserClient> m_other;
};

QTEST_GUILESS_MAIN(TestBusUnread)
#include "tst_bus_unread.moc"
