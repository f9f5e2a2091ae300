#include "support/xml/ptr_array.h"

EPtrArray::~EPtrArray() = default;

int EPtrArray::SetSize(int nCount, int nStep)
{
    return m_list.SetSize(nCount, nStep > 0 ? nStep : m_nStep);
}

int EPtrArray::SetAt(int nIndex, void* p)
{
    return m_list.SetAt(nIndex, p);
}

int EPtrArray::InsertAt(int nIndex, void* p)
{
    return m_list.InsertAt(nIndex, p, m_nStep);
}

void* EPtrArray::RemoveAt(int nIndex)
{
    return m_list.RemoveAt(nIndex);
}

void EPtrArray::RemoveAll()
{
    m_list.RemoveAll();
}
