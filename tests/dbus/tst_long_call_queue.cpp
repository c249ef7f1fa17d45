#include "private_system_bus.h"
#include "test_env.h"

#include "dbus/bus_call_queue.h"
#include "dbus/bus_watchdog.h"
#include "task/task_manager.h"
#include "utils/process_runner.h"

#include <QCoreApplication>
#include <QTimer>

#include <QDBusConnection>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

// Stands in for the daemon's object: the calls are answered on the main
// thread, which frees their messages, or late through the queue.
class Answering : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tarnwick.daemon.interface")
public:
    bool calledLate() const { return m_called; }
    bool answeredLate = false;

public Q_SLOTS:
    Q_SCRIPTABLE QStringList GetPackageLatestList(const QStringList &, bool) { return {}; }
    Q_SCRIPTABLE QString GetAgreeState() { return QStringLiteral("1"); }
    Q_SCRIPTABLE QString GetLocalPackageInfo(const QString &)
    {
        m_called = true;
        return m_queue.late<QString>(
            *this, AppStore::CallerLevel::Open,
            [] {
                QThread::msleep(1500);
                return QStringLiteral("late");
            },
            [this](const QString &) { answeredLate = true; });
    }

private:
    AppStore::BusCallQueue m_queue;
    bool m_called = false;
};

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

// Late answers on the daemon's bus connection: a call in work keeps the
// daemon from its idle exit, and a connection whose reading was paused by a
// flood is read again.
class TestLongCallQueue : public QObject
{
    Q_OBJECT

private:
    PrivateSystemBus m_bus;
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
        QVERIFY2(!m_bus.start().isEmpty(), qPrintable(m_bus.errorString()));
        QDBusConnection bus = QDBusConnection::systemBus();
        QVERIFY(bus.registerObject(QStringLiteral("/appstore"), &m_object,
                                   QDBusConnection::ExportScriptableSlots));
        QVERIFY(bus.registerService(QStringLiteral("com.tarnwick.daemon")));
        AppStore::BusWatchdog::watch(bus);
    }

    void idleExitWaitsForTheCallInWork()
    {
        TaskManager::instance()->setClientExecutable(m_dir.filePath(QStringLiteral("none")));
        TaskManager::instance()->setInterval(200);
        AppStore::ProcessRunner caller;
        QVERIFY(caller.start(
            client({QStringLiteral("GetLocalPackageInfo"), QStringLiteral("s:twk-test-none")})));
        QTRY_VERIFY(m_object.calledLate());
        QVERIFY(quitsWithin(10000));
        QVERIFY(m_object.answeredLate);
        QCOMPARE(caller.waitForFinished().outputText().trimmed(), QStringLiteral("reply: late"));
        TaskManager::instance()->setInterval(600000);
    }

    void readsAgainAfterAPause()
    {
        const QString names = m_dir.filePath(QStringLiteral("names"));
        QVERIFY(
            TestEnv::writeFile(names, QByteArray(QByteArray(25000, 'a') + '\n').repeated(1000)));
        AppStore::ProcessRunner flood;
        QVERIFY(flood.start(client(
            {QStringLiteral("--send"), QStringLiteral("4"), QStringLiteral("GetPackageLatestList"),
             QStringLiteral("aslines:") + names, QStringLiteral("b:false")})));
        // Busy: the calls pile up unread by this thread.
        QThread::sleep(4);
        // Answered, and so freed, here.
        QVERIFY(flood.waitForFinished().succeeded());
        AppStore::ProcessRunner probe;
        QVERIFY(probe.start(client({QStringLiteral("GetAgreeState")})));
        QCOMPARE(probe.waitForFinished().outputText().trimmed(), QStringLiteral("reply: 1"));
    }
};

QTEST_GUILESS_MAIN(TestLongCallQueue)
#include "tst_long_call_queue.moc"
