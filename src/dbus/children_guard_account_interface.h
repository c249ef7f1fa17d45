#pragma once

#include "utils/lazy_singleton.h"

#include <QElapsedTimer>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>

// Client of the parental-control account service: the owner role of a
// user's account, which tasks, history rows and the store listing carry.
// Called from several threads (the task engine, hook tasks, upgrade checks);
// each call blocks its caller for at most the call time-out.
class ChildrenGuardAccountInterface : public QObject
{
    Q_OBJECT
public:
    static ChildrenGuardAccountInterface *instance();

    // The role of userName's account. A learnt role is kept for a minute
    // (the parent may change it at any time), then asked again; while the
    // service cannot tell, the last learnt role stands. "-1" when no role
    // was ever learnt, which is not kept, so the next call asks again.
    QString getOwnerRole(const QString &userName);
    // How long a learnt role is answered without asking; for tests.
    void setRoleLifetime(int ms);

    // One "GetAccountType" call; false when the service is absent, answers
    // with an error, or answers nothing usable as text.
    bool getAccountType(const QString &userName, QString &type);

private:
    ChildrenGuardAccountInterface();
    friend class AppStore::LazySingleton<ChildrenGuardAccountInterface>;

    struct LearntRole
    {
        QString role;
        QElapsedTimer age;
    };

    QMutex m_cacheMutex;
    QMap<QString, LearntRole> m_roleCache;
    int m_roleLifetimeMs = 60000;
};
