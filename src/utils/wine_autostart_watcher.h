#pragma once

#include "utils/lazy_singleton.h"

#include <QMutex>
#include <QObject>
#include <QStringList>

class QFileSystemWatcher;
class QThread;
class QTimer;

// Tells which of the store's installed wine applications start at log-in,
// changes that for one application, and tells again whenever the wine
// packaging's autostart files change. The tools folder holds "autostart"
// (one package name per line) and "autostart.all" (present: every installed
// wine application starts). All work runs on a worker thread of its own;
// every answer is the signal, never a return value.
class WineAutoStartWatcher : public QObject
{
    Q_OBJECT
public:
    static WineAutoStartWatcher *instance();
    ~WineAutoStartWatcher() override;

    // The wine packaging's tools folder, ending in "/"; tests point it
    // elsewhere before the first instance().
    static QString toolsDir();
    static void setToolsDir(const QString &dir);

    void start();
    void stop();

    // Queue the work on the worker thread and return at once.
    void getAutoStartPkgs();
    void setAutoStartPkg(const QString &packageName, bool operate);

Q_SIGNALS:
    void sigWineAutoStartPkgsChanged(QStringList pkgNames);

private Q_SLOTS:
    void slotFileChanged(const QString &path);
    void slotDirectoryChanged(const QString &path);

private:
    WineAutoStartWatcher();
    friend class AppStore::LazySingleton<WineAutoStartWatcher>;

    Q_INVOKABLE void init();
    Q_INVOKABLE void refreshAutoStartPkgs();
    Q_INVOKABLE void changeAutoStartPkg(const QString &packageName, bool operate);

    QStringList getInstalledWinePkgNames();
    // Emits the list when always is set or when it changed.
    void initAutoStartPkgs(bool always);
    void setWatchPaths();
    // Applies the change to the autostart file; false when nothing was
    // written.
    bool writeAutoStartChange(const QStringList &installed, const QString &packageName,
                              bool operate);

    QThread *thread = nullptr;
    QFileSystemWatcher *watcher = nullptr;
    QTimer *settle = nullptr; // gathers the events of one edit
    QMutex mutex;             // held for every list computation and file change
    QStringList autoStartPkgs;
    const QString dir;
};
