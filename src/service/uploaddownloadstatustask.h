#pragma once

#include "common/download_state_bi_data.h"
#include "task/abstract_task.h"

#include <QRunnable>

// Sends one statistics record: a GET to the statistics service carrying the
// record in its User-Agent, and for a failure code also the record's content
// to the store's download log. A request that fails is stored in report_bi
// to be sent again later, as is one not sent because the daemon is stopping.
class uploadDownloadStatusTask : public AbstractTask, public QRunnable
{
    Q_OBJECT
public:
    explicit uploadDownloadStatusTask(DownloadStateBiData data);
    ~uploadDownloadStatusTask() override;

    void run() override;

Q_SIGNALS:
    // After every request that got through; never with false.
    void taskResult(bool result);

private:
    void fillHeaderInfo();
    bool sendHttpMsg(int type, const QString &url);

    DownloadStateBiData data;
};
