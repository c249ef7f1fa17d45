#pragma once

#include "common/download_state_bi_data.h"
#include "task/abstract_task.h"

#include <QRunnable>

// One pass over the stored failed reports, oldest first: each one that gets
// through is deleted; the first that fails again is stamped and ends the
// pass, so it and the later ones wait for the next pass. A row that cannot
// be sent at all (not a JSON object, no address, an unknown request kind) is
// deleted with a warning, so it cannot hold up the rows behind it forever.
class NetRetryTask : public AbstractTask, public QRunnable
{
    Q_OBJECT
public:
    NetRetryTask();
    ~NetRetryTask() override;

    void run() override;

Q_SIGNALS:
    void netRetryTaskFinish();

private:
    // False when the row's payload cannot be sent at all.
    bool parseReportData(const QString &reportData);
    bool reportBi();
    void fillHeaderInfo();

    DownloadStateBiData data;
};
