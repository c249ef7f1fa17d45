#pragma once

#include "server_process.h"

#include <QByteArray>
#include <QMap>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A small apt repository of test packages built at test time, served over a
// file: URI or local HTTP, with a private apt configuration that points at it
// and at nothing else. The machine's /etc/apt is never touched; installing
// from it does change the machine's dpkg database.
//
// Every package name starts with "twk-test-" so that dpkg-tidy.sh finds what
// a test left installed; the one exception, a dummy store client, carries
// the dummy mark, which dpkg-tidy.sh looks for.
class LocalAptRepository
{
public:
    enum class Transport { File, Http };

    struct PackageOptions
    {
        QString depends; // a Depends field value
        QString priority = QStringLiteral("optional");
        bool desktopApplication = true;  // /usr/bin/<name> and its .desktop file
        QMap<QString, QByteArray> files; // absolute path -> contents; /usr/bin/*, /usr/games/*
                                         // executable,
                                         // /etc/* configuration files (conffiles)
        qint64 fillerBytes = 0;          // incompressible bytes, so that a download takes a while
        QString templates;               // debconf templates; adds Depends: debconf
        QString config;                  // maintainer scripts, complete with "#!"
        QString preinst;
        QString postinst;
        QString prerm;
        QString postrm;
        QMap<QString, QString> controlFields; // extra fields, e.g. "XB-channel"
    };

    // The mark that lets the dpkg fixture purge a stand-in for a package that
    // is not named "twk-test-*" (the store client "velkor-app-store").
    static QString dummyMarkField() { return QStringLiteral("XB-Tarnwick-Test-Dummy"); }

    // Everything in a folder whose name starts with folderName, which may
    // hold blanks, as a disc label or a user's folder does.
    explicit LocalAptRepository(const QString &folderName = QString());
    ~LocalAptRepository();

    // "twk-test-hello", "twk-test-config", "twk-test-plugin" (depends on
    // hello >= 1.0) and "twk-test-broken" (its postinst fails), all 1.0.
    bool addStandardPackages();
    // Once published, the index is rebuilt at once: the next `apt-get update`
    // sees the package.
    bool addPackage(const QString &name, const QString &version);
    bool addPackage(const QString &name, const QString &version, const PackageOptions &options);
    // Many packages alike: each of names at each of versions, built side by
    // side on every processor, indexed once.
    bool addPackages(const QStringList &names, const QStringList &versions);
    bool addPackages(const QStringList &names, const QStringList &versions,
                     const PackageOptions &options);

    // Indexes the packages, writes the apt configuration and, for Http,
    // starts the server. bytesPerSecond > 0 throttles the server.
    bool publish(Transport transport = Transport::Http, int bytesPerSecond = 0);
    // Ends the web server: later downloads fail to connect.
    void stopServer();

    QString repositoryDir() const;
    QString debPath(const QString &name, const QString &version) const;
    QString uri() const { return m_uri; }
    QString sourcesLine() const;
    QString aptConfigPath() const;
    // APT_CONFIG and DEBIAN_FRONTEND for apt-get, dpkg and their scripts.
    QStringList environment() const;
    QString errorString() const;

private:
    bool buildPackage(const QString &name, const QString &version, const PackageOptions &options);
    bool writeIndex();
    bool writeAptConfiguration();
    bool startServer(int bytesPerSecond);
    bool runTool(const QString &program, const QStringList &arguments,
                 const QString &workingDirectory, QByteArray *output = nullptr);
    bool fail(const QString &message);

    QTemporaryDir m_dir;
    ServerProcess m_server;
    QString m_uri;
    mutable QMutex m_errorMutex; // parallel builds may fail at once
    QString m_error;
    bool m_published = false;
};
