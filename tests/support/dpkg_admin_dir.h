#pragma once

#include "test_env.h"

#include <QDir>
#include <QString>
#include <QTemporaryDir>

// A private dpkg database that dpkg-query reads when DPKG_ADMINDIR names it,
// so that a test can pretend a package is installed at any version without
// touching the machine's database.
class DpkgAdminDir
{
public:
    // status: dpkg's Status field, e.g. "install ok installed".
    bool write(const QString &package, const QString &version,
               const QString &status = QStringLiteral("install ok installed"))
    {
        makeFolders();
        if (package.isEmpty())
            return TestEnv::writeFile(m_dir.filePath(QStringLiteral("status")), QByteArray());
        return TestEnv::writeFile(
            m_dir.filePath(QStringLiteral("status")),
            QStringLiteral("Package: %1\nStatus: %3\nPriority: optional\n"
                           "Section: misc\nInstalled-Size: 10\n"
                           "Maintainer: Tests <tests@localhost>\nArchitecture: all\n"
                           "Version: %2\nDescription: test runtime\n\n")
                .arg(package, version, status)
                .toUtf8());
    }

    // A package of several architectures, one "architecture status" each.
    bool writeInstances(const QString &package, const QStringList &instances)
    {
        QByteArray text;
        for (const QString &instance : instances)
            text += QStringLiteral("Package: %1\nMulti-Arch: same\nArchitecture: %2\nStatus: %3\n"
                                   "Version: 1.0\nMaintainer: Tests <tests@localhost>\n\n")
                        .arg(package, instance.section(u' ', 0, 0), instance.section(u' ', 1))
                        .toUtf8();
        makeFolders();
        return TestEnv::writeFile(m_dir.filePath(QStringLiteral("status")), text);
    }

    // Records exactly as dpkg's status file holds them.
    bool writeRecords(const QByteArray &text)
    {
        makeFolders();
        return TestEnv::writeFile(m_dir.filePath(QStringLiteral("status")), text);
    }

    // The package's file list as dpkg keeps it, one path a line.
    bool writeFileList(const QString &package, const QStringList &paths)
    {
        makeFolders();
        return TestEnv::writeFile(m_dir.filePath(QStringLiteral("info/%1.list").arg(package)),
                                  (paths.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
    }

    // dpkg's diversions: for each, the diverted path, where it went and the
    // package that diverted it (":" for a local diversion).
    bool writeDiversions(const QList<QStringList> &diversions)
    {
        makeFolders();
        QByteArray text;
        for (const QStringList &diversion : diversions)
            text += (diversion.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
        return TestEnv::writeFile(m_dir.filePath(QStringLiteral("diversions")), text);
    }

    // A database dpkg-query stops reading with an error.
    bool writeUnparsable()
    {
        makeFolders();
        return TestEnv::writeFile(m_dir.filePath(QStringLiteral("status")), "not a field\n");
    }

    // Points dpkg-query at this database until the object goes.
    void activate() { qputenv("DPKG_ADMINDIR", m_dir.path().toLocal8Bit()); }
    ~DpkgAdminDir() { qunsetenv("DPKG_ADMINDIR"); }

private:
    void makeFolders()
    {
        QDir(m_dir.path()).mkpath(QStringLiteral("info"));
        QDir(m_dir.path()).mkpath(QStringLiteral("updates"));
    }

    QTemporaryDir m_dir;
};
