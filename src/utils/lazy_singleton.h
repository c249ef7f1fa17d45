#pragma once

#include <QMutex>
#include <QMutexLocker>

#include <atomic>

namespace AppStore {

// The process-wide services are created on first use, from whichever thread
// asks first, and live until the process ends (they are never deleted: the
// quit handler stops their threads but other threads may still hold them).
template<typename T> class LazySingleton
{
public:
    static T *instance()
    {
        T *object = s_instance.load(std::memory_order_acquire);
        if (object) {
            return object;
        }
        QMutexLocker locker(&s_mutex);
        object = s_instance.load(std::memory_order_relaxed);
        if (!object) {
            object = new T();
            s_instance.store(object, std::memory_order_release);
        }
        return object;
    }

    // The object when it was created already, else null; creates nothing.
    static T *existingInstance() { return s_instance.load(std::memory_order_acquire); }

private:
    static inline std::atomic<T *> s_instance{nullptr};
    static inline QMutex s_mutex;
};

} // namespace AppStore
