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

bool isOfTypeApplication(const BDesktopEntry &entry)
{
    return entry.stringValue(QStringLiteral("Type"), kGroup) == QLatin1String("Application");
}

QString cleanedTryExec(const BDesktopEntry &entry)
{
    QString value = entry.stringValue(kTryExec, kGroup);
    BDesktopEntry::unescape(value, false);
    value.remove(QLatin1Char('"'));
    value.remove(QLatin1Char('\''));
    return value.trimmed();
}

// A directory counts as a program only by mistake: it carries the search bit.
bool isExecutableFile(const QFileInfo &info)
{
    return info.exists() && info.isFile() && info.isExecutable();
}

bool matches(const QFileInfo &info, DesktopEntryChecks::ProgramMatch match)
{
    return match == DesktopEntryChecks::ProgramMatch::Executable ? isExecutableFile(info)
                                                                 : info.exists();
}

// An empty TryExec names no program to test, so it neither hides the entry
// nor is removed; a search for it would only find the PATH directories.
bool tryExecFound(const QString &program, DesktopEntryChecks::ProgramMatch match)
{
    return program.isEmpty() || !DesktopEntryChecks::findProgram(program, match).isEmpty();
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

bool DesktopEntryChecks::isApplicationEntry(const QString &desktopFile)
{
    const BDesktopEntry entry(desktopFile);
    return statusUsable(entry, desktopFile) && isOfTypeApplication(entry);
}

bool DesktopEntryChecks::isDesktopNeedToShow(const QString &desktopFile)
{
    const BDesktopEntry entry(desktopFile);
    if (!statusUsable(entry, desktopFile))
        return false;
    if (!isOfTypeApplication(entry))
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
    return tryExecFound(cleanedTryExec(entry), ProgramMatch::Executable);
}

void DesktopEntryChecks::checkDesktopTryExecInfo(const QString &desktopFile)
{
    BDesktopEntry entry(desktopFile);
    if (!statusUsable(entry, desktopFile))
        return;
    if (!entry.contains(kTryExec, kGroup))
        return;
    if (tryExecFound(cleanedTryExec(entry), ProgramMatch::Exists))
        return;
    entry.removeEntry(kTryExec, kGroup);
    // The save replaces the file atomically and refuses a symbolic link, which
    // could point root at any file of the system.
    if (!entry.save())
        qCWarning(daemonLogCategory) << "could not rewrite" << desktopFile << "without TryExec";
}

QString DesktopEntryChecks::findProgram(const QString &program, ProgramMatch match)
{
    if (program.isEmpty())
        return QString();
    if (program.contains(QLatin1Char('/')))
        return matches(QFileInfo(program), match) ? program : QString();
    const QStringList directories =
        qEnvironmentVariable("PATH").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString &directory : directories) {
        const QDir dir(directory);
        if (dir.exists() && matches(QFileInfo(dir, program), match))
            return dir.absoluteFilePath(program);
    }
    return QString();
}

} // namespace AppStore
