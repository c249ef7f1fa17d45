#include "private_system_bus.h"

#include "dbus/bus_read_watchdog.h"
#include "utils/process_runner.h"

#include <QDBusConnection>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

// Stands in for the daemon's object: the calls are answered on the main
// thread, which frees their messages.
class Answering : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tarnwick.daemon.interface")
public Q_SLOTS:
    Q_SCRIPTABLE QStringList GetPackageLatestList(const QStringList &, bool) { return {}; }
    Q_SCRIPTABLE QString GetAgreeState() { return QStringLiteral("1"); }
};

// More large calls arrive than the bus library holds while the main thread
// is busy; once the main thread has freed them, the connection is read again.
class TestBusReadWatchdog : public QObject
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
        AppStore::BusReadWatchdog::watch(bus);
    }

    void readsAgainAfterAPause()
    {
        const QString names = m_dir.filePath(QStringLiteral("names"));
        QFile file(names);
        QVERIFY(file.open(QIODevice::WriteOnly));
        for (int i = 0; i < 1000; ++i)
            file.write(QByteArray(25000, 'a') + '\n');
        file.close();
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

QTEST_GUILESS_MAIN(TestBusReadWatchdog)
#include "tst_bus_read_watchdog.moc"
