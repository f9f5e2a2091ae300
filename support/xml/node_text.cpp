#include "support/xml/node_text.h"

#include <cstdint>
#include <cstring>

#include "support/runtime/heap.h"

bool CNodeText::AssignLent(const char16_t* p, int n)
{
    if (p == nullptr || n < 0)
        n = 0;
    if (n > kMaxLength)
        return false;
    // The room takes what is shorter than it, as a buffer of its own would;
    // otherwise the text moves to a buffer grown by the usual rule. The room stays,
    // so p may lie in it.
    if (n < m_nCapacity) {
        if (n > 0)
            std::memmove(m_pBuffer, p, static_cast<size_t>(n) * sizeof(char16_t));
        m_nLength = n;
        m_pBuffer[n] = 0;
        return true;
    }
    long long nGrown = static_cast<long long>(n) + n / 2 + 1;
    if (nGrown > kMaxLength)
        nGrown = kMaxLength;
    if (static_cast<unsigned long long>(nGrown) + 1 > SIZE_MAX / sizeof(char16_t))
        return false;
    char16_t* q = static_cast<char16_t*>(
        vokHeapAllocate(nullptr, (static_cast<size_t>(nGrown) + 1) * sizeof(char16_t), 0));
    if (q == nullptr)
        return false;
    if (n > 0)
        std::memcpy(q, p, static_cast<size_t>(n) * sizeof(char16_t));
    q[n] = 0;
    m_pBuffer = q;
    m_nLength = n;
    m_nCapacity = static_cast<int>(nGrown);
    return true;
}
