#pragma once

#include <QMetaType>
#include <QString>

// One stored statistics report waiting to be sent again (a row of report_bi).
// The row's create and update times are kept by the database only.
struct _ReportBiTable
{
    quint32 id = 0; // given by the table on insert; ignored when inserting
    QString type;
    QString reportData;
};

using NetRetryData = _ReportBiTable;

Q_DECLARE_METATYPE(NetRetryData)
