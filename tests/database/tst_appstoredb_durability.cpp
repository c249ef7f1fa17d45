#include "appstoredb_test_file.h"
#include "test_env.h"

#include "database/appstoredb.h"
#include "utils/process_runner.h"

#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>
#include <vector>

class TestAppstoreDbDurability : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // Thousands of writes: their debug lines would only slow the run down.
        QLoggingCategory::setFilterRules(
            QStringLiteral("com.velkor.app-store.system-daemon.debug=false"));
    }

    void concurrentWritersLoseNoRow()
    {
        const QString path = m_dir.filePath(QStringLiteral("threads/appstore.db"));
        AppstoreDb db(path);
        const QStringList connectionsBefore = QSqlDatabase::connectionNames();

        const int threadCount = 8;
        std::vector<int> written(threadCount, 0);
        std::vector<std::unique_ptr<QThread>> threads;
        const QDeadlineTimer deadline(3000);
        for (int t = 0; t < threadCount; ++t) {
            threads.emplace_back(QThread::create([&db, &written, t, deadline]() {
                int &count = written[size_t(t)];
                while (!deadline.hasExpired()) {
                    const QString name = QStringLiteral("t%1-%2").arg(t).arg(count);
                    const QString stamp = QStringLiteral("2024-01-01 00:00:%1").arg(count % 60);
                    // Intake, then completion of the same package, as the
                    // install manager writes them.
                    db.updateApplicationHistoryInfo(
                        name, QString(), QStringLiteral("0"), QStringLiteral("6"), stamp, QString(),
                        QString(), QString(), QString(), QString(), QString(), QString(), QString(),
                        QString(), QString(), QString(), QString(), QString(), QString(),
                        QString());
                    db.updateApplicationHistoryInfo(
                        name, QStringLiteral("1.0"), QString(), QStringLiteral("1"), stamp,
                        QString(), QString(), QString(), QString(), QString(), QString(), QString(),
                        QString(), QString(), QString(), QString(), QString(), QString(), QString(),
                        QString());
                    if (!db.insertInstallStatus(name, name, QStringLiteral("a.desktop"),
                                                QStringLiteral("-1"), QStringLiteral("0"),
                                                QStringLiteral("-1"), stamp, stamp)) {
                        return;
                    }
                    // One package that every thread writes.
                    db.insertInstallStatus(QStringLiteral("shared"), name,
                                           QStringLiteral("s.desktop"), QStringLiteral("-1"),
                                           QStringLiteral("0"), QStringLiteral("-1"), stamp, stamp);
                    ++count;
                }
            }));
            threads.back()->start();
        }
        for (auto &thread : threads) {
            QVERIFY(thread->wait(60000));
        }

        int total = 0;
        for (int count : written) {
            QVERIFY(count > 0);
            total += count;
        }
        qInfo() << threadCount << "threads wrote" << total << "packages";
        AppstoreDbTestFile file(path);
        QCOMPARE(file.count(QStringLiteral("application_history")), total);
        QCOMPARE(file.value(QStringLiteral("SELECT count(*) FROM application_history WHERE "
                                           "operation = '1' AND version = '1.0'")),
                 QString::number(total));
        QCOMPARE(file.count(QStringLiteral("app_install_status")), total + 1);
        // The threads' connections go away with their threads.
        QVERIFY(TestEnv::waitFor(
            [&]() {
                return QSqlDatabase::connectionNames().size() == connectionsBefore.size() + 1;
            },
            5000));
    }

    void killedWriterKeepsEveryCommittedRow()
    {
        const QString writer = qEnvironmentVariable("TWK_APPSTOREDB_CRASH_WRITER");
        QVERIFY2(QFileInfo::exists(writer), qPrintable(writer));
        const QString path = m_dir.filePath(QStringLiteral("crash/appstore.db"));

        int committedInAllRuns = 0;
        for (int run = 0; run < 3; ++run) {
            AppStore::ProcessRunner runner;
            int committed = 0;
            connect(&runner, &AppStore::ProcessRunner::standardOutputLine, this,
                    [&committed](const QString &line) {
                        committed = line.section(QLatin1Char(' '), 1).toInt();
                    });
            AppStore::ProcessSpec command;
            command.program = writer;
            command.arguments = {path};
            command.timeoutMs = 120000;
            QVERIFY(runner.start(command));
            // Kill at a different moment each run, mostly inside a batch.
            const int target = committed + 20 + run * 7;
            QVERIFY(TestEnv::waitFor([&]() { return committed >= target; }, 60000));
            runner.kill();
            const AppStore::ProcessResult result = runner.waitForFinished();
            QVERIFY(result.crashed);

            committedInAllRuns += committed;
            qInfo() << "killed after" << committed << "committed rounds";

            AppstoreDbTestFile file(path);
            QCOMPARE(file.value(QStringLiteral("PRAGMA integrity_check")), QStringLiteral("ok"));
            const int history = file.count(QStringLiteral("application_history"));
            const int apps = file.count(QStringLiteral("LocalOnTheShelvesAPP"));
            QVERIFY2(history >= committedInAllRuns, qPrintable(QString::number(history)));
            // A batch is there whole or not at all.
            QCOMPARE(apps % 50, 0);
            QVERIFY(apps >= committedInAllRuns * 50);

            // The next start resumes on the same file.
            AppstoreDb reopened(path);
            QString value;
            QVERIFY(reopened.selectSettingByColumnName(QStringLiteral("createDesktop"), value));
            QCOMPARE(value, QStringLiteral("2"));
        }
    }
};

QTEST_GUILESS_MAIN(TestAppstoreDbDurability)
#include "tst_appstoredb_durability.moc"
