#pragma once

#include <QString>

// Paths and names shared by the whole daemon. Directory values end in "/" so
// that file names are appended without a separator.

inline const QString STORE_PACKAGE_NAME = QStringLiteral("velkor-app-store");
inline const QString BI_REPORT_TYPE = QStringLiteral("9");

inline const QString DAEMON_STATE_DIR = QStringLiteral("/var/lib/tarnwick-daemon/");
inline const QString PRIVATE_LISTS_DIR = DAEMON_STATE_DIR + QStringLiteral("lists/");
inline const QString PRIVATE_SOURCES_PARTS_DIR =
    DAEMON_STATE_DIR + QStringLiteral("sources.list.d/");
inline const QString PRIVATE_SOURCES_LIST = DAEMON_STATE_DIR + QStringLiteral("sources.list");

inline const QString APT_ETC_DIR = QStringLiteral("/etc/apt/");
inline const QString SYSTEM_SOURCES_LIST = APT_ETC_DIR + QStringLiteral("sources.list");
inline const QString SYSTEM_SOURCES_PARTS_DIR = APT_ETC_DIR + QStringLiteral("sources.list.d/");

inline const QString STORE_LIST_FILE = QStringLiteral("appstore.list");
inline const QString UNSTABLE_LIST_FILE = QStringLiteral("velkor-unstable-source.list");
inline const QString HWE_LIST_FILE = QStringLiteral("hwe.list");
inline const QString SECURITY_LIST_FILE = QStringLiteral("security.list");
inline const QString SW_LIST_FILE = QStringLiteral("sw.list");

inline const QString APT_DEFAULT_CONF_FILE = QStringLiteral("apt_default.conf");
inline const QString APT_CUSTOM_CONF_FILE = QStringLiteral("apt_custom.conf");

inline const QString DAEMON_CACHE_DIR = QStringLiteral("/var/cache/velkor/tarnwick-daemon/");

inline const QString BI_FLAG_NO = QStringLiteral("0");
inline const QString BI_FLAG_YES = QStringLiteral("1");

inline const QString HISTORY_RESULT_NO = QStringLiteral("0");
inline const QString HISTORY_RESULT_YES = QStringLiteral("1");
