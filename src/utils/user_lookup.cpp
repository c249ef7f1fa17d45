#include "user_lookup.h"

#include <pwd.h>
#include <unistd.h>

namespace AppStore {

CurrentUser UserLookup::getCurrentUser()
{
    CurrentUser user;
    user.uid = getuid();
    const char *login = getlogin();
    user.name = login ? QString::fromUtf8(login) : QString();
    if (user.name.trimmed().isEmpty()) {
        // The reentrant form: this may run on any thread.
        passwd entry{};
        passwd *found = nullptr;
        char buffer[4096];
        if (getpwuid_r(user.uid, &entry, buffer, sizeof buffer, &found) == 0 && found) {
            user.name = QString::fromUtf8(found->pw_name);
        }
    }
    return user;
}

} // namespace AppStore
