#pragma once

#include <QJsonValue>

namespace JsonValueReader {

// Sizes come from the store either as JSON integers or as strings of digits;
// anything else reads as 0.
qint64 toInt64(const QJsonValue &value);

} // namespace JsonValueReader
