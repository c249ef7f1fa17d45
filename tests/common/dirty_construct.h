#pragma once

#include <cstring>
#include <new>

// Default-constructs T on memory filled with a pattern, so that a member
// without an initialiser shows the pattern instead of a lucky zero.
template<typename T> class DirtyConstructed
{
public:
    DirtyConstructed()
    {
        std::memset(m_storage, 0xA5, sizeof(m_storage));
        m_object = new (m_storage) T;
    }
    ~DirtyConstructed() { m_object->~T(); }
    DirtyConstructed(const DirtyConstructed &) = delete;
    DirtyConstructed &operator=(const DirtyConstructed &) = delete;

    const T &operator*() const { return *m_object; }
    const T *operator->() const { return m_object; }

private:
    alignas(T) unsigned char m_storage[sizeof(T)];
    T *m_object = nullptr;
};
