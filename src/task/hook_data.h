#pragma once

#include <QMetaType>
#include <QString>

// One package the store itself is handling, as it travels to the hook cache
// through a queued signal.
struct _HookData
{
    QString packageName;
    int operation = 0; // 0 install or upgrade, 1 removal
};

using HookData = _HookData;

Q_DECLARE_METATYPE(HookData)
