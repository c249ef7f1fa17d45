#pragma once

#include "common/download_state_bi_data.h"

#include <QByteArray>
#include <QString>

// What the statistics report and its replay share: the request texts, the
// refresh of a record's device facts, and the one request they send.
namespace StatisticsReport {

enum HttpType { Get = 1, Post = 2 };

// "type/.. device_id/.. client_version/.. os/.. os_version/.. os_build/..
// channel/.. uid/.. app_id/.. package_version/.. session_id/..
// [down_type/.. for type 41] code/..", each value trimmed.
QString buildStatisticsUserAgent(const DownloadStateBiData &record);

// {"content": ..} in indented form, UTF-8.
QByteArray buildContentBody(const QString &content);

// The stored form of a failed statistics request; "body" only for a POST.
QString buildRetryReportData(int type, const QString &url, const QString &header,
                             const QString &body, const QString &packageName);

// The statistics service's address: "TARNWICK_STATISTICS_URL" when set at the
// first use, else the deployment's built-in address.
QString statisticsUrl();
void setStatisticsUrl(const QString &url);

// The device facts from the store client's header record; for type "41"
// whether the package is installed; the store's application id when the
// store knows the package. With onlyMissing, fields that hold a value (even
// an empty one) keep it: a stored report speaks of the moment it happened.
void fillHeaderInfo(DownloadStateBiData &data, bool onlyMissing = false);

// One GET or POST of the record; the User-Agent text sent is left in
// userAgent. False (and a warning) when it failed or type is neither.
bool send(const DownloadStateBiData &data, int type, const QString &url, const QByteArray &body,
          QString &userAgent);

} // namespace StatisticsReport
