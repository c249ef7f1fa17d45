#pragma once

#include "utils/lazy_singleton.h"

#include <QDBusContext>
#include <QObject>

#include <memory>

class AptInstallManager;
class AptUpdateThread;
class ClearCacheDirThread;
class UpdateSrcDirThread;
class UploadHardware;

// The daemon's one object on the system bus ("/appstore"), and the owner of
// the long-lived workers. Only members declared scriptable are visible on the
// bus.
class AppStoreInterface : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tarnwick.daemon.interface")
    Q_PROPERTY(QString Version READ version)

public:
    static AppStoreInterface *instance();
    ~AppStoreInterface() override;

    // Registers the object, then the service name; false (logged) when
    // either is refused, for instance because another daemon owns the name.
    // Calls that arrive meanwhile wait for the event loop.
    bool registerDBus();
    // Builds the engine and the long-lived workers, settles what a previous
    // run left "installing" and starts the package-cache cleaning. Only for
    // the daemon that owns the name: each of these acts on shared state.
    void startWorkers();

    QString version() const;

    // Stops the install manager and the maintenance threads; the quit
    // handler calls it on the main thread, since the interface object itself
    // is never destroyed.
    void stopWorkers();

    // Main thread, when the service manager asks the daemon to stop: no new
    // work is taken, a running install or removal may end (at most fifteen
    // minutes), and then the application quits through its quit handler.
    void shutDown();

public Q_SLOTS:
    Q_SCRIPTABLE void AptUpdateSource(bool isStartup = false);
    void UpdateSourceDir();
    void ClearCacheDir();

private:
    AppStoreInterface();
    friend class AppStore::LazySingleton<AppStoreInterface>;

    void initDatabase();

    AptInstallManager *m_aptInstallManager = nullptr;
    std::unique_ptr<AptUpdateThread> m_aptUpdateThread;
    std::unique_ptr<UpdateSrcDirThread> m_updateSrcDirThread;
    std::unique_ptr<ClearCacheDirThread> m_clearCacheDirThread;
    std::unique_ptr<UploadHardware> m_uploadHardware;
};
