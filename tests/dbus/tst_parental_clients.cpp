#include "dbus/children_guard_account_interface.h"
#include "dbus/hierarchical_control_interface.h"
#include "private_system_bus.h"
#include "server_process.h"
#include "test_env.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QTest>

#include <memory>

namespace {

const QString kAccountService = QStringLiteral("com.velkor.daemon.ChildrenGuard.Account");
const QString kSecurityService = QStringLiteral("com.velkor.daemon.ACL");

bool isServiceGone(const QString &name)
{
    return !QDBusConnection::systemBus().interface()->isServiceRegistered(name).value();
}

} // namespace

class TestParentalClients : public QObject
{
    Q_OBJECT

private:
    // Starts the stand-in with arguments; a null program stands for an absent
    // service. Waits until the previous instance has left the bus.
    std::unique_ptr<ServerProcess> startStandIn(const char *variable, const QString &service,
                                                const QStringList &arguments, bool present)
    {
        auto standIn = std::make_unique<ServerProcess>();
        if (!TestEnv::waitFor([&] { return isServiceGone(service); }, 5000)) {
            qWarning() << service << "still on the bus";
            return nullptr;
        }
        if (present && !standIn->start(qEnvironmentVariable(variable), arguments)) {
            qWarning() << standIn->errorString();
            return nullptr;
        }
        return standIn;
    }

    QString ownerRole(const QString &user)
    {
        return ChildrenGuardAccountInterface::instance()->getOwnerRole(user);
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_bus.allowService(kAccountService);
        m_bus.allowService(kSecurityService);
        QVERIFY2(!m_bus.start().isEmpty(), qPrintable(m_bus.errorString()));
    }

    // Each row asks for a user of its own: the role cache lives as long as
    // the process.
    void ownerRole_data()
    {
        QTest::addColumn<bool>("present");
        QTest::addColumn<QStringList>("accounts");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("role");

        QTest::newRow("no service") << false << QStringList() << "u1"
                                    << "-1";
        QTest::newRow("int type") << true << QStringList{"u2=2"} << "u2"
                                  << "2";
        QTest::newRow("text type") << true << QStringList{"u3=child"} << "u3"
                                   << "child";
        QTest::newRow("unknown user") << true << QStringList{"other=1"} << "u4"
                                      << "-1";
        QTest::newRow("error reply") << true << QStringList{"u5=!error"} << "u5"
                                     << "-1";
        QTest::newRow("reply without type") << true << QStringList{"u6=!empty"} << "u6"
                                            << "-1";
    }

    void ownerRole()
    {
        QFETCH(bool, present);
        QFETCH(QStringList, accounts);
        QFETCH(QString, user);
        QFETCH(QString, role);

        const auto standIn =
            startStandIn("TWK_CHILDRENGUARD_STANDIN", kAccountService, accounts, present);
        QVERIFY(standIn);
        QCOMPARE(ownerRole(user), role);
    }

    void roleIsCachedOnlyWhenLearnt()
    {
        auto standIn = startStandIn("TWK_CHILDRENGUARD_STANDIN", kAccountService,
                                    {"alice=1", "bob=!error"}, true);
        QVERIFY(standIn);
        QCOMPARE(ownerRole("alice"), QStringLiteral("1"));
        QCOMPARE(ownerRole("bob"), QStringLiteral("-1"));

        // A learnt role stands while the service cannot tell; a failed one is
        // asked again.
        standIn.reset();
        standIn =
            startStandIn("TWK_CHILDRENGUARD_STANDIN", kAccountService, {"alice=0", "bob=3"}, true);
        QVERIFY(standIn);
        QCOMPARE(ownerRole("alice"), QStringLiteral("1"));
        QCOMPARE(ownerRole("bob"), QStringLiteral("3"));
        // Past its lifetime a role is asked again: the parent may have changed it.
        ChildrenGuardAccountInterface::instance()->setRoleLifetime(0);
        QCOMPARE(ownerRole("alice"), QStringLiteral("0"));
        standIn.reset();
        QVERIFY(TestEnv::waitFor([] { return isServiceGone(kAccountService); }, 5000));
        QCOMPARE(ownerRole("bob"), QStringLiteral("3"));
    }

    void isAllowed_data()
    {
        QTest::addColumn<bool>("present");
        QTest::addColumn<QStringList>("mode");
        QTest::addColumn<bool>("allowed");

        // The rows run in order: an unusable answer keeps the last usable one.
        QTest::newRow("no service") << false << QStringList() << true;
        QTest::newRow("mode 0 ignores the list") << true << QStringList{"0", "0=0"} << true;
        QTest::newRow("mode 2 ignores the list") << true << QStringList{"2", "0=0"} << true;
        QTest::newRow("error reply after allowing") << true << QStringList{"!error"} << true;
        QTest::newRow("mode 1, type 0 allowed") << true << QStringList{"1", "3=0", "0=1"} << true;
        QTest::newRow("mode 1, type 0 refused") << true << QStringList{"1", "3=1", "0=0"} << false;
        QTest::newRow("mode 1, no type 0") << true << QStringList{"1", "3=1"} << false;
        QTest::newRow("error reply") << true << QStringList{"!error"} << false;
        QTest::newRow("one argument") << true << QStringList{"!onearg"} << false;
        QTest::newRow("list of another type") << true << QStringList{"!badlist"} << false;
        QTest::newRow("no service after refusing") << false << QStringList() << true;
    }

    void isAllowed()
    {
        QFETCH(bool, present);
        QFETCH(QStringList, mode);
        QFETCH(bool, allowed);

        const auto standIn =
            startStandIn("TWK_SECURITY_MODE_STANDIN", kSecurityService, mode, present);
        QVERIFY(standIn);
        QCOMPARE(HierarchicalControlInterface::instance()->isAllowed(), allowed);
    }

private:
    PrivateSystemBus m_bus;
};

QTEST_GUILESS_MAIN(TestParentalClients)
#include "tst_parental_clients.moc"
