#include "desktop_entry_checks.h"

#include "common/daemon_log.h"

#include <bdesktopentry.h>

#include <QDir>
#include <QFileInfo>
#include <QMetaEnum>
#include <QStringList>

using Bexa::Core::BDesktopEntry;

namespace AppStore {

namespace {

const QString kGroup = QStringLiteral("Desktop Entry");
const QString kDesktopName = QStringLiteral("Velkor");
const QString kTryExec = QStringLiteral("TryExec");

// False when the entry could not be read; the caller then gives its neutral
// answer.
bool statusUsable(const BDesktopEntry &entry, const QString &path)
{
    const BDesktopEntry::Status status = entry.status();
    switch (status) {
    case BDesktopEntry::NoError:
        return true;
    case BDesktopEntry::AccessError:
    case BDesktopEntry::FormatError:
        qCWarning(daemonLogCategory).noquote()
            << QStringLiteral("BDesktopEntry %1 Status Error:").arg(path)
            << QMetaEnum::fromType<BDesktopEntry::Status>().valueToKey(status);
        return false;
    }
    qCWarning(daemonLogCategory).noquote()
        << QStringLiteral("BDesktopEntry %1 Unknown Status:").arg(path) << int(status);
    return true;
}

QString cleanedTryExec(const BDesktopEntry &entry)
{
    QString value = entry.stringValue(kTryExec, kGroup);
    BDesktopEntry::unescape(value, false);
    value.remove(QLatin1Char('"'));
    value.remove(QLatin1Char('\''));
    return value.trimmed();
}

QStringList pathDirectories()
{
    return qEnvironmentVariable("PATH").split(QLatin1Char(':'), Qt::SkipEmptyParts);
}

// A directory counts as a program only by mistake: it carries the search bit.
bool isExecutableFile(const QFileInfo &info)
{
    return info.exists() && info.isFile() && info.isExecutable();
}

// An empty TryExec names no program to test, so it neither hides the entry
// nor is removed; a search for it would only find the PATH directories.
bool tryExecRunnable(const QString &program)
{
    if (program.isEmpty())
        return true;
    if (program.contains(QLatin1Char('/')))
        return isExecutableFile(QFileInfo(program));
    const QStringList directories = pathDirectories();
    for (const QString &directory : directories) {
        if (QDir(directory).exists() && isExecutableFile(QFileInfo(QDir(directory), program)))
            return true;
    }
    return false;
}

bool tryExecPresent(const QString &program)
{
    if (program.isEmpty())
        return true;
    if (program.contains(QLatin1Char('/')))
        return QFileInfo::exists(program);
    const QStringList directories = pathDirectories();
    for (const QString &directory : directories) {
        if (QDir(directory).exists() && QFileInfo::exists(QDir(directory).filePath(program)))
            return true;
    }
    return false;
}

} // namespace

QString DesktopEntryChecks::getDesktopExecInfo(const QString &desktopFile)
{
    const BDesktopEntry entry(desktopFile);
    if (!statusUsable(entry, desktopFile))
        return QString();
    if (!entry.contains(QStringLiteral("Exec"), kGroup))
        return QString();
    QString exec = entry.stringValue(QStringLiteral("Exec"), kGroup, QString());
    BDesktopEntry::unescapeExec(exec);
    return exec.trimmed();
}

bool DesktopEntryChecks::isDesktopNeedToShow(const QString &desktopFile)
{
    const BDesktopEntry entry(desktopFile);
    if (!statusUsable(entry, desktopFile))
        return false;
    if (entry.stringValue(QStringLiteral("Type"), kGroup) != QLatin1String("Application"))
        return false;
    if (entry.stringValue(QStringLiteral("NoDisplay"), kGroup) == QLatin1String("true"))
        return false;
    if (entry.stringValue(QStringLiteral("Hidden"), kGroup) == QLatin1String("true"))
        return false;

    const QString onlyShowIn = QStringLiteral("OnlyShowIn");
    if (entry.contains(onlyShowIn, kGroup) &&
        !entry.stringListValue(onlyShowIn, kGroup).contains(kDesktopName))
        return false;
    const QString notShowIn = QStringLiteral("NotShowIn");
    if (entry.contains(notShowIn, kGroup) &&
        entry.stringListValue(notShowIn, kGroup).contains(kDesktopName))
        return false;

    if (!entry.contains(kTryExec, kGroup))
        return true;
    return tryExecRunnable(cleanedTryExec(entry));
}

void DesktopEntryChecks::checkDesktopTryExecInfo(const QString &desktopFile)
{
    BDesktopEntry entry(desktopFile);
    if (!statusUsable(entry, desktopFile))
        return;
    if (!entry.contains(kTryExec, kGroup))
        return;
    if (tryExecPresent(cleanedTryExec(entry)))
        return;
    entry.removeEntry(kTryExec, kGroup);
    // The save replaces the file atomically and refuses a symbolic link, which
    // could point root at any file of the system.
    if (!entry.save())
        qCWarning(daemonLogCategory) << "could not rewrite" << desktopFile << "without TryExec";
}

} // namespace AppStore
