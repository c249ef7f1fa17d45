#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <array>

class QNetworkAccessManager;

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
// proxy maps go to the daemon's own environment and to the package tools'
// children and are kept in the settings file; the manual records live in
// memory only.
//
// Every operation holds one mutex: the maps are written on the main thread
// and read on task threads, and the process environment is changed here.
class ProxySystem
{
public:
    ProxySystem() = delete;

    // environment: a JSON object of proxy variables; replaces the user's map,
    // applies it to the process environment and saves the settings.
    static void setSystemProxy(const QString &userName, const QString &environment);
    static void setManual(const QString &userName, const QString &type, const QString &host,
                          const QString &port);
    static void setMode(const QString &userName, const QString &mode);

    static void loadProxy();
    static void saveProxy();

    // key=value entries of the user's map for a child's environment. An
    // empty userName means the current user and receives that user's name.
    static QStringList proxyEnvironmentList(QString &userName);

    static void applyProxyEnvironment(const QVariantMap &map);
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
