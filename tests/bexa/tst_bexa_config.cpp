#include "test_env.h"

#include <bconfig.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <memory>

using Bexa::Core::BConfig;

class TestBexaConfig : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void readsValuesAndSubpaths();
    void setValuePersistsAndAnnouncesOnce();
    void announcesChangesOfAnotherWriter();
    void invalid_data();
    void invalid();

private:
    QString configPath(const QString &relative) const
    {
        return m_dir->filePath(QStringLiteral("cfg/") + relative);
    }
    void writeFile(const QString &relative, const QByteArray &content) const;
    // Like an editor: write beside the file, then rename over it.
    void replaceFile(const QString &relative, const QJsonObject &values) const;
    static QSet<QString> keysOf(const QSignalSpy &spy);

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestBexaConfig::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    qputenv("BEXA_CONFIG_DIR", configPath(QString()).toUtf8());
}

void TestBexaConfig::writeFile(const QString &relative, const QByteArray &content) const
{
    QVERIFY(TestEnv::writeFile(configPath(relative), content));
}

void TestBexaConfig::replaceFile(const QString &relative, const QJsonObject &values) const
{
    writeFile(relative + QStringLiteral(".tmp"), QJsonDocument(values).toJson());
    QVERIFY(::rename(QFile::encodeName(configPath(relative + QStringLiteral(".tmp"))).constData(),
                     QFile::encodeName(configPath(relative)).constData()) == 0);
}

QSet<QString> TestBexaConfig::keysOf(const QSignalSpy &spy)
{
    QSet<QString> keys;
    for (const QList<QVariant> &arguments : spy)
        keys.insert(arguments.at(0).toString());
    return keys;
}

void TestBexaConfig::readsValuesAndSubpaths()
{
    writeFile(QStringLiteral("app/conf.json"), R"({"log_rules": "*.debug=false", "n": 3})");
    writeFile(QStringLiteral("app/conf/a/b.json"), R"({"where": "sub"})");

    std::unique_ptr<BConfig> config(
        BConfig::create(QStringLiteral("app"), QStringLiteral("conf"), QString(), nullptr));
    QVERIFY(config->isValid());
    QCOMPARE(config->value(QStringLiteral("log_rules"), QVariant()).toString(),
             QStringLiteral("*.debug=false"));
    QCOMPARE(config->value(QStringLiteral("n"), QVariant()).toInt(), 3);
    QCOMPARE(config->value(QStringLiteral("missing"), QStringLiteral("fb")).toString(),
             QStringLiteral("fb"));
    QVERIFY(!config->value(QStringLiteral("missing"), QVariant()).isValid());

    std::unique_ptr<BConfig> sub(BConfig::create(QStringLiteral("app"), QStringLiteral("conf"),
                                                 QStringLiteral("/a/b/"), nullptr));
    QVERIFY(sub->isValid());
    QCOMPARE(sub->value(QStringLiteral("where"), QVariant()).toString(), QStringLiteral("sub"));
}

void TestBexaConfig::setValuePersistsAndAnnouncesOnce()
{
    writeFile(QStringLiteral("app/conf.json"), R"({"n": 3, "keep": "yes"})");
    std::unique_ptr<BConfig> config(
        BConfig::create(QStringLiteral("app"), QStringLiteral("conf"), QString(), nullptr));
    QVERIFY(config->isValid());
    QSignalSpy spy(config.get(), &BConfig::valueChanged);

    config->setValue(QStringLiteral("n"), 4);
    config->setValue(QStringLiteral("n"), 4);
    config->setValue(QStringLiteral("text"), QStringLiteral("new"));
    QCOMPARE(spy.size(), 2);
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("n"));
    QCOMPARE(spy.at(1).at(0).toString(), QStringLiteral("text"));
    QCOMPARE(config->value(QStringLiteral("n"), QVariant()).toInt(), 4);

    // Our own write comes back through the file watch; it must not be
    // announced a second time.
    QTest::qWait(300);
    QCOMPARE(spy.size(), 2);

    std::unique_ptr<BConfig> reread(
        BConfig::create(QStringLiteral("app"), QStringLiteral("conf"), QString(), nullptr));
    QVERIFY(reread->isValid());
    QCOMPARE(reread->value(QStringLiteral("n"), QVariant()).toInt(), 4);
    QCOMPARE(reread->value(QStringLiteral("text"), QVariant()).toString(), QStringLiteral("new"));
    QCOMPARE(reread->value(QStringLiteral("keep"), QVariant()).toString(), QStringLiteral("yes"));
}

void TestBexaConfig::announcesChangesOfAnotherWriter()
{
    writeFile(QStringLiteral("app/conf.json"), R"({"log_rules": "a", "gone": 1, "same": 2})");
    std::unique_ptr<BConfig> config(
        BConfig::create(QStringLiteral("app"), QStringLiteral("conf"), QString(), nullptr));
    QVERIFY(config->isValid());
    QSignalSpy spy(config.get(), &BConfig::valueChanged);

    replaceFile(QStringLiteral("app/conf.json"),
                {{QStringLiteral("log_rules"), QStringLiteral("b")},
                 {QStringLiteral("same"), 2},
                 {QStringLiteral("added"), true}});
    const QSet<QString> expected{QStringLiteral("log_rules"), QStringLiteral("gone"),
                                 QStringLiteral("added")};
    QTRY_COMPARE(keysOf(spy), expected);
    QCOMPARE(config->value(QStringLiteral("log_rules"), QVariant()).toString(),
             QStringLiteral("b"));
    QVERIFY(!config->value(QStringLiteral("gone"), QVariant()).isValid());

    // The rename ended the watch on the old file; later changes still count.
    spy.clear();
    replaceFile(QStringLiteral("app/conf.json"),
                {{QStringLiteral("log_rules"), QStringLiteral("c")},
                 {QStringLiteral("same"), 2},
                 {QStringLiteral("added"), true}});
    QTRY_COMPARE(keysOf(spy), QSet<QString>{QStringLiteral("log_rules")});
    QCOMPARE(config->value(QStringLiteral("log_rules"), QVariant()).toString(),
             QStringLiteral("c"));
}

void TestBexaConfig::invalid_data()
{
    QTest::addColumn<QString>("appId");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("subpath");
    QTest::addColumn<QByteArray>("content");

    const QByteArray object = R"({"k": 1})";
    QTest::newRow("missing file") << "app"
                                  << "conf"
                                  << "" << QByteArray();
    QTest::newRow("bad json") << "app"
                              << "conf"
                              << "" << QByteArray(R"({"k": )");
    QTest::newRow("not an object") << "app"
                                   << "conf"
                                   << "" << QByteArray("[1, 2]");
    QTest::newRow("dotdot app") << ".."
                                << "app"
                                << "" << object;
    QTest::newRow("slash in name") << "app"
                                   << "../app/conf"
                                   << "" << object;
    QTest::newRow("dotdot in subpath") << "app"
                                       << "conf"
                                       << "a/../../conf" << object;
}

void TestBexaConfig::invalid()
{
    QFETCH(QString, appId);
    QFETCH(QString, name);
    QFETCH(QString, subpath);
    QFETCH(QByteArray, content);

    // Every path a bad name could reach holds a good configuration, so only
    // the name check can make the object invalid.
    if (!content.isNull()) {
        writeFile(QStringLiteral("app/conf.json"), content);
        writeFile(QStringLiteral("../app.json"), content);
        QVERIFY(QDir().mkpath(configPath(QStringLiteral("app/conf/a"))));
    }
    std::unique_ptr<BConfig> config(BConfig::create(appId, name, subpath, nullptr));
    QVERIFY(!config->isValid());
    QVERIFY(!config->value(QStringLiteral("k"), QVariant()).isValid());

    config->setValue(QStringLiteral("k"), 2);
    QVERIFY(!config->value(QStringLiteral("k"), QVariant()).isValid());
    if (content.isNull())
        QVERIFY(!QFile::exists(configPath(QStringLiteral("app/conf.json"))));
}

QTEST_GUILESS_MAIN(TestBexaConfig)
#include "tst_bexa_config.moc"
