#pragma once

#include "utils/lazy_singleton.h"

#include <QList>
#include <QMetaType>
#include <QMutex>
#include <QObject>

class QDBusArgument;

// Client of the security-mode service, which may forbid installing
// applications; the upgrade checks ask it before they tell the client
// anything. Calls block their caller for at most the call time-out.
class HierarchicalControlInterface : public QObject
{
    Q_OBJECT
public:
    // One entry of the service's list: whether applications of a type may be
    // installed. D-Bus signature (ib).
    struct AppType
    {
        int type = 0;
        bool allowed = true;
    };

    static HierarchicalControlInterface *instance();

    explicit HierarchicalControlInterface(QObject *parent = nullptr);

    // One "GetMode" call; on a usable answer stores the mode and whether
    // type 0 is allowed and returns true. Any other answer leaves both as
    // they were and returns false.
    bool getMode();

    // True when the service is absent. Otherwise asks it and answers from the
    // stored values, the last usable answer when this one is not: true
    // unless the mode is 1 and applications of type 0 are not allowed.
    bool isAllowed();

private:
    enum class Answer { Usable, Absent, Unusable };

    Answer askMode();

    QMutex m_mutex;
    int m_mode = 0;
    bool m_isAppType0Allowed = true;
};

Q_DECLARE_METATYPE(HierarchicalControlInterface::AppType)

QDBusArgument &operator<<(QDBusArgument &argument,
                          const HierarchicalControlInterface::AppType &value);
const QDBusArgument &operator>>(const QDBusArgument &argument,
                                HierarchicalControlInterface::AppType &value);
