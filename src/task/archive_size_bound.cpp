#include "task/archive_size_bound.h"

namespace AppStore {

qint64 boundedArchiveSize(qint64 bytes)
{
    return bytes >= 0 && bytes <= kMaxArchiveBytes ? bytes : 0;
}

} // namespace AppStore
