#include "support/xml/node_text.h"

bool CNodeText::AssignLent(const char16_t* p, int n)
{
    if (p == nullptr || n < 0)
        n = 0;
    // A text shorter than the room stays in it, as in a buffer of its own.
    if (n < m_nCapacity)
        return AssignUnits(p, n);
    // Otherwise it moves to a buffer of its own, grown by the usual rule; the room
    // stays, so p may lie in it, and the text comes back to it when no buffer can
    // be had.
    char16_t* const pRoom = m_pBuffer;
    const int nLength = m_nLength;
    const int nRoom = m_nCapacity;
    m_pBuffer = nullptr;
    m_nLength = m_nCapacity = 0;
    if (AssignUnits(p, n))
        return true;
    m_pBuffer = pRoom;
    m_nLength = nLength;
    m_nCapacity = nRoom;
    return false;
}
