#include "test_env.h"

#include <blogmanager.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>
#include <vector>

using Bexa::Core::BLogManager;

Q_LOGGING_CATEGORY(testLogCategory, "bexa.test.category")

class TestBexaLogManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void defaultFileLocation();
    void fileAppenderLineFormat();
    void concurrentLinesStayWhole();
    void fileMovesAsidePastItsBound();

private:
    static QStringList lines(const QString &path);

    QTemporaryDir m_dir;
};

void TestBexaLogManager::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // The default location lies below the cache location.
    qputenv("XDG_CACHE_HOME", m_dir.filePath(QStringLiteral("cache")).toUtf8());
}

QStringList TestBexaLogManager::lines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void TestBexaLogManager::defaultFileLocation()
{
    const QString expected = m_dir.filePath(QStringLiteral("cache/")) +
                             QCoreApplication::applicationName() + QLatin1Char('/') +
                             QCoreApplication::applicationName() + QStringLiteral(".log");
    QCOMPARE(BLogManager::logFilePath(), expected);
    BLogManager::registerFileAppender();
    qCWarning(testLogCategory) << "to the default file";
    const QStringList written = lines(expected);
    QCOMPARE(written.size(), 1);
    QVERIFY(written.first().endsWith(QStringLiteral(" - to the default file")));
    QCOMPARE(TestEnv::fileMode(expected), 0640);
}

void TestBexaLogManager::fileAppenderLineFormat()
{
    const QString path = m_dir.filePath(QStringLiteral("logs/sub/daemon.log"));
    BLogManager::setlogFilePath(path);
    QCOMPARE(BLogManager::logFilePath(), path);
    const int line = __LINE__ + 1;
    qCInfo(testLogCategory).noquote() << "hello" << 42;
    qCDebug(testLogCategory) << "debug too";

    const QStringList written = lines(path);
    QCOMPARE(written.size(), 2);
    const QRegularExpression format(
        QStringLiteral(
            R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3} \[Info\] \[bexa\.test\.category\] )"
            R"(\S*tst_bexa_logmanager\.cpp:%1 .*fileAppenderLineFormat.* - hello 42$)")
            .arg(line));
    QVERIFY2(format.match(written.at(0)).hasMatch(), qPrintable(written.at(0)));
    QVERIFY2(written.at(1).contains(QStringLiteral("[Debug] [bexa.test.category]")),
             qPrintable(written.at(1)));
}

void TestBexaLogManager::concurrentLinesStayWhole()
{
    const QString path = m_dir.filePath(QStringLiteral("concurrent.log"));
    BLogManager::setlogFilePath(path);
    constexpr int threads = 4;
    constexpr int perThread = 250;
    std::vector<std::unique_ptr<QThread>> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back(QThread::create([t] {
            for (int i = 0; i < perThread; ++i)
                qCInfo(testLogCategory, "thread %d line %d end", t, i);
        }));
        workers.back()->start();
    }
    for (auto &worker : workers)
        QVERIFY(worker->wait(30000));

    const QStringList written = lines(path);
    QCOMPARE(written.size(), threads * perThread);
    const QRegularExpression whole(QStringLiteral(R"( - thread \d line \d+ end$)"));
    for (const QString &text : written)
        QVERIFY2(whole.match(text).hasMatch() && text.count(QStringLiteral("[Info]")) == 1,
                 qPrintable(text));
}

void TestBexaLogManager::fileMovesAsidePastItsBound()
{
    const QString path = m_dir.filePath(QStringLiteral("bounded/daemon.log"));
    BLogManager::setlogFilePath(path);
    constexpr qint64 bound = 4096;
    int moves = 0;
    BLogManager::setFileSizeBound(bound, [&moves](const QString &full) {
        QFile::rename(full, full + QLatin1Char('.') + QString::number(++moves));
    });
    constexpr int count = 100;
    for (int i = 0; i < count; ++i)
        qCInfo(testLogCategory, "line %d of a log that outgrows its bound", i);
    BLogManager::setFileSizeBound(0, {});

    // Every line once, none split, no file past the bound by more than a line.
    QVERIFY(moves >= 2);
    QStringList written;
    for (int file = 1; file <= moves + 1; ++file) {
        const QString name = file > moves ? path : path + QLatin1Char('.') + QString::number(file);
        QVERIFY2(QFileInfo(name).size() < bound + 256, qPrintable(name));
        written += lines(name);
    }
    QCOMPARE(written.size(), count);
    for (int i = 0; i < count; ++i)
        QVERIFY2(written.at(i).endsWith(
                     QStringLiteral(" - line %1 of a log that outgrows its bound").arg(i)),
                 qPrintable(written.at(i)));
}

QTEST_GUILESS_MAIN(TestBexaLogManager)
#include "tst_bexa_logmanager.moc"
