#include "tar_archive.h"
#include "test_env.h"

#include "common/apt_task.h"
#include "task/tar_member_check.h"
#include "task/tarpkginstalltask.h"
#include "task/unpacked_tree_check.h"
#include "utils/apt_sources.h"
#include "utils/system_probes.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <sys/stat.h>
#include <unistd.h>

using TarArchive::file;
using TarArchive::link;
using TarArchive::Member;

namespace {

QString sha256Of(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

const QString kPath =
    QStringLiteral("/usr/local/bin:/usr/bin:/bin:/usr/local/games:/usr/games:/sbin:/usr/sbin");

} // namespace

class TestTarPkgInstallTask : public QObject
{
    Q_OBJECT

private:
    struct Outcome
    {
        int finished = 0;
        bool ok = false;
        int code = -1;
        QString packageName;
    };

    QString path(const QString &name) const { return m_dir.filePath(name); }
    QString record(const QString &name) const { return path(QStringLiteral("record/") + name); }
    QString bundlePath(const QString &package) const
    {
        return path(QStringLiteral("cache/")) + package + QStringLiteral(".tar");
    }

    // The bundle's script writes down how it was called; its install run
    // ends as installBody says.
    Member script(const QByteArray &installBody = "exit 0") const
    {
        const QByteArray rec = QFile::encodeName(path(QStringLiteral("record")));
        return file("install_clean.sh",
                    "rec=" + rec +
                        "\n"
                        "echo \"$*\" >> $rec/calls\n"
                        "if [ \"$2\" = install ]; then\n"
                        "  printf '%s\\n' \"$0\" \"$@\" > $rec/args\n"
                        "  pwd > $rec/cwd; stat -c %a . > $rec/mode\n"
                        "  stat -c %u:%g app/bin > $rec/owner\n"
                        "  printf '%s\\n' \"$PATH\" \"$PACKAGEKIT_CALLER_UID\" \"$TWK_TAR_MARK\""
                        " > $rec/env\n"
                        "  cat > $rec/stdin\n  " +
                        installBody + "\nfi\n");
    }

    Apt_Task placeBundle(const QString &package, const QByteArray &archive)
    {
        Apt_Task task;
        task.sourceId = QStringLiteral("other-store");
        task.packageName = package;
        task.version = QStringLiteral("1.0");
        task.uid = 1234;
        task.isTarPkg = true;
        task.sha256 = sha256Of(archive);
        if (!TestEnv::writeFile(bundlePath(package), archive))
            qWarning() << "cannot write the bundle of" << package;
        return task;
    }

    // The first guard alone, on tar's own listing, before anything is unpacked.
    static bool listingAccepts(const QString &bundle)
    {
        const AppStore::ProcessResult listing =
            TestEnv::runTool(QStringLiteral("tar"), AppStore::TarMemberCheck::listArguments(bundle),
                             {QStringLiteral("LC_ALL=C")});
        QString reason;
        return listing.succeeded() &&
               AppStore::TarMemberCheck::accepts(listing.standardOutput,
                                                 QStringLiteral("install_clean.sh"), &reason);
    }

    Outcome run(TarPkgInstallTask *task)
    {
        Outcome outcome;
        connect(task, &TarPkgInstallTask::sigInstallTaskFinished, this,
                [&outcome](const Apt_Task &finished, bool ok, AppStore::DownloadStatusCode code) {
                    ++outcome.finished;
                    outcome.ok = ok;
                    outcome.code = code;
                    outcome.packageName = finished.packageName;
                });
        task->setWorkRoot(path(QStringLiteral("work")));
        QThreadPool pool;
        pool.start(task);
        pool.waitForDone();
        QCoreApplication::processEvents();
        delete task;
        return outcome;
    }

    QStringList leftInWorkRoot() const
    {
        return QDir(path(QStringLiteral("work")))
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    }

    QTemporaryDir m_dir;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        AppStore::AptSources::setRoots(path(QStringLiteral("state")), path(QStringLiteral("etc")),
                                       path(QStringLiteral("cache")));
        qputenv("TWK_TAR_MARK", "kept");
    }

    void init()
    {
        QVERIFY(QDir(path(QStringLiteral("record"))).removeRecursively());
        QVERIFY(QDir().mkpath(path(QStringLiteral("record"))));
        QVERIFY(TestEnv::writeFile(path(QStringLiteral("canary")), "canary\n"));
    }

    void cleanup()
    {
        QCOMPARE(leftInWorkRoot(), QStringList());
        QCOMPARE(TestEnv::readFile(path(QStringLiteral("canary"))), QByteArray("canary\n"));
    }

    // How the script is called and what each of its endings gives.
    void scriptRun_data()
    {
        QTest::addColumn<QByteArray>("installBody");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<bool>("pax");

        QTest::newRow("installed")
            << QByteArray("exit 0") << true << QStringList{"install"} << false;
        QTest::newRow("failed, cleaned once")
            << QByteArray("exit 3") << false << QStringList{"install", "clean"} << false;
        QTest::newRow("hanging, killed at the limit")
            << QByteArray("sleep 600 & echo $! > $rec/sleeper; wait") << false
            << QStringList{"install", "clean"} << false;
        // The script's whole-second date follows a sub-second one: tar pads it.
        QTest::newRow("pax, sub-second times, installed")
            << QByteArray("exit 0") << true << QStringList{"install"} << true;
    }

    void scriptRun()
    {
        QFETCH(QByteArray, installBody);
        QFETCH(bool, ok);
        QFETCH(QStringList, actions);
        QFETCH(bool, pax);

        // A "." entry of a wide-open mode must not open the private folder;
        // links that stay inside and unusual but harmless names are fine;
        // files are root's whoever owns them in the bundle.
        const Member top{"./", '5', {}, {}, 0777, 0, 1700000000, 123456789};
        const Member bin{"app/bin", '0', "data\n", {}, 0644, 4321, 1700000000, 500000000};
        const QList<Member> members{top,
                                    script(installBody),
                                    bin,
                                    link('2', "app/lib.so", "../app/bin"),
                                    link('1', "app/bin2", "./app/bin"),
                                    file("app/d\xc3\xa9j\xc3\xa0 vu -> x"),
                                    link('2', "app/current", "sub/../bin")};
        const Apt_Task bundle =
            placeBundle(QStringLiteral("twk-tar-app"),
                        pax ? TarArchive::pax(members) : TarArchive::build(members));
        auto *task = new TarPkgInstallTask(bundle);
        TarPkgInstallTask::Limits limits;
        limits.scriptMs = 1500;
        task->setLimits(limits);
        QElapsedTimer clock;
        clock.start();
        const Outcome outcome = run(task);

        QCOMPARE(outcome.finished, 1);
        QCOMPARE(outcome.ok, ok);
        QCOMPARE(outcome.code, 0);
        QCOMPARE(outcome.packageName, bundle.packageName);
        QVERIFY(clock.elapsed() < 20000);
        QVERIFY(!QFile::exists(bundlePath(bundle.packageName)));

        const QString arch = AppStore::SystemProbes::cpuArchitectureName();
        QStringList calls;
        for (const QString &action : actions)
            calls << arch + QLatin1Char(' ') + action;
        QCOMPARE(QString::fromUtf8(TestEnv::readFile(record(QStringLiteral("calls"))))
                     .split(QLatin1Char('\n'), Qt::SkipEmptyParts),
                 calls);
        const QString cwd = QString::fromUtf8(TestEnv::readFile(record(QStringLiteral("cwd"))));
        const QString workRoot = QDir(path(QStringLiteral("work"))).canonicalPath();
        QVERIFY2(QRegularExpression(QStringLiteral("^%1/twk-tar-app-[0-9a-f]{32}\\n$")
                                        .arg(QRegularExpression::escape(workRoot)))
                     .match(cwd)
                     .hasMatch(),
                 qPrintable(cwd));
        QCOMPARE(TestEnv::readFile(record(QStringLiteral("mode"))), QByteArray("700\n"));
        QCOMPARE(TestEnv::readFile(record(QStringLiteral("owner"))), QByteArray("0:0\n"));
        QCOMPARE(QString::fromUtf8(TestEnv::readFile(record(QStringLiteral("args")))),
                 QStringLiteral("%1/install_clean.sh\n%2\ninstall\n").arg(cwd.trimmed(), arch));
        QCOMPARE(QString::fromUtf8(TestEnv::readFile(record(QStringLiteral("env")))),
                 kPath + QStringLiteral("\n1234\nkept\n"));
        QVERIFY(QFile::exists(record(QStringLiteral("stdin"))));
        QCOMPARE(TestEnv::readFile(record(QStringLiteral("stdin"))), QByteArray());
        // What the script started goes with it.
        const QByteArray sleeper = TestEnv::readFile(record(QStringLiteral("sleeper"))).trimmed();
        QCOMPARE(sleeper.isEmpty(), !installBody.contains("sleeper"));
        QVERIFY(TestEnv::waitFor(
            [&] {
                return sleeper.isEmpty() ||
                       !QFile::exists(QStringLiteral("/proc/") + QString::fromLatin1(sleeper));
            },
            5000));
    }

    // Bundles that must not be unpacked: nothing runs, nothing outside the
    // unpack folder changes, and the bundle still goes. Past the checksum,
    // tar's listing alone refuses each, whatever the walk would find later.
    void hostileBundle_data()
    {
        QTest::addColumn<QByteArray>("archive");
        QTest::addColumn<bool>("rightChecksum");

        const QByteArray canary = QFile::encodeName(path(QStringLiteral("canary")));
        const QByteArray dir = QFile::encodeName(m_dir.path());
        const Member owned = file("out/canary", "owned\n");
        QTest::newRow("../ member")
            << TarArchive::build({script(), file("../../canary", "owned\n")}) << true;
        QTest::newRow("absolute member")
            << TarArchive::build({script(), file(canary, "owned\n")}) << true;
        QTest::newRow("symlink pointing out")
            << TarArchive::build({script(), link('2', "out", dir), owned}) << true;
        QTest::newRow("relative symlink pointing out")
            << TarArchive::build({script(), link('2', "sub/out", "../../../canary")}) << true;
        QTest::newRow("symlink leaving through another link")
            << TarArchive::build({script(), link('2', "here", "."), link('2', "up", "here/../..")})
            << true;
        QTest::newRow("hard link pointing out")
            << TarArchive::build({script(), link('1', "hl", "../../canary"), file("hl", "owned\n")})
            << true;
        QTest::newRow("hard link to an inner symlink")
            << TarArchive::build({script(), link('2', "a/b/l", "../../a"), link('1', "l2", "a/b/l"),
                                  file("l2/x")})
            << true;
        QTest::newRow("member directly below a symbolic link")
            << TarArchive::build({script(), link('2', "d", "."), file("d/x")}) << true;
        Member future = file("future");
        future.mtime = 1000000000000; // the year 33658
        QTest::newRow("date that widens the listing's columns")
            << TarArchive::build(
                   {script(), link('2', "d", "."), future, link('2', "d/l", "../escape")})
            << true;
        Member longest = file("longest");
        longest.nanoseconds = 123456789;
        Member below = link('2', "d/l", "../escape");
        below.nanoseconds = 500000000;
        QTest::newRow("link out after sub-second times")
            << TarArchive::pax({script(), longest, link('2', "d", "."), below}) << true;
        QTest::newRow("device node")
            << TarArchive::build({script(), {"null", '3', {}, {}, 0666}}) << true;
        QTest::newRow("FIFO") << TarArchive::build({script(), {"pipe", '6', {}, {}, 0644}}) << true;
        QTest::newRow("symlinked install_clean.sh")
            << TarArchive::build(
                   {file("real.sh", "exit 0\n"), link('2', "install_clean.sh", "real.sh")})
            << true;
        QTest::newRow("no script") << TarArchive::build({file("app/bin")}) << true;
        QTest::newRow("control character in a name")
            << TarArchive::build({script(), file("a\nb")}) << true;
        QTest::newRow("checksum mismatch") << TarArchive::build({script()}) << false;
    }

    void hostileBundle()
    {
        QFETCH(QByteArray, archive);
        QFETCH(bool, rightChecksum);
        QVERIFY(!archive.isEmpty());

        Apt_Task task = placeBundle(QStringLiteral("twk-tar-hostile"), archive);
        QCOMPARE(listingAccepts(bundlePath(task.packageName)), !rightChecksum);
        if (!rightChecksum)
            task.sha256 = sha256Of("something else");
        const Outcome outcome = run(new TarPkgInstallTask(task));

        QCOMPARE(outcome.finished, 1);
        QVERIFY(!outcome.ok);
        QVERIFY(!QFile::exists(record(QStringLiteral("calls"))));
        QVERIFY(!QFile::exists(bundlePath(task.packageName)));
    }

    // The unpacked tree as it is on disk: each entry a link (name, target),
    // or a folder when the target is empty. Names are percent-encoded bytes;
    // TREE in a target is the tree's own name.
    void unpackedLinks_data()
    {
        QTest::addColumn<QList<QStringList>>("entries");
        QTest::addColumn<bool>("inside");
        QTest::newRow("name not UTF-8") << QList<QStringList>{{"%FF", "/etc"}} << false;
        QTest::newRow("chain ending in the folder itself")
            << QList<QStringList>{{"sub", ""}, {"a", "sub"}, {"b", "a/.."}} << true;
        QTest::newRow("dangling, inside") << QList<QStringList>{{"l", "missing/file"}} << true;
        QTest::newRow("out through a link to its own folder")
            << QList<QStringList>{{"d", "."}, {"d/l", "../escape"}} << false;
        QTest::newRow("absolute") << QList<QStringList>{{"sub", ""}, {"sub/l", "/etc"}} << false;
        QTest::newRow("into a sibling named like the tree")
            << QList<QStringList>{{"l", "../TREE-x/file"}} << false;
    }

    void unpackedLinks()
    {
        QFETCH(QList<QStringList>, entries);
        QFETCH(bool, inside);
        QTemporaryDir tree;
        // Qt cannot remove a name it cannot decode.
        const auto removeTree = qScopeGuard([&tree] {
            TestEnv::runTool(QStringLiteral("rm"), {QStringLiteral("-rf"), tree.path()});
        });
        for (const QStringList &entry : entries) {
            const QByteArray path = QFile::encodeName(tree.path()) + '/' +
                                    QByteArray::fromPercentEncoding(entry.at(0).toUtf8());
            const QByteArray target = QFile::encodeName(
                QString(entry.at(1))
                    .replace(QStringLiteral("TREE"), QFileInfo(tree.path()).fileName()));
            QVERIFY(target.isEmpty() ? ::mkdir(path.constData(), 0755) == 0
                                     : ::symlink(target.constData(), path.constData()) == 0);
        }
        QString reason;
        QCOMPARE(AppStore::UnpackedTreeCheck::linksStayInside(tree.path(), &reason), inside);
    }

    // Names and versions that would be shell or option text reach no tool,
    // and an invalid name removes nothing.
    void invalidName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("version");

        for (const char *bad : {"x;touch owned", "$(id)", "-oAPT::x"}) {
            QTest::addRow("name %s", bad) << QString::fromLatin1(bad) << QStringLiteral("1.0");
            QTest::addRow("version %s", bad)
                << QStringLiteral("twk-tar-v") << QString::fromLatin1(bad);
        }
    }

    void invalidName()
    {
        QFETCH(QString, name);
        QFETCH(QString, version);

        Apt_Task task = placeBundle(name, TarArchive::build({script(), file("owned")}));
        task.version = version;
        const Outcome outcome = run(new TarPkgInstallTask(task));

        QCOMPARE(outcome.finished, 1);
        QVERIFY(!outcome.ok);
        QVERIFY(!QFile::exists(record(QStringLiteral("calls"))));
        QVERIFY(!QFile::exists(QStringLiteral("owned")));
        const bool nameValid = name == QLatin1String("twk-tar-v");
        QCOMPARE(QFile::exists(bundlePath(name)), !nameValid);
        QFile::remove(bundlePath(name));
    }
};

QTEST_GUILESS_MAIN(TestTarPkgInstallTask)
#include "tst_tar_pkg_install_task.moc"
