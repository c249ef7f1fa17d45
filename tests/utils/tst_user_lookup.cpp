#include "private_system_bus.h"
#include "server_process.h"
#include "test_env.h"
#include "utils/utils.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QRegularExpression>
#include <QTest>

namespace {

const QString kLogin1 = QStringLiteral("org.freedesktop.login1");

bool login1IsGone()
{
    return !QDBusConnection::systemBus().interface()->isServiceRegistered(kLogin1).value();
}

} // namespace

class TestUserLookup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        m_bus.allowService(kLogin1);
        QVERIFY2(!m_bus.start().isEmpty(), qPrintable(m_bus.errorString()));
    }

    void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral(".*"))); }

    void currentUserOfTheDaemon()
    {
        const AppStore::CurrentUser user = AppStore::Utils::getCurrentUser();
        QCOMPARE(user.uid, uid_t(0));
        QVERIFY(!user.name.trimmed().isEmpty());
    }

    void loginUser_data()
    {
        QTest::addColumn<QStringList>("standIn"); // empty: no login manager
        QTest::addColumn<QString>("logname");
        QTest::addColumn<quint32>("uid");
        QTest::addColumn<QString>("warning");

        const QString root = QStringLiteral("root");
        QTest::newRow("no login manager")
            << QStringList() << root << 0u << QStringLiteral("^Failed to create DBus interface:");
        QTest::newRow("desktop session")
            << QStringList{QStringLiteral("alice"), QStringLiteral("1000")}
            << QStringLiteral("alice") << 1000u << QString();
        QTest::newRow("nobody at the seat")
            << QStringList{QStringLiteral("alice"), QStringLiteral("1000"), QStringLiteral("/")}
            << QString() << 0u << QString();
        const QString refused = QStringLiteral("^Refused login name");
        for (const QString &name :
             {QStringLiteral(".."), QStringLiteral("."), QStringLiteral("../../etc"),
              QStringLiteral("-oProxyCommand=x")}) {
            QTest::newRow(qPrintable(QStringLiteral("refused ") + name))
                << QStringList{name, QStringLiteral("1000")} << root << 0u << refused;
        }
    }

    void loginUser()
    {
        QFETCH(QStringList, standIn);
        QFETCH(QString, logname);
        QFETCH(quint32, uid);
        QFETCH(QString, warning);

        QVERIFY(TestEnv::waitFor(login1IsGone, 5000));
        ServerProcess login1;
        if (!standIn.isEmpty()) {
            QVERIFY2(login1.start(qEnvironmentVariable("TWK_LOGIN1_STANDIN"), standIn),
                     qPrintable(login1.errorString()));
        }
        if (!warning.isEmpty()) {
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
        }
        QString name = QStringLiteral("stale");
        QCOMPARE(AppStore::Utils::getLogname(name), uid);
        QCOMPARE(name, logname);
    }

private:
    PrivateSystemBus m_bus;
};

QTEST_GUILESS_MAIN(TestUserLookup)
#include "tst_user_lookup.moc"
