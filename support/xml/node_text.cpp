#include "support/xml/node_text.h"

#include <cstdint>
#include <cstring>

#include "support/runtime/heap.h"

int CNodeText::AllocBuffer(int nCapacity)
{
    if (!m_bLent)
        return EWideString::AllocBuffer(nCapacity);
    if (nCapacity < 0 || nCapacity > kMaxLength || static_cast<size_t>(nCapacity) + 1 > SIZE_MAX / sizeof(char16_t))
        return 1;
    char16_t* p = static_cast<char16_t*>(
        vokHeapAllocate(nullptr, (static_cast<size_t>(nCapacity) + 1) * sizeof(char16_t), 0));
    if (p == nullptr)
        return 1;
    const int n = m_nLength < nCapacity ? m_nLength : nCapacity;
    std::memcpy(p, m_pBuffer, static_cast<size_t>(n) * sizeof(char16_t));
    p[n] = 0;
    m_pBuffer = p;
    m_nLength = n;
    m_nCapacity = nCapacity;
    m_bLent = false;
    return 0;
}

void CNodeText::FreeBuffer()
{
    if (m_bLent)
        Disown();
    else
        EWideString::FreeBuffer();
}
