#include "test_user.h"

#include "test_env.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <pwd.h>
#include <unistd.h>

namespace {

QString applicationEntry(const QString &package)
{
    return QStringLiteral("/usr/share/applications/%1.desktop").arg(package);
}

} // namespace

bool TestUser::create()
{
    remove();
    if (!TestEnv::runTool(
             QStringLiteral("/usr/sbin/useradd"),
             {QStringLiteral("-m"), QStringLiteral("-s"), QStringLiteral("/bin/sh"), login})
             .succeeded())
        return false;
    const struct passwd *entry = getpwnam(login.toLatin1().constData());
    if (!entry)
        return false;
    uid = entry->pw_uid;
    gid = entry->pw_gid;
    return true;
}

void TestUser::remove()
{
    if (getpwnam(login.toLatin1().constData()))
        TestEnv::runTool(QStringLiteral("/usr/sbin/userdel"), {QStringLiteral("-r"), login});
}

bool TestUser::addShortcut(const QString &package) const
{
    const QString desktop = QStringLiteral("/home/%1/Desktop").arg(login);
    const QString shortcut = desktop + QStringLiteral("/%1.desktop").arg(package);
    return QDir().mkpath(desktop) &&
           lchown(QFile::encodeName(desktop).constData(), uid, gid) == 0 &&
           QFile::link(applicationEntry(package), shortcut) &&
           lchown(QFile::encodeName(shortcut).constData(), uid, gid) == 0;
}

bool TestUser::hasShortcut(const QString &package) const
{
    const QFileInfo link(QStringLiteral("/home/%1/Desktop/%2.desktop").arg(login, package));
    return link.isSymLink() && link.symLinkTarget() == applicationEntry(package);
}
