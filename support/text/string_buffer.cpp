#include "support/text/string_buffer.h"

#include <cstdint>
#include <cstring>

#include "support/runtime/heap.h"

template <typename T>
EStringBuffer<T>::~EStringBuffer()
{
    EStringBuffer::FreeBuffer();
}

template <typename T>
EStringBuffer<T>::EStringBuffer(const EStringBuffer& other) : VOKObject(other)
{
    if (other.m_pBuffer != nullptr && EStringBuffer::AllocBuffer(other.m_nCapacity) == 0) {
        std::memcpy(m_pBuffer, other.m_pBuffer, static_cast<size_t>(other.m_nLength) * sizeof(T));
        m_nLength = other.m_nLength;
        m_pBuffer[m_nLength] = 0;
    }
}

template <typename T>
EStringBuffer<T>& EStringBuffer<T>::operator=(const EStringBuffer& other)
{
    if (this != &other)
        AssignUnits(other.GetText(), other.m_nLength);
    return *this;
}

template <typename T>
int EStringBuffer<T>::AllocBuffer(int nCapacity)
{
    // Checked before any size arithmetic: a capacity that cannot be represented in
    // bytes must fail, not wrap to a small block.
    if (nCapacity < 0 || nCapacity > kMaxLength ||
        static_cast<size_t>(nCapacity) + 1 > SIZE_MAX / sizeof(T))
        return 1;
    T* p = static_cast<T*>(
        vokHeapReallocate(nullptr, m_pBuffer, (static_cast<size_t>(nCapacity) + 1) * sizeof(T), 0));
    if (p == nullptr)
        return 1;
    if (m_pBuffer == nullptr)
        m_nLength = 0;
    m_pBuffer = p;
    m_nCapacity = nCapacity;
    if (m_nLength > nCapacity)
        m_nLength = nCapacity;
    m_pBuffer[m_nLength] = 0;
    return 0;
}

template <typename T>
void EStringBuffer<T>::FreeBuffer()
{
    vokHeapFree(nullptr, m_pBuffer, 0);
    m_pBuffer = nullptr;
    m_nLength = 0;
    m_nCapacity = 0;
}

template <typename T>
const T* EStringBuffer<T>::EmptyText()
{
    static const T s_empty[1] = {0};
    return s_empty;
}

template <typename T>
int EStringBuffer<T>::CountOf(const T* p, int nCount)
{
    if (p == nullptr)
        return 0;
    if (nCount >= 0)
        return nCount;
    int n = 0;
    while (n < kMaxLength && p[n] != 0)
        ++n;
    return n;
}

template <typename T>
bool EStringBuffer<T>::Reserve(long long n)
{
    if (n < 0 || n > kMaxLength)
        return false;
    if (m_pBuffer != nullptr && n < m_nCapacity)
        return true;
    long long nGrown = n + n / 2 + 1;
    if (nGrown > kMaxLength)
        nGrown = kMaxLength;
    return AllocBuffer(static_cast<int>(nGrown)) == 0;
}

template <typename T>
bool EStringBuffer<T>::AssignUnits(const T* p, int n)
{
    if (p == nullptr || n < 0)
        n = 0;
    const bool bInside = m_pBuffer != nullptr && p >= m_pBuffer && p <= m_pBuffer + m_nCapacity;
    const ptrdiff_t nOffset = bInside ? p - m_pBuffer : 0;
    if (!Reserve(n))
        return false;
    if (bInside)
        p = m_pBuffer + nOffset;
    if (n > 0)
        std::memmove(m_pBuffer, p, static_cast<size_t>(n) * sizeof(T));
    m_nLength = n;
    m_pBuffer[n] = 0;
    return true;
}

template <typename T>
bool EStringBuffer<T>::AppendUnits(const T* p, int n)
{
    if (p == nullptr || n <= 0)
        return true;
    const bool bInside = m_pBuffer != nullptr && p >= m_pBuffer && p <= m_pBuffer + m_nCapacity;
    const ptrdiff_t nOffset = bInside ? p - m_pBuffer : 0;
    if (!Reserve(static_cast<long long>(m_nLength) + n))
        return false;
    if (bInside)
        p = m_pBuffer + nOffset;
    std::memmove(m_pBuffer + m_nLength, p, static_cast<size_t>(n) * sizeof(T));
    m_nLength += n;
    m_pBuffer[m_nLength] = 0;
    return true;
}

template <typename T>
int EStringBuffer<T>::FindUnits(const T* p, int n, int nStart) const
{
    if (nStart < 0)
        nStart = 0;
    if (p == nullptr || n > m_nLength || nStart > m_nLength - n)
        return -1;
    const T* pText = GetText();
    for (int i = nStart; i <= m_nLength - n; ++i)
        if (std::memcmp(pText + i, p, static_cast<size_t>(n) * sizeof(T)) == 0)
            return i;
    return -1;
}

template class EStringBuffer<char>;
template class EStringBuffer<char16_t>;
