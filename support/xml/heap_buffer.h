// A growable array of plain values on the library heap, for the reader's and the
// writer's working text. Appends report a failed allocation instead of throwing;
// the contents are then unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "support/runtime/heap.h"

template <typename T>
class CHeapBuffer {
public:
    CHeapBuffer() = default;
    ~CHeapBuffer() { vokHeapFree(nullptr, m_p, 0); }
    CHeapBuffer(const CHeapBuffer&) = delete;
    CHeapBuffer& operator=(const CHeapBuffer&) = delete;

    T* Data() { return m_p; }
    const T* Data() const { return m_p; }
    size_t Size() const { return m_n; }
    bool Empty() const { return m_n == 0; }
    void Clear() { m_n = 0; }
    // Drops everything after the first n values.
    void Truncate(size_t n)
    {
        if (n < m_n)
            m_n = n;
    }
    void Free()
    {
        vokHeapFree(nullptr, m_p, 0);
        m_p = nullptr;
        m_n = m_nCapacity = 0;
    }

    // Room for n more values; false when memory runs out.
    bool Reserve(size_t n)
    {
        if (n <= m_nCapacity - m_n)
            return true;
        const size_t nMax = SIZE_MAX / sizeof(T) / 2;
        if (n > nMax - m_n)
            return false;
        size_t nCapacity = m_nCapacity + m_nCapacity / 2 + 16;
        if (nCapacity < m_n + n)
            nCapacity = m_n + n;
        if (nCapacity > nMax)
            nCapacity = nMax;
        T* p = static_cast<T*>(vokHeapReallocate(nullptr, m_p, nCapacity * sizeof(T), 0));
        if (p == nullptr)
            return false;
        m_p = p;
        m_nCapacity = nCapacity;
        return true;
    }
    bool Push(T v)
    {
        if (m_n == m_nCapacity && !Reserve(1))
            return false;
        m_p[m_n++] = v;
        return true;
    }
    bool Append(const T* p, size_t n)
    {
        if (n == 0)
            return true;
        if (!Reserve(n))
            return false;
        std::memcpy(m_p + m_n, p, n * sizeof(T));
        m_n += n;
        return true;
    }
    // Appends the N values at p; with N known when compiled, the copy is a few
    // moves instead of a call.
    template <size_t N>
    bool AppendFixed(const T* p)
    {
        if (!Reserve(N))
            return false;
        std::memcpy(m_p + m_n, p, N * sizeof(T));
        m_n += N;
        return true;
    }
    // Appends the ASCII text sz, one value per byte.
    bool AppendAscii(const char* sz) { return AppendAscii(sz, std::strlen(sz)); }
    // Appends n bytes of ASCII text at p, one value per byte.
    bool AppendAscii(const char* p, size_t n)
    {
        if (!Reserve(n))
            return false;
        for (size_t i = 0; i < n; ++i)
            m_p[m_n++] = static_cast<T>(static_cast<unsigned char>(p[i]));
        return true;
    }

    // The reserved room after the values, for writing up to the n values last
    // reserved directly; Grow then counts what was written.
    T* End() { return m_p + m_n; }
    void Grow(size_t n) { m_n += n <= m_nCapacity - m_n ? n : 0; }

private:
    T* m_p = nullptr;
    size_t m_n = 0;
    size_t m_nCapacity = 0;
};
