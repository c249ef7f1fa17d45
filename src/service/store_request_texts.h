#pragma once

#include "common/request_header_info.h"

#include <QJsonObject>
#include <QString>

// The texts the store and statistics requests carry, built from the
// identity block of the request header record.

// "device_id/.. client/.. client_version/.. os/.. os_version/.. os_build/..
// channel/.. cpuid/.. uuid/.. SN/..": the User-Agent of store requests.
QString buildUserAgent(const BiHeaderInfo &bi);

// "type/40 device_id/.. .. channel/.. uid/.. cpuid/.. uuid/.. SN/.. code/..":
// the statistics header text.
QString buildBiHeaderString(const BiHeaderInfo &bi);

// The "key/value" words of a header text as an object; words that do not
// split into exactly two parts are left out, a later key replaces an earlier.
QJsonObject headerObjectFromText(const QString &header);

// The stored form of a failed store request: {"header": {key: value, ..},
// "url": url}, the header object taken from the "key/value" words of header.
QString buildRetryReportData(const QString &url, const QString &header);

// True when the reply envelope's "status" is 200; otherwise logs tag,
// "failed:", the status and "desc".
bool parseResponseQJsonObject(const QJsonObject &reply, const QString &tag);
