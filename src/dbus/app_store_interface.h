#pragma once

#include "utils/lazy_singleton.h"

#include <QDBusContext>
#include <QObject>

// The daemon's one object on the system bus ("/appstore"). Only members
// declared scriptable are visible there.
class AppStoreInterface : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tarnwick.daemon.interface")
    Q_PROPERTY(QString Version READ version)

public:
    static AppStoreInterface *instance();

    // Registers the object, then the service name; false (logged) when
    // either is refused, for instance because another daemon owns the name.
    bool registerDBus();

    QString version() const;

private:
    AppStoreInterface();
    friend class AppStore::LazySingleton<AppStoreInterface>;
};
