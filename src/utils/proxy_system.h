#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <array>

class QNetworkAccessManager;
class QProcessEnvironment;

// One manually configured proxy server as the desktop reported it.
struct ProxyServer
{
    QString type; // the decimal index text as received
    QString host;
    QString port; // decimal text
};

// A user's manual proxy configuration; kept in memory only.
struct UserProxyRecord
{
    QString mode;
    // 0: HTTP proxy, 1: HTTPS proxy; 2 and 3 are kept but never read.
    std::array<ProxyServer, 4> servers;
};

// Proxy settings that each desktop user reports to the daemon. The system
// proxy maps go to the environment of the daemon's children and are kept in
// the settings file; the manual records live in memory only. The daemon's own
// environment is never changed: other threads read it while they start
// processes.
//
// Every operation holds one mutex: the maps are written on the main thread
// and read on task threads.
class ProxySystem
{
public:
    ProxySystem() = delete;

    // environment: a JSON object of proxy variables; replaces the user's map
    // and saves the settings. With makeCurrent the user becomes the current
    // one, whose map the runs for no named user and the inherited
    // environment take.
    static void setSystemProxy(const QString &userName, const QString &environment,
                               bool makeCurrent = true);
    static void setManual(const QString &userName, const QString &type, const QString &host,
                          const QString &port);
    static void setMode(const QString &userName, const QString &mode);

    static void loadProxy();
    static void saveProxy();

    // key=value entries of the user's map for a child's environment. An
    // empty userName means the current user and receives that user's name.
    static QStringList proxyEnvironmentList(QString &userName);

    // Makes map the proxy part of the environment that children inherit.
    static void applyProxyEnvironment(const QVariantMap &map);
    // Sets and removes in environment what the applied maps set and remove;
    // the process runner calls it for every child that inherits.
    static void applyToChildEnvironment(QProcessEnvironment &environment);
    static void updateUserProxyRecord(const QString &userName, const UserProxyRecord &record);

    static QString currentMode();
    static QString aptHttpProxyOption();
    static QString aptHttpsProxyOption();
    static void applyNetworkProxy(QNetworkAccessManager *manager, const QString &url);
    static bool isHttpsUrl(const QString &url);

    // The settings file; tests point it elsewhere.
    static QString settingsFilePath();
    static void setSettingsFilePath(const QString &path);
};
