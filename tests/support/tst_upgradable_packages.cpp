#include "dpkg_listing.h"
#include "local_apt_repository.h"
#include "test_env.h"
#include "upgradable_packages.h"

#include "apt_utils/apt_index_update.h"
#include "common/app_brief_info.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

class TestUpgradablePackages : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // What the daemon's check sees of them, and that nothing of them is left.
    void installedOldWithNewerKnownThenGone()
    {
        const QByteArray sourcesBefore = TestEnv::readFile(QStringLiteral("/etc/apt/sources.list"));
        const QString partsBefore = QString::number(
            QDir(QStringLiteral("/etc/apt/sources.list.d")).entryList(QDir::Files).size());
        QStringList names;
        {
            LocalAptRepository repository;
            UpgradablePackages packages(repository);
            QVERIFY2(packages.build(3), qPrintable(packages.errorString()));
            QVERIFY2(repository.publish(), qPrintable(repository.errorString()));
            QVERIFY2(packages.install(), qPrintable(packages.errorString()));
            names = packages.names();
            QCOMPARE(names.size(), 3);
            for (const QString &name : std::as_const(names)) {
                QCOMPARE(DpkgListing::field(name, QStringLiteral("Status")),
                         QStringLiteral("install ok installed"));
                QCOMPARE(DpkgListing::field(name, QStringLiteral("Version")),
                         QStringLiteral("1.0"));
            }

            const auto upgradable = AppStore::AptIndexUpdate::getAptUpgradableList();
            QVERIFY(upgradable.first);
            QStringList listed = upgradable.second;
            listed.sort();
            QCOMPARE(listed, names);

            const QJsonArray records = QJsonDocument::fromJson(packages.briefInfoReply())
                                           .object()
                                           .value("datas")
                                           .toArray();
            QCOMPARE(records.size(), 3);
            for (int i = 0; i < records.size(); ++i) {
                const StoreService::AppBriefInfo info(records.at(i).toObject());
                QCOMPARE(info.package_name, names.at(i));
                QCOMPARE(info.package_version, QStringLiteral("1.1"));
                QCOMPARE(info.pkgInstallMode, 1);
                QVERIFY(info.is_forced_update != 2);
            }
        }
        for (const QString &name : std::as_const(names))
            QVERIFY2(DpkgListing::field(name, QStringLiteral("Status")).isEmpty(),
                     qPrintable(name));
        QCOMPARE(TestEnv::readFile(QStringLiteral("/etc/apt/sources.list")), sourcesBefore);
        QCOMPARE(QString::number(
                     QDir(QStringLiteral("/etc/apt/sources.list.d")).entryList(QDir::Files).size()),
                 partsBefore);
    }
};

QTEST_GUILESS_MAIN(TestUpgradablePackages)
#include "tst_upgradable_packages.moc"
