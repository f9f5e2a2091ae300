#include "engine/bptree/node.h"

#include <cstring>

#include "engine/base/fault.h"

namespace velk {

void CNodeBase::SetKey(std::uint32_t i, const void* pKey, std::uint32_t cbKey)
{
    PutU32LE(KeyLengthAt(i), cbKey);
    // memmove: in a damaged tree the source may be a slot of this very node.
    if (cbKey != 0)
        std::memmove(KeyLengthAt(i) + 4, pKey, cbKey);
}

int CNodeBase::GetKey(std::uint32_t i, void* pBuffer, std::uint32_t cbBuffer) const
{
    std::uint32_t cb = GetKeyLength(i);
    if (cb == 0)
        return 0;
    if (pBuffer == nullptr || cbBuffer < cb)
        return 1;
    std::memcpy(pBuffer, GetKeyBytes(i), cb);
    return 0;
}

bool CNodeBase::Search(const void* pKey, std::uint32_t cbKey, std::uint32_t* pnPosition) const
{
    std::uint32_t n = GetCount();
    *pnPosition = 0;
    if (n == 0)
        return false;
    std::uint32_t nLow = 0;
    std::uint32_t nHigh = n - 1;
    for (;;) {
        std::uint32_t nMid = nLow + (nHigh - nLow) / 2;
        int c = CompareWith(pKey, cbKey, nMid);
        if (c == 0) {
            *pnPosition = nMid;
            return true;
        }
        bool bLast = nLow == nHigh;
        if (c > 0) {
            *pnPosition = nMid + 1;
            nLow = nMid + 1;
        } else {
            *pnPosition = nMid;
            nHigh = nMid;
        }
        if (bLast)
            return false;
    }
}

void CIndexNode::InsertGap(std::uint32_t i)
{
    std::uint32_t n = GetCount();
    if (n >= m_nSlots || i > n)
        ThrowFault();
    // Key j and child j + 1 are adjacent: one block of entry size from entry j + 4.
    std::memmove(Entry(i + 1) + 4, Entry(i) + 4, static_cast<std::size_t>(n - i) * m_cbEntry);
    SetCount(n + 1);
}

void CIndexNode::RemoveKey(std::uint32_t i)
{
    std::uint32_t n = GetCount();
    if (i >= n)
        ThrowFault();
    std::memmove(Entry(i) + 4, Entry(i + 1) + 4, static_cast<std::size_t>(n - 1 - i) * m_cbEntry);
    SetCount(n - 1);
}

void CIndexNode::SplitInto(CIndexNode* pRight)
{
    std::uint32_t d = m_nOrder;
    std::memcpy(pRight->Entry(0), Entry(d + 1), static_cast<std::size_t>(d) * m_cbEntry + 4);
    SetCount(d);
    pRight->SetCount(d);
}

void CIndexNode::MergeFrom(const void* pSeparator, std::uint32_t cbSeparator,
                           const CIndexNode& right)
{
    std::uint32_t n = GetCount();
    std::uint32_t nRight = right.GetCount();
    if (static_cast<std::uint64_t>(n) + nRight + 1 > m_nSlots || right.m_pb == m_pb)
        ThrowFault();
    SetKey(n, pSeparator, cbSeparator);
    std::memcpy(Entry(n + 1), right.Entry(0), static_cast<std::size_t>(nRight) * m_cbEntry + 4);
    SetCount(n + nRight + 1);
}

std::int64_t CIndexNode::FindChild(std::uint32_t nId) const
{
    std::uint32_t n = GetCount();
    for (std::uint32_t i = 0; i <= n; ++i) {
        if (GetChild(i) == nId)
            return i;
    }
    return -1;
}

std::uint32_t CLeafNode::GetValueLength(std::uint32_t i) const
{
    std::uint32_t cb = GetU32LE(ValueLengthAt(i));
    if (cb > m_cbValueSize)
        ThrowFault();
    return cb;
}

void CLeafNode::SetValue(std::uint32_t i, const void* pValue, std::uint32_t cbValue)
{
    PutU32LE(ValueLengthAt(i), cbValue);
    if (cbValue != 0)
        std::memmove(ValueLengthAt(i) + 4, pValue, cbValue);
}

int CLeafNode::GetValue(std::uint32_t i, void* pBuffer, std::uint32_t cbBuffer) const
{
    std::uint32_t cb = GetValueLength(i);
    if (cb == 0)
        return 0;
    if (pBuffer == nullptr || cbBuffer < cb)
        return 1;
    std::memcpy(pBuffer, ValueLengthAt(i) + 4, cb);
    return 0;
}

void CLeafNode::CopyEntry(std::uint32_t i, const CLeafNode& source, std::uint32_t j)
{
    if (j >= source.GetCount())
        ThrowFault();
    SetKey(i, source.GetKeyBytes(j), source.GetKeyLength(j));
    SetValue(i, source.ValueLengthAt(j) + 4, source.GetValueLength(j));
}

void CLeafNode::InsertGap(std::uint32_t i)
{
    std::uint32_t n = GetCount();
    if (n >= m_nSlots || i > n)
        ThrowFault();
    std::memmove(Entry(i + 1), Entry(i), static_cast<std::size_t>(n - i) * m_cbEntry);
    SetCount(n + 1);
}

void CLeafNode::RemoveAt(std::uint32_t i)
{
    std::uint32_t n = GetCount();
    if (i >= n)
        ThrowFault();
    std::memmove(Entry(i), Entry(i + 1), static_cast<std::size_t>(n - 1 - i) * m_cbEntry);
    SetCount(n - 1);
}

void CLeafNode::SplitInto(CLeafNode* pRight)
{
    std::uint32_t n = GetCount();
    std::uint32_t nKeep = n / 2;
    std::memcpy(pRight->Entry(0), Entry(nKeep), static_cast<std::size_t>(n - nKeep) * m_cbEntry);
    SetCount(nKeep);
    pRight->SetCount(n - nKeep);
}

void CLeafNode::AppendFrom(const CLeafNode& right)
{
    std::uint32_t n = GetCount();
    std::uint32_t nRight = right.GetCount();
    if (static_cast<std::uint64_t>(n) + nRight > m_nSlots || right.m_pb == m_pb)
        ThrowFault();
    std::memcpy(Entry(n), right.Entry(0), static_cast<std::size_t>(nRight) * m_cbEntry);
    SetCount(n + nRight);
}

}  // namespace velk
