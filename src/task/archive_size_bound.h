#pragma once

#include <QtGlobal>

namespace AppStore {

// No archive is this large. A larger size, from the index, a progress line or
// a caller, is a fault of its source, and progress arithmetic on it would
// overflow.
constexpr qint64 kMaxArchiveBytes = Q_INT64_C(1000000000000000);

// bytes when it can be the size of an archive, else 0 (unknown).
qint64 boundedArchiveSize(qint64 bytes);

} // namespace AppStore
