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
};

} // namespace AppStore
