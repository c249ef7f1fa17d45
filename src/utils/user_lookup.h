#pragma once

#include <QString>

#include <sys/types.h>

namespace AppStore {

// The daemon's own process identity: real user id and login name.
struct CurrentUser
{
    uid_t uid = 0;
    QString name;
};

// Who runs the daemon and who sits at the machine.
class UserLookup
{
public:
    UserLookup() = delete;

    static CurrentUser getCurrentUser();

    // The user of the active session on seat0, asked of the login manager on
    // every call. logname is always overwritten: "root" (result 0) when the
    // login manager cannot be asked or names no usable user; see the source
    // for the partial answers. Blocks until the login manager answers.
    static quint32 getLogname(QString &logname);

    // Login names end up in paths such as "/home/<name>/Desktop": only a
    // non-empty name that stays inside that folder is taken, whoever
    // reported it.
    static bool isPlainLoginName(const QString &name);
    // The user and group ids of a login name from the user database; false
    // when there is no such user. Safe on any thread.
    static bool getUserIds(const QString &login, uid_t &uid, gid_t &gid);
};

} // namespace AppStore
