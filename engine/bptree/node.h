// Node views of the B+ trees: transient objects that interpret a pinned node
// record (record_file.h) as an index node or a leaf. Views own nothing. Every
// accessor is computed from three sizes: the entry size, the offset of the
// key-length word within an entry and the node size.
//
// Index node (K key size, d index order, E = K + 8, size (2d + 1) * E + 12):
//
//   offset              size   field
//   0                   4      key count n
//   4 + i * E           4      child id i, i = 0 .. 2d
//   8 + i * E           4      length of key i
//   12 + i * E          K      key i; bytes after its length are undefined
//   4 + (2d + 1) * E    4      child id 2d + 1 (only while the node is overfull)
//   size - 4            4      parent index-node id; 0 for the root
//
// Leaf (V value size, L leaf order, E = K + V + 8, size (L + 1) * E + 16):
//
//   offset              size   field
//   0                   4      entry count n
//   4 + i * E           4      length of key i, i = 0 .. L
//   8 + i * E           K      key i
//   8 + K + i * E       4      length of value i (0 when V is 0)
//   12 + K + i * E      V      value i
//   4 + (L + 1) * E     4      previous leaf id; 0 for the first leaf
//   8 + (L + 1) * E     4      next leaf id; 0 for the last leaf
//   size - 4            4      parent index-node id; 0 when the leaf is the root
//
// A node with n keys has children 0 .. n; child i leads to the keys from key i - 1
// up to key i, and a key equal to key i continues in child i + 1 (with duplicates,
// equal keys may also lie to its left). Slot 2d of an index node and slot L of a
// leaf are used only between an insertion and the split that follows it.
//
// The views trust their positions, which the tree operations guarantee. Lengths
// and counts come from disk, though, so the accessors that read them and the
// operations that grow a node check them against the node's slots and throw the
// engine's exception for a damaged node, rather than reach outside the buffer.
#pragma once

#include <cstdint>

#include "engine/base/byte_order.h"
#include "engine/base/fault.h"
#include "engine/bptree/key_order.h"

namespace velk {

class CNodeBase {
public:
    std::uint32_t GetCount() const { return GetU32LE(m_pb); }
    void SetCount(std::uint32_t n) { PutU32LE(m_pb, n); }
    std::uint32_t GetParent() const { return GetU32LE(m_pb + m_cbNode - 4); }
    void SetParent(std::uint32_t nId) { PutU32LE(m_pb + m_cbNode - 4, nId); }

    // The length of key i; throws when it exceeds the key size.
    std::uint32_t GetKeyLength(std::uint32_t i) const
    {
        std::uint32_t cb = GetU32LE(KeyLengthAt(i));
        if (cb > m_cbKeySize)
            ThrowFault();
        return cb;
    }
    const unsigned char* GetKeyBytes(std::uint32_t i) const { return KeyLengthAt(i) + 4; }
    // The stored length of key i, unchecked (for the integrity check).
    std::uint32_t GetStoredKeyLength(std::uint32_t i) const { return GetU32LE(KeyLengthAt(i)); }
    // Stores the length and, when it is not 0, the bytes of key i.
    void SetKey(std::uint32_t i, const void* pKey, std::uint32_t cbKey);
    // Copies key i out: 0 when done (or when the key is empty), nonzero when the
    // buffer is null or smaller than the key.
    int GetKey(std::uint32_t i, void* pBuffer, std::uint32_t cbBuffer) const;
    // Compares a search key with key i in the tree's order.
    int CompareWith(const void* pKey, std::uint32_t cbKey, std::uint32_t i) const
    {
        return m_pfnCompare(pKey, cbKey, GetKeyBytes(i), GetKeyLength(i));
    }

    // Binary search for a key: sets *pnPosition to the position where it was found
    // or, when not found, to the number of keys that sort before it. Returns
    // whether it was found. With duplicates, a found position is any equal key.
    bool Search(const void* pKey, std::uint32_t cbKey, std::uint32_t* pnPosition) const;

    std::uint32_t GetEntrySize() const { return m_cbEntry; }
    std::uint32_t GetNodeSize() const { return m_cbNode; }
    // The number of entry slots (2d + 1 for index nodes, L + 1 for leaves).
    std::uint32_t GetSlots() const { return m_nSlots; }
    unsigned char* GetBuffer() const { return m_pb; }

protected:
    CNodeBase(PFNCOMPAREKEYS pfnCompare, std::uint32_t cbKeySize, void* pBuffer,
              std::uint32_t cbEntry, std::uint32_t cbKeyLengthOffset, std::uint32_t cbNode,
              std::uint32_t nSlots)
        : m_pfnCompare(pfnCompare), m_cbKeySize(cbKeySize),
          m_pb(static_cast<unsigned char*>(pBuffer)), m_cbEntry(cbEntry),
          m_cbKeyLengthOffset(cbKeyLengthOffset), m_cbNode(cbNode), m_nSlots(nSlots) {}

    unsigned char* Entry(std::uint32_t i) const { return m_pb + 4 + static_cast<std::size_t>(i) * m_cbEntry; }
    unsigned char* KeyLengthAt(std::uint32_t i) const { return Entry(i) + m_cbKeyLengthOffset; }

    PFNCOMPAREKEYS m_pfnCompare;
    std::uint32_t m_cbKeySize;
    unsigned char* m_pb;
    std::uint32_t m_cbEntry;
    std::uint32_t m_cbKeyLengthOffset;
    std::uint32_t m_cbNode;
    std::uint32_t m_nSlots;
};

class CIndexNode : public CNodeBase {
public:
    CIndexNode(PFNCOMPAREKEYS pfnCompare, std::uint32_t cbKeySize, std::uint32_t nOrder,
               void* pBuffer)
        : CNodeBase(pfnCompare, cbKeySize, pBuffer, cbKeySize + 8, 4,
                    static_cast<std::uint32_t>(NodeSize(cbKeySize, nOrder)), 2 * nOrder + 1),
          m_nOrder(nOrder) {}

    // (K + 8) * (2d + 1) + 12, computed wide so that a damaged header cannot wrap it.
    static std::uint64_t NodeSize(std::uint32_t cbKeySize, std::uint32_t nOrder)
    {
        return (static_cast<std::uint64_t>(cbKeySize) + 8) * (2 * static_cast<std::uint64_t>(nOrder) + 1) + 12;
    }

    std::uint32_t GetChild(std::uint32_t i) const { return GetU32LE(Entry(i)); }
    void SetChild(std::uint32_t i, std::uint32_t nId) { PutU32LE(Entry(i), nId); }

    // Moves keys i .. n - 1 and children i + 1 .. n one slot up and adds one to the
    // count; the caller sets key i and child i + 1. Throws when the node is full.
    void InsertGap(std::uint32_t i);
    // Removes key i and child i + 1.
    void RemoveKey(std::uint32_t i);
    // Moves keys d + 1 .. 2d with children d + 1 .. 2d + 1 into the empty node
    // pRight; both keep d keys. Key d stays readable here for the caller to move up.
    void SplitInto(CIndexNode* pRight);
    // Appends the separator as key n, then the right node's keys and children.
    // Throws when they do not fit.
    void MergeFrom(const void* pSeparator, std::uint32_t cbSeparator, const CIndexNode& right);
    // The position of child id nId among children 0 .. n, or -1.
    std::int64_t FindChild(std::uint32_t nId) const;

private:
    std::uint32_t m_nOrder;
};

class CLeafNode : public CNodeBase {
public:
    CLeafNode(PFNCOMPAREKEYS pfnCompare, std::uint32_t cbKeySize, std::uint32_t cbValueSize,
              std::uint32_t nOrder, void* pBuffer)
        : CNodeBase(pfnCompare, cbKeySize, pBuffer, cbKeySize + cbValueSize + 8, 0,
                    static_cast<std::uint32_t>(NodeSize(cbKeySize, cbValueSize, nOrder)),
                    nOrder + 1),
          m_cbValueSize(cbValueSize), m_nOrder(nOrder) {}

    // (K + V + 8) * (L + 1) + 16, computed wide.
    static std::uint64_t NodeSize(std::uint32_t cbKeySize, std::uint32_t cbValueSize,
                                  std::uint32_t nOrder)
    {
        return (static_cast<std::uint64_t>(cbKeySize) + cbValueSize + 8) *
                   (static_cast<std::uint64_t>(nOrder) + 1) + 16;
    }

    std::uint32_t GetPrevious() const { return GetU32LE(Entry(m_nOrder + 1)); }
    void SetPrevious(std::uint32_t nId) { PutU32LE(Entry(m_nOrder + 1), nId); }
    std::uint32_t GetNext() const { return GetU32LE(Entry(m_nOrder + 1) + 4); }
    void SetNext(std::uint32_t nId) { PutU32LE(Entry(m_nOrder + 1) + 4, nId); }

    // The length of value i; throws when it exceeds the value size.
    std::uint32_t GetValueLength(std::uint32_t i) const;
    std::uint32_t GetStoredValueLength(std::uint32_t i) const { return GetU32LE(ValueLengthAt(i)); }
    void SetValue(std::uint32_t i, const void* pValue, std::uint32_t cbValue);
    int GetValue(std::uint32_t i, void* pBuffer, std::uint32_t cbBuffer) const;
    // Copies key and value of entry j of another leaf into entry i (in a tree
    // without values, the value's length alone).
    void CopyEntry(std::uint32_t i, const CLeafNode& source, std::uint32_t j);

    // Moves entries i .. n - 1 one slot up and adds one to the count. Throws when
    // the leaf is full.
    void InsertGap(std::uint32_t i);
    void RemoveAt(std::uint32_t i);
    // Moves the upper n - n div 2 entries into the empty leaf pRight.
    void SplitInto(CLeafNode* pRight);
    // Appends the right leaf's entries. Throws when they do not fit.
    void AppendFrom(const CLeafNode& right);

private:
    unsigned char* ValueLengthAt(std::uint32_t i) const { return Entry(i) + m_cbKeySize + 4; }

    std::uint32_t m_cbValueSize;
    std::uint32_t m_nOrder;
};

}  // namespace velk
