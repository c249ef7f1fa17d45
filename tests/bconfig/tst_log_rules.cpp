#include "bconfig/bconfig_watcher.h"
#include "common/daemon_log.h"
#include "log_rules_watcher.h"
#include "utils/process_runner.h"

#include <bconfig.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// The configuration key and the environment variable together decide which
// log lines the daemon writes; both paths are exercised against a real
// configuration file the stand-in configuration service reads.
class TestLogRules : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_configDir;

    QString storeConfigPath() const
    {
        return m_configDir.filePath(QStringLiteral("velkor-app-store/com.velkor.app-store.json"));
    }

    void writeStoreConfig(const QJsonObject &values)
    {
        QDir().mkpath(QFileInfo(storeConfigPath()).absolutePath());
        QSaveFile file(storeConfigPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(values).toJson());
        QVERIFY(file.commit());
    }

    static bool daemonDebugEnabled() { return daemonLogCategory().isDebugEnabled(); }
    static bool daemonInfoEnabled() { return daemonLogCategory().isInfoEnabled(); }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_configDir.isValid());
        qputenv("BEXA_CONFIG_DIR", QFile::encodeName(m_configDir.path()));
        writeStoreConfig(
            {{QStringLiteral("log_rules"), QStringLiteral("twk.test.config.debug=false;;")}});
        qputenv("QT_LOGGING_RULES",
                "com.velkor.app-store.system-daemon.debug=false;;twk.test.env.debug=false;");
    }

    void startupRulesComeFromEnvironmentAndConfiguration()
    {
        LogRulesWatcher watcher;

        QVERIFY(!qEnvironmentVariableIsSet("QT_LOGGING_RULES"));
        QVERIFY(!daemonDebugEnabled());
        QVERIFY(daemonInfoEnabled());
        QLoggingCategory env("twk.test.env");
        QLoggingCategory config("twk.test.config");
        QVERIFY(!env.isDebugEnabled());
        QVERIFY(!config.isDebugEnabled());

        // Children started by the daemon must not inherit the variable.
        AppStore::ProcessSpec spec;
        spec.program = QStringLiteral("env");
        const AppStore::ProcessResult result = AppStore::ProcessRunner::run(spec);
        QVERIFY(result.succeeded());
        QVERIFY(!result.outputText().contains(QStringLiteral("QT_LOGGING_RULES")));

        // From the first change on, the configuration alone decides.
        writeStoreConfig({{QStringLiteral("log_rules"),
                           QStringLiteral("com.velkor.app-store.system-daemon.info=false")}});
        QTRY_VERIFY_WITH_TIMEOUT(!daemonInfoEnabled(), 10000);
        QVERIFY(daemonDebugEnabled());
        QVERIFY(env.isDebugEnabled());

        // Another key of the same configuration leaves the rules alone.
        QSignalSpy changes(BConfigWatcher::instance(), &BConfigWatcher::sigValueChanged);
        writeStoreConfig({{QStringLiteral("log_rules"),
                           QStringLiteral("com.velkor.app-store.system-daemon.info=false")},
                          {QStringLiteral("other"), 1}});
        QTRY_VERIFY_WITH_TIMEOUT(!changes.isEmpty(), 10000);
        QCOMPARE(changes.first().at(3).toString(), QStringLiteral("other"));
        QVERIFY(!daemonInfoEnabled());

        // An empty value drops every rule.
        writeStoreConfig({{QStringLiteral("log_rules"), QString()}, {QStringLiteral("other"), 1}});
        QTRY_VERIFY_WITH_TIMEOUT(daemonInfoEnabled(), 10000);
        QVERIFY(daemonDebugEnabled());
    }

    void watcherKeepsOneObjectPerConfiguration()
    {
        BConfigWatcher watcher;
        const QString app = QStringLiteral("velkor-app-store");
        const QString name = QStringLiteral("com.velkor.app-store");
        QVERIFY(watcher.addBConfig(app, name, QString()));
        QVERIFY(watcher.addBConfig(app, name, QString()));
        QCOMPARE(watcher.findChildren<Bexa::Core::BConfig *>(QString(), Qt::FindDirectChildrenOnly)
                     .size(),
                 1);
    }

    void unknownConfigurationIsRefusedAndReportedOnRead()
    {
        BConfigWatcher watcher;
        QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression(QStringLiteral(
                "BConfig is invalid: appId = nosuch-app, name = nosuch, subpath = $")));
        QVERIFY(
            !watcher.addBConfig(QStringLiteral("nosuch-app"), QStringLiteral("nosuch"), QString()));
        QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression(QStringLiteral(
                "^QVariant BConfigWatcher::getValueSync\\(QString, const QString&, const "
                "QString&, const QString&\\) find BConfig failed: appId = nosuch-app, name = "
                "nosuch, subpath = $")));
        QVERIFY(!watcher
                     .getValueSync(QStringLiteral("nosuch-app"), QStringLiteral("nosuch"),
                                   QString(), QStringLiteral("log_rules"))
                     .isValid());
    }

    void setValueReachesTheStoreAndIsAnnounced()
    {
        BConfigWatcher watcher;
        QSignalSpy changes(&watcher, &BConfigWatcher::sigValueChanged);
        const QString app = QStringLiteral("velkor-app-store");
        const QString name = QStringLiteral("com.velkor.app-store");
        watcher.setValue(app, name, QString(), QStringLiteral("answer"), 42);
        QTRY_VERIFY_WITH_TIMEOUT(!changes.isEmpty(), 10000);
        const QList<QVariant> change = changes.first();
        QCOMPARE(change.at(0).toString(), app);
        QCOMPARE(change.at(3).toString(), QStringLiteral("answer"));
        QCOMPARE(change.at(4).toInt(), 42);
        QCOMPARE(watcher.getValueSync(app, name, QString(), QStringLiteral("answer")).toInt(), 42);
    }
};

QTEST_GUILESS_MAIN(TestLogRules)
#include "tst_log_rules.moc"
