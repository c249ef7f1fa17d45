#pragma once

#include "utils/lazy_singleton.h"

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

    // The role of userName's account, cached per user once learnt; "-1" when
    // the service cannot tell, which is not cached so the next call asks again.
    QString getOwnerRole(const QString &userName);

    // One "GetAccountType" call; false when the service is absent, answers
    // with an error, or answers nothing usable as text.
    bool getAccountType(const QString &userName, QString &type);

private:
    ChildrenGuardAccountInterface();
    friend class AppStore::LazySingleton<ChildrenGuardAccountInterface>;

    QMutex m_cacheMutex;
    QMap<QString, QString> m_roleCache;
};
