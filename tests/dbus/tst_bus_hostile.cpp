#include "appstoredb_test_file.h"
#include "daemon_under_test.h"
#include "local_https_server.h"
#include "private_system_bus.h"
#include "server_process.h"
#include "store_test_setup.h"
#include "system_file_guard.h"
#include "test_env.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

#include <memory>

using AppStore::ProcessResult;
using AppStore::ProcessRunner;
using AppStore::ProcessSpec;

namespace {

const QString kClient = QStringLiteral("/usr/bin/tarnwick-client");
constexpr int kSeatUid = 65534; // nobody, the seat's user in these tests
const QString kStateDir = QStringLiteral("/var/lib/tarnwick-daemon/");
const QString kWineTools = QStringLiteral("/opt/velkorwine/tools/");
const QString kStoreConfig =
    QStringLiteral("/etc/velkor/velkor-app-store/appstore-serveice-0618.conf");
const QString kInterface = QStringLiteral("com.tarnwick.daemon.interface");
const QString kHookEntry = QStringLiteral("SlotPackageOperationFromHook");
// The package the harmless arguments name: never installed, so requests for
// it end quickly; the history may keep a row of it.
const QString kAbsentPackage = QStringLiteral("twk-test-absent");
// Rows of the database that no call of this test may touch.
const QString kKeptPackage = QStringLiteral("twk-test-kept");
constexpr int kFloodCalls = 100000;

// The harmless value of a text argument, by its published name: one that
// passes the daemon's checks, so that the hostile text beside it is the one
// that decides.
QString harmlessText(const QString &argumentName)
{
    static const QHash<QString, QString> texts = {
        {QStringLiteral("id"), QStringLiteral("velkor-app-store")},
        {QStringLiteral("nodeName"), QStringLiteral("onNotice")},
        {QStringLiteral("userName"), QStringLiteral("nobody")},
        {QStringLiteral("environment"), QStringLiteral("{}")},
        {QStringLiteral("version"), QStringLiteral("1.0")},
        {QStringLiteral("operation"), QStringLiteral("remove")},
        {QStringLiteral("input"), QStringLiteral("y")},
    };
    return texts.value(argumentName, kAbsentPackage);
}

struct Argument
{
    QString name;
    QString type;
};

struct Method
{
    QString name;
    QList<Argument> inputs;

    bool takesText() const
    {
        for (const Argument &argument : inputs) {
            if (argument.type == QLatin1String("s") || argument.type == QLatin1String("as"))
                return true;
        }
        return false;
    }
};

// Every signature of the published contract, so that no method is left out.
QList<Method> publishedMethods()
{
    QFile file(TestEnv::sourceDir() +
               QStringLiteral("/data/dbus/com.tarnwick.daemon.interface.xml"));
    QList<Method> methods;
    if (!file.open(QIODevice::ReadOnly))
        return methods;
    QXmlStreamReader xml(&file);
    bool inMethod = false;
    while (!xml.atEnd()) {
        xml.readNext();
        const QXmlStreamAttributes attributes = xml.attributes();
        if (xml.isStartElement() && xml.name() == QLatin1String("method")) {
            methods.append({attributes.value(QLatin1String("name")).toString(), {}});
            inMethod = true;
        } else if (xml.isEndElement() && xml.name() == QLatin1String("method")) {
            inMethod = false;
        } else if (inMethod && xml.isStartElement() && xml.name() == QLatin1String("arg") &&
                   attributes.value(QLatin1String("direction")) == QLatin1String("in")) {
            methods.last().inputs.append({attributes.value(QLatin1String("name")).toString(),
                                          attributes.value(QLatin1String("type")).toString()});
        }
    }
    return methods;
}

QVariant harmlessValue(const Argument &argument)
{
    if (argument.type == QLatin1String("s"))
        return harmlessText(argument.name);
    if (argument.type == QLatin1String("as"))
        return QStringList{harmlessText(argument.name)};
    if (argument.type == QLatin1String("b"))
        return false;
    return 0;
}

// The same value as the test client takes it on its command line.
QString clientArgument(const Argument &argument)
{
    const QVariant value = harmlessValue(argument);
    if (argument.type == QLatin1String("b"))
        return QStringLiteral("b:false");
    if (argument.type == QLatin1String("i"))
        return QStringLiteral("i:0");
    if (argument.type == QLatin1String("as"))
        return QStringLiteral("as:") + value.toStringList().join(u',');
    return QStringLiteral("s:") + value.toString();
}

// Every row of every table, as "table: row", with the rows the design
// stores as the caller sent them left out: the setting row (agreement and
// node values) and the history of the package the harmless arguments name.
QStringList databaseContent()
{
    AppstoreDbTestFile db(kStateDir + QStringLiteral("appstore.db"));
    QStringList content;
    const QStringList tables = db.rows(QStringLiteral(
        "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%' "
        "ORDER BY name"));
    for (const QString &table : tables) {
        QStringList rows;
        if (table == QLatin1String("setting"))
            rows = QStringList(db.count(table), QStringLiteral("(values stored as sent)"));
        else if (table == QLatin1String("application_history"))
            rows = db.rows(QStringLiteral("SELECT * FROM application_history WHERE packageName "
                                          "IS NOT ? ORDER BY id"),
                           {kAbsentPackage});
        else
            rows = db.rows(QStringLiteral("SELECT * FROM \"%1\"").arg(table));
        rows.sort();
        content.append(table + QStringLiteral(" (%1 rows)").arg(rows.size()));
        for (const QString &row : std::as_const(rows))
            content.append(table + QStringLiteral(": ") + row);
    }
    return content;
}

// Name and content of every file below dir.
QStringList folderContent(const QString &dir)
{
    QStringList content;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        content.append(path + QLatin1Char('\n') + QString::fromUtf8(TestEnv::readFile(path)));
    }
    content.sort();
    return content;
}

} // namespace

// Hostile texts in every text argument of every published method, sent to
// the real daemon as root and by the store client of the seat's user: the
// daemon refuses or stores them as data, runs and creates nothing, changes
// no package and answers on.
class TestBusHostile : public QObject
{
    Q_OBJECT

private:
    PrivateSystemBus m_bus;
    ServerProcess m_login1;
    LocalHttpsServer m_store;
    QTemporaryDir m_texts;
    std::unique_ptr<SystemFileGuard> m_guard;
    std::unique_ptr<DaemonUnderTest> m_daemon;
    QList<Method> m_methods;
    QByteArray m_dpkgStatus;
    QStringList m_wineFiles;
    QStringList m_database;
    QStringList m_ownedBefore;
    qsizetype m_floodLinesLogged = 0;

    // Where "touch owned" would have left its file, as the daemon or a tool
    // it ran.
    QStringList ownedCandidates() const
    {
        QStringList found;
        if (!m_daemon)
            return found;
        for (const QString &dir : {QDir::currentPath(), QStringLiteral("/tmp"), QStringLiteral("/"),
                                   QStringLiteral("/root")}) {
            if (QFile::exists(dir + QStringLiteral("/owned")))
                found.append(dir + QStringLiteral("/owned"));
        }
        for (const QString &dir :
             DaemonUnderTest::statePaths() + QStringList{m_daemon->homePath()}) {
            QDirIterator it(dir, {QStringLiteral("owned")}, QDir::AllEntries | QDir::Hidden,
                            QDirIterator::Subdirectories);
            while (it.hasNext())
                found.append(it.next());
        }
        for (const QString &before : m_ownedBefore)
            found.removeAll(before);
        return found;
    }

    static QDBusMessage rootCall(const QString &method, const QVariantList &arguments)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("com.tarnwick.daemon"), QStringLiteral("/appstore"), kInterface, method);
        call.setArguments(arguments);
        return QDBusConnection::systemBus().call(call, QDBus::BlockWithGui, 20000);
    }

    // The client's exit code and what it printed. The call runs an event
    // loop meanwhile, so the daemon's log pipe keeps draining.
    QPair<int, QString> seatCall(const QString &method, const QStringList &arguments) const
    {
        ProcessSpec spec;
        spec.environmentMode = ProcessSpec::Environment::Extend;
        spec.environment = m_bus.environment();
        spec.timeoutMs = 20000;
        spec.program = QStringLiteral("setpriv");
        spec.arguments = QStringList{QStringLiteral("--reuid=%1").arg(kSeatUid),
                                     QStringLiteral("--regid=%1").arg(kSeatUid),
                                     QStringLiteral("--clear-groups"),
                                     QStringLiteral("--"),
                                     kClient,
                                     method} +
                         arguments;
        ProcessRunner client;
        QString answer;
        const auto keep = [&answer](const QString &line) { answer += line + QLatin1Char('\n'); };
        connect(&client, &ProcessRunner::standardOutputLine, &client, keep);
        connect(&client, &ProcessRunner::standardErrorLine, &client, keep);
        if (!client.start(spec))
            return {-1, client.result().errorText()};
        const ProcessResult result = client.waitForFinished();
        return {result.succeeded() ? 0 : 1, answer};
    }

    // The engine has no task left: what the calls set off has ended.
    bool engineIdle() const
    {
        const QDBusMessage reply = rootCall(QStringLiteral("GetAptOperationList"), {});
        return reply.type() == QDBusMessage::ReplyMessage &&
               reply.arguments().value(0).toStringList().isEmpty();
    }

    bool prepareFolders()
    {
        // Accepted calls may update the package indexes: with no sources,
        // that stays on this machine.
        return QDir(QStringLiteral("/etc/apt/sources.list.d")).removeRecursively() &&
               QDir().mkpath(QStringLiteral("/etc/apt/sources.list.d")) &&
               TestEnv::writeFile(QStringLiteral("/etc/apt/sources.list"), QByteArray()) &&
               TestEnv::writeFile(kWineTools + QStringLiteral("autostart"),
                                  kKeptPackage.toUtf8() + '\n') &&
               QFile::copy(qEnvironmentVariable("TWK_TEST_CLIENT"), kClient) &&
               QFile::setPermissions(kClient, QFile::ReadOwner | QFile::WriteOwner |
                                                  QFile::ExeOwner | QFile::ReadGroup |
                                                  QFile::ExeGroup | QFile::ReadOther |
                                                  QFile::ExeOther) &&
               QFile::setPermissions(m_texts.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                         QFile::ExeOwner | QFile::ReadOther |
                                                         QFile::ExeOther);
    }

    bool seedDatabase()
    {
        // The file comes a moment before the daemon's tables are in it.
        const QString path = kStateDir + QStringLiteral("appstore.db");
        if (!TestEnv::waitFor(
                [&path] {
                    return QFile::exists(path) &&
                           AppstoreDbTestFile(path).value(QStringLiteral(
                               "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name "
                               "IN ('application_history', 'LocalOnTheShelvesAPP', "
                               "'key_value_info')")) == QStringLiteral("3");
                },
                15000))
            return false;
        AppstoreDbTestFile db(path);
        return db.exec(QStringLiteral("INSERT INTO application_history (packageName, version, "
                                      "operation, result, appName) VALUES (?, '1.0', '0', '1', ?)"),
                       {kKeptPackage, QStringLiteral("Kept")}) &&
               db.exec(QStringLiteral("INSERT INTO LocalOnTheShelvesAPP (packageid, package_name, "
                                      "package_version, name) VALUES (?, ?, '1.0', 'Kept')"),
                       {kKeptPackage, kKeptPackage}) &&
               db.exec(QStringLiteral("INSERT INTO key_value_info (key, Value) VALUES (?, ?)"),
                       {kKeptPackage, QStringLiteral("kept")}) &&
               // The daemon's own mark, written a while after it starts.
               db.exec(QStringLiteral("INSERT OR IGNORE INTO key_value_info (key, Value) VALUES "
                                      "('upload_hardware', 'no')"));
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_methods = publishedMethods();
        QVERIFY(m_methods.size() > 40);
        QVERIFY(m_texts.isValid());
        m_guard = std::make_unique<SystemFileGuard>(
            DaemonUnderTest::statePaths() +
            QStringList{QStringLiteral("/etc/apt/sources.list"),
                        QStringLiteral("/etc/apt/sources.list.d"),
                        QStringLiteral("/var/lib/apt/extended_states"),
                        QStringLiteral("/etc/velkor/velkor-app-store"),
                        QStringLiteral("/opt/velkorwine"), kClient});
        QVERIFY2(m_guard->isValid(), qPrintable(m_guard->errorString()));
        QVERIFY(prepareFolders());

        // The store answers every lookup with "not found", on this machine.
        QVERIFY2(m_store.start(), qPrintable(m_store.errorString()));
        // The start-up check of the store client finds nothing to upgrade,
        // and so leaves no retry row.
        QVERIFY(m_store.setRoute(QStringLiteral("/store-dist-app/appUpgradeInfos"),
                                 {200, "{\"status\":200,\"datas\":[]}", 0, false}));
        QVERIFY(TestEnv::writeFile(kStoreConfig, StoreTestSetup::baseUrl(m_store).toUtf8() + '\n'));

        m_bus.allowService(QStringLiteral("org.freedesktop.login1"));
        QVERIFY2(!m_bus.start().isEmpty(), qPrintable(m_bus.errorString()));
        QVERIFY(m_bus.openToAllUsers());
        QVERIFY2(m_login1.start(qEnvironmentVariable("TWK_LOGIN1_STANDIN"),
                                {QStringLiteral("nobody"), QString::number(kSeatUid)},
                                m_bus.environment()),
                 qPrintable(m_login1.errorString()));
        m_daemon = std::make_unique<DaemonUnderTest>(m_bus);
        m_daemon->addEnvironment(
            {QStringLiteral("TARNWICK_EXTRA_CA_FILE=") + m_store.caCertificatePath(),
             QStringLiteral("TARNWICK_STATISTICS_URL=") + StoreTestSetup::baseUrl(m_store) +
                 QStringLiteral("/upload/downstat")});
        QVERIFY2(m_daemon->start(), qPrintable(m_daemon->logLines().join(u'\n')));
        QVERIFY(seedDatabase());
        m_ownedBefore = ownedCandidates();

        m_dpkgStatus = TestEnv::readFile(QStringLiteral("/var/lib/dpkg/status"));
        QVERIFY(!m_dpkgStatus.isEmpty());
        m_wineFiles = folderContent(kWineTools);
        m_database = databaseContent();
        QVERIFY(m_database.contains(QStringLiteral("LocalOnTheShelvesAPP (1 rows)")));
    }

    void cleanupTestCase()
    {
        if (m_daemon)
            QVERIFY(m_daemon->stop());
        m_login1.stop();
        m_bus.stop();
        m_store.stop();
        for (const QString &path : ownedCandidates())
            QFile::remove(path);
        if (m_guard)
            QVERIFY2(m_guard->restore(), qPrintable(m_guard->errorString()));
    }

    // One sender repeating a refused call in a loop, without waiting for the
    // answers: the log takes a few of the refusals and, within a minute, one
    // line with the count of the others (checked by leavesNoTrace).
    void refusalFloodIsCounted()
    {
        QDBusConnection flooder =
            QDBusConnection::connectToBus(m_bus.address(), QStringLiteral("flooder"));
        QVERIFY(flooder.isConnected());
        QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("com.tarnwick.daemon"),
                                                           QStringLiteral("/appstore"), kInterface,
                                                           QStringLiteral("GetConfigByNodeName"));
        call.setArguments({QStringLiteral("x;touch owned ").repeated(20)});
        const qsizetype before = m_daemon->logLines().size();
        for (int i = 0; i < kFloodCalls; ++i)
            QVERIFY(flooder.send(call));
        // One connection's calls are served in order: this one comes last.
        const QDBusMessage last = flooder.call(call, QDBus::BlockWithGui, 120000);
        QVERIFY2(last.type() == QDBusMessage::ReplyMessage, qPrintable(last.errorMessage()));
        const QStringList lines = m_daemon->logLines().mid(before);
        m_floodLinesLogged = lines.filter(QStringLiteral("Params Invalid")).size();
        qsizetype grown = 0;
        for (const QString &line : lines)
            grown += line.toUtf8().size() + 1;
        qInfo("%d refused calls grew the log by %lld bytes", kFloodCalls + 1, qlonglong(grown));
        QVERIFY2(grown < 300 * 1024, qPrintable(QString::number(grown)));
        QDBusConnection::disconnectFromBus(QStringLiteral("flooder"));
    }

    // A long text in an install request, from a sender of its own (within
    // its log budget): the refusal is logged with 256 characters of it.
    void longTextsAreCutInTheLog_data()
    {
        QTest::addColumn<QString>("packageInfo");
        QTest::addColumn<QString>("logged");
        const QString text = QStringLiteral("x;touch owned ").repeated(100 * 1024 / 14 + 1);
        QTest::newRow("not a record") << text << QStringLiteral("Parse AppBriefInfo failed");
        QTest::newRow("refused record")
            << QStringLiteral("{\"package_name\":\"%1\",\"package_version\":\"-1\","
                              "\"pkgInstallMode\":1,\"name\":\"%2\"}")
                   .arg(kAbsentPackage, text)
            << QStringLiteral("Params Invalid");
    }

    void longTextsAreCutInTheLog()
    {
        QFETCH(QString, packageInfo);
        QFETCH(QString, logged);
        const QString name = QString::fromLatin1(QTest::currentDataTag());
        QDBusConnection sender = QDBusConnection::connectToBus(m_bus.address(), name);
        const qsizetype before = m_daemon->logLines().size();
        QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("com.tarnwick.daemon"),
                                                           QStringLiteral("/appstore"), kInterface,
                                                           QStringLiteral("IntallPackage"));
        call.setArguments({QStringLiteral("velkor-app-store"), packageInfo});
        QCOMPARE(sender.call(call, QDBus::BlockWithGui, 20000).type(), QDBusMessage::ReplyMessage);
        QTRY_VERIFY(!m_daemon->logLines().mid(before).filter(logged).isEmpty());
        const QString longest = QStringLiteral("x;touch owned ").repeated(256 / 14 + 2);
        for (const QString &line : m_daemon->logLines().mid(before))
            QVERIFY2(!line.contains(longest), qPrintable(line.left(400)));
        QDBusConnection::disconnectFromBus(name);
    }

    void everyTextArgument_data()
    {
        QTest::addColumn<bool>("asRoot");
        QTest::addColumn<QString>("text");
        const QList<QPair<const char *, QString>> texts = {
            {"command list", QStringLiteral("x;touch owned")},
            {"command substitution", QStringLiteral("$(touch owned)")},
            {"backquotes", QStringLiteral("`id`")},
            {"option", QStringLiteral("-oDPkg::Pre-Invoke::=touch owned")},
            {"SQL condition", QStringLiteral("x' OR '1'='1")},
            {"SQL statement", QStringLiteral("x'); DROP TABLE application_history;--")},
            {"relative path", QStringLiteral("../../etc/passwd")},
            {"absolute path", QStringLiteral("/etc/passwd")},
            {"control character", QStringLiteral("a\nb")},
            {"malformed JSON", QStringLiteral("{\"package_name\":")},
            {"2 MiB", QStringLiteral("x;touch owned ").repeated(2 * 1024 * 1024 / 14 + 1)},
        };
        for (const bool asRoot : {true, false}) {
            for (const auto &[name, text] : texts)
                QTest::addRow("%s, %s", asRoot ? "root" : "seat user", name) << asRoot << text;
        }
    }

    void everyTextArgument()
    {
        QFETCH(bool, asRoot);
        QFETCH(QString, text);
        // The client reads the text from a file: no command line holds 2 MiB.
        const QString textFile = m_texts.filePath(QString::number(qHash(text)));
        QVERIFY(TestEnv::writeFile(textFile, text.toUtf8()));
        for (const Method &method : std::as_const(m_methods)) {
            if (!method.takesText())
                continue;
            for (int hostile = 0; hostile < method.inputs.size(); ++hostile) {
                const QString type = method.inputs.at(hostile).type;
                if (type != QLatin1String("s") && type != QLatin1String("as"))
                    continue;
                const QString where =
                    method.name + QLatin1Char('.') + method.inputs.at(hostile).name;
                QVariantList values;
                QStringList clientArguments;
                for (int i = 0; i < method.inputs.size(); ++i) {
                    const Argument &argument = method.inputs.at(i);
                    if (i == hostile) {
                        values.append(type == QLatin1String("s") ? QVariant(text)
                                                                 : QVariant(QStringList{text}));
                        clientArguments.append(type + QStringLiteral("file:") + textFile);
                    } else {
                        values.append(harmlessValue(argument));
                        clientArguments.append(clientArgument(argument));
                    }
                }
                if (asRoot) {
                    const QDBusMessage reply = rootCall(method.name, values);
                    QVERIFY2(reply.type() == QDBusMessage::ReplyMessage,
                             qPrintable(where + QStringLiteral(": ") + reply.errorMessage()));
                    continue;
                }
                const auto [exitCode, answer] = seatCall(method.name, clientArguments);
                // The dpkg hook's entry is root's alone.
                const bool answered =
                    exitCode == 0 ||
                    (method.name == kHookEntry &&
                     answer.contains(QStringLiteral("org.freedesktop.DBus.Error.AccessDenied")));
                QVERIFY2(answered, qPrintable(where + QStringLiteral(": ") + answer));
            }
        }
    }

    void leavesNoTrace()
    {
        QVERIFY2(TestEnv::waitFor([this] { return engineIdle(); }, 180000),
                 "the engine never became idle");
        const QStringList owned = ownedCandidates();
        QVERIFY2(owned.isEmpty(), qPrintable(owned.join(u' ')));
        QVERIFY(TestEnv::readFile(QStringLiteral("/var/lib/dpkg/status")) == m_dpkgStatus);
        QCOMPARE(folderContent(kWineTools), m_wineFiles);
        const QStringList database = databaseContent();
        QVERIFY2(database == m_database,
                 qPrintable(QStringLiteral("before:\n") + m_database.join(u'\n') +
                            QStringLiteral("\nafter:\n") + database.join(u'\n')));
        const ProcessResult installed = TestEnv::runTool(
            QStringLiteral("dpkg-query"),
            {QStringLiteral("-W"), QStringLiteral("-f"),
             QStringLiteral("${db:Status-Abbrev}${Package}\\n"), QStringLiteral("twk-*")});
        QVERIFY2(!installed.outputText().contains(QStringLiteral("ii ")),
                 qPrintable(installed.outputText()));
        // Refusals are logged, but no caller's text fills the log whole.
        for (const QString &line : m_daemon->logLines())
            QVERIFY2(line.size() < 64 * 1024, qPrintable(line.left(200)));
        // The flooder's user is not known to the daemon: its calls were all
        // refused at once, so they count in the budget all such callers
        // share.
        const QRegularExpression counted(
            QStringLiteral("Left out (\\d+) lines caused by callers not yet known "));
        QRegularExpressionMatch count;
        QVERIFY2(TestEnv::waitFor(
                     [&] {
                         const QStringList found = m_daemon->logLines().filter(counted);
                         count = counted.match(found.value(0));
                         return found.size() == 1;
                     },
                     90000),
                 "no count line of the refusals left out");
        // The budget is shared with the other callers not known yet, whose
        // lines may count in it too: none of the flood's is lost.
        QVERIFY2(count.captured(1).toInt() + m_floodLinesLogged >= kFloodCalls + 1,
                 qPrintable(count.captured(0)));
        QVERIFY(m_daemon->isRunning());
        const QDBusMessage agree = rootCall(QStringLiteral("GetAgreeState"), {});
        QVERIFY2(agree.type() == QDBusMessage::ReplyMessage, qPrintable(agree.errorMessage()));
    }
};

QTEST_GUILESS_MAIN(TestBusHostile)
#include "tst_bus_hostile.moc"
