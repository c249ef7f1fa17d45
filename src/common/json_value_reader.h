#pragma once

#include <QJsonValue>

namespace JsonValueReader {

// Sizes come from the store either as JSON integers or as strings of digits;
// anything else, and a number below zero, reads as 0 (unknown).
qint64 toInt64(const QJsonValue &value);

} // namespace JsonValueReader
