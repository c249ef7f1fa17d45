#pragma once

#include <QString>

#include <sys/types.h>

// A user made for a test, with a home of their own, from create() until the
// object goes, also after a failure; the home goes with the user.
struct TestUser
{
    explicit TestUser(const QString &name = QStringLiteral("twk-test-user"))
        : login(name)
    {}
    ~TestUser() { remove(); }
    TestUser(const TestUser &) = delete;
    TestUser &operator=(const TestUser &) = delete;

    // Any earlier user of the name goes first.
    bool create();
    void remove();
    // A Desktop folder of the user's with the shortcut the daemon makes to
    // the package's entry: "<package>.desktop", a link to it in the system's
    // application folder.
    bool addShortcut(const QString &package) const;
    bool hasShortcut(const QString &package) const;

    const QString login;
    uid_t uid = 0;
    gid_t gid = 0;
};
