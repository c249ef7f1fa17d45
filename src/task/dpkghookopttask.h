#pragma once

#include "abstract_task.h"

#include "common/app_brief_info.h"
#include "common/package_info.h"

#include <QList>
#include <QRunnable>
#include <QString>
#include <QStringList>

// One dpkg hook call about a package the store is not handling itself. A
// package installed outside the store joins the local store listing, gets
// its install-state row, has a stale history row brought up to date and is
// announced; a package removed outside the store is marked removed and
// announced.
//
// It receives nothing: whoever starts it takes it off every thread
// (moveToThread(nullptr)), and its pool deletes it after run().
class DpkgHookOptTask : public AbstractTask, public QRunnable
{
    Q_OBJECT
public:
    DpkgHookOptTask(const QString &packageName, const QString &version, const QString &operation);
    ~DpkgHookOptTask() override;

    // Whether the texts of a hook call may reach the package tools and the
    // store: a package name or kapla id and a version in their own syntax
    // (nothing a shell or a tool's option parser would read as more), and an
    // operation word of plain text.
    static bool isAcceptable(const QString &packageName, const QString &version,
                             const QString &operation);

    void run() override;

Q_SIGNALS:
    void sigInstallPackageFromHook(QString packageName, QString version, QString size,
                                   QStringList desktopFileList, QString channelId);
    void sigRemovePackageFromHook(QString packageName);
    void sigRemoveUpdateCacheItem(QString iPacage, QString iVersion = QString());
    void sigAptInstRm(QString packageName, bool operation);

private:
    void refreshCachedFacts();
    void handleInstall(const Package_Info &info);
    void handleRemove();
    void announceInstall(const Package_Info &info, const QStringList &desktopFiles);
    void recordStoreListing(const QList<StoreService::AppBriefInfo> &briefs);
    void writeInstallStatus(const StoreService::AppBriefInfo &brief, const QString &ownerRole);
    bool isUpToDate(const Package_Info &info, const StoreService::AppBriefInfo &brief) const;
    void updateHookInstallHistory(const Package_Info &info, bool upToDate);

    const QString m_packageName;
    const QString m_version;
    const QString m_operation;
};
