#include "support/xml/ptr_list.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "support/runtime/heap.h"

int CPtrList::SetSize(int nCount, int nStep)
{
    if (nCount < 0)
        return 1;
    if (nCount > m_nCapacity) {
        int nGrow = nStep;
        if (nGrow <= 0)
            nGrow = m_nCount / 2 > 0 ? m_nCount / 2 : 1;
        const long long nCapacity = static_cast<long long>(nCount) / nGrow * nGrow + nGrow;
        if (nCapacity > INT_MAX || static_cast<unsigned long long>(nCapacity) > SIZE_MAX / sizeof(void*))
            return 1;
        void** pp = static_cast<void**>(vokHeapReallocate(
            nullptr, m_ppData, static_cast<size_t>(nCapacity) * sizeof(void*), 0));
        if (pp == nullptr)
            return 1;
        m_ppData = pp;
        m_nCapacity = static_cast<int>(nCapacity);
    }
    if (nCount > m_nCount)
        std::memset(m_ppData + m_nCount, 0, static_cast<size_t>(nCount - m_nCount) * sizeof(void*));
    m_nCount = nCount;
    return 0;
}

int CPtrList::SetAt(int nIndex, void* p)
{
    if (nIndex < 0 || nIndex >= m_nCount)
        return 1;
    m_ppData[nIndex] = p;
    return 0;
}

int CPtrList::InsertAt(int nIndex, void* p, int nStep)
{
    if (nIndex < 0 || nIndex > m_nCount || m_nCount == INT_MAX)
        return 1;
    const int nOld = m_nCount;
    if (SetSize(nOld + 1, nStep) != 0)
        return 1;
    std::memmove(m_ppData + nIndex + 1, m_ppData + nIndex, static_cast<size_t>(nOld - nIndex) * sizeof(void*));
    m_ppData[nIndex] = p;
    return 0;
}

void* CPtrList::RemoveAt(int nIndex)
{
    if (nIndex < 0 || nIndex >= m_nCount)
        return nullptr;
    void* p = m_ppData[nIndex];
    std::memmove(m_ppData + nIndex, m_ppData + nIndex + 1, static_cast<size_t>(m_nCount - nIndex - 1) * sizeof(void*));
    --m_nCount;
    return p;
}

void CPtrList::RemoveAll()
{
    vokHeapFree(nullptr, m_ppData, 0);
    m_ppData = nullptr;
    m_nCount = 0;
    m_nCapacity = 0;
}
