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

// Static helpers shared by every subsystem.
class Utils
{
public:
    Utils() = delete;

    static CurrentUser getCurrentUser();
};

} // namespace AppStore
