#pragma once

#include <QString>

// Values of the history table's operation column. "7" (crash pause) shares the
// column but is written as a literal where it is used.

inline const QString OPERATION_INSTALL = QStringLiteral("1");
inline const QString OPERATION_PURGE = QStringLiteral("2");
inline const QString OPERATION_PAUSE = QStringLiteral("3");
inline const QString OPERATION_DOWNLOAD_ERROR = QStringLiteral("4");
inline const QString OPERATION_INSTALL_ERROR = QStringLiteral("5");
inline const QString OPERATION_INSTALLING = QStringLiteral("6");
