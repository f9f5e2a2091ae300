// Reading what is left of damaged stores, for the salvage of a database: record
// files and B+ trees read straight from their bytes, without the record file's or
// the tree's own checks, so that one damaged header, count or link does not hide
// the records and leaves that still read. Every read is bounded by the file's
// size, every walk by a visited set; nothing here writes, and nothing throws for a
// damaged file (only when memory runs out). The formats are in record_file.h,
// bptree.h and node.h.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/bptree/key_order.h"
#include "platform/file.h"

namespace velk {

// A record file opened for reading only.
class CSalvageRecords {
public:
    // Opens szPath. When the header is sound (signature, record size, count and
    // free list agree with the file's size) allocation is known; otherwise records
    // of cbExpectedRecord bytes (the header's size when 0) are offered as far as
    // the file holds them. Allocation is then known only when cbExpectedRecord is
    // given and exactly one record count puts a sound free list at the file's end
    // (the free list and the count of records are the file's last bytes, so a
    // damaged first sector leaves them); else whether each record is allocated is
    // unknown. False when the file cannot be opened or no record size can be had.
    bool Open(const char* szPath, std::uint32_t cbExpectedRecord);

    bool IsOpen() const { return m_file.IsOpen(); }
    bool IsHeaderSound() const { return m_bHeaderSound; }
    // Whether the free list is known: from a sound header or from the file's end.
    bool IsAllocationKnown() const { return m_bAllocationKnown; }
    std::uint32_t GetRecordSize() const { return m_cbRecord; }
    // The ids that may be looked at: 1 .. GetRecordCount().
    std::uint32_t GetRecordCount() const { return m_nCount; }
    const std::vector<std::uint32_t>& GetFreeIds() const { return m_vFreeIds; }
    // With allocation known: whether nId is allocated. Without: whether it lies
    // in the file at all.
    bool MayBeAllocated(std::uint32_t nId) const;
    // Reads record nId into *pvRecord; false when it is not wholly in the file or
    // cannot be read.
    bool Read(std::uint32_t nId, std::vector<unsigned char>* pvRecord);

private:
    bool FindFreeListAtEnd(platform::CFileHandle* pFile);

    platform::CFileHandle m_file;
    std::uint64_t m_cbFile = 0;
    bool m_bHeaderSound = false;
    bool m_bAllocationKnown = false;
    std::uint32_t m_cbRecord = 0;
    std::uint32_t m_nCount = 0;
    std::vector<std::uint32_t> m_vFreeIds;
};

// What a B+ tree still holds.
struct STreeSalvage {
    bool bHeaderRead = false;      // "bptinfo" is there with its signature and sizes
    std::uint32_t nHeaderCount = 0;  // its record count (meaningful with bHeaderRead)
    bool bLeafFileRead = false;    // the leaf file opened, with a record size that fits
    bool bChainWhole = false;      // the leaf chain held every leaf, each read whole, in order
    bool bSound = false;           // ... and agreed with the header's count
    std::uint32_t nLeavesSkipped = 0;  // leaves that did not read and were left out
    // Leaves that read but were left out because nothing tells whether the tree
    // still uses them or freed them (a freed leaf keeps its stale entries).
    std::uint32_t nLeavesUncertain = 0;
    // Entries of leaves that read which did not pass their own checks (a length
    // out of bounds, a key out of order) and were left out.
    std::uint64_t nEntriesDropped = 0;
    // The entries, in key order without repeats: key bytes and value bytes.
    std::vector<std::pair<std::string, std::string>> vEntries;
};

// Reads the tree in szDirectory whose keys are at most cbKey bytes (exactly cbKey
// when bFixedKeys), whose values are exactly cbValue bytes, in the order
// pfnCompare, without duplicates. nLeafOrder is the leaf order when the format fixes
// it, else 0 (it is then taken from the header, or from the leaf file's record
// size). When the leaf chain from the header's first leaf reads whole, in order,
// and passes every allocated leaf (or, with the leaf file's free list unknown,
// holds the header's count), its entries are taken (the tree is sound when their
// number is the header's count). Otherwise the entries of every leaf that reads
// and is in use are gathered. With the leaf file's free list known (from its
// header or its end) the allocated leaves are in use, never a free one. Without
// it, the leaves that the header's root reaches through index nodes, or its first
// leaf along the chain, are in use, and when either way reads whole, no other
// leaf is (a freed leaf keeps its stale entries). Without the header, the one
// chain found whole among the leaves (from a leaf with no previous one to a leaf
// with no next one, each linked back) stands for the tree. Failing all that, a
// leaf is taken only when it and a neighbour link to each other (a freed leaf
// never does). The rest count as uncertain: their entries are left out, never
// guessed. A leaf reads when its count fits its slots and is not 0 (an empty tree
// has no leaf); of its entries, those whose key and value lengths fit are kept,
// less the fewest that break the ascending order of its keys.
STreeSalvage SalvageTree(const std::string& strDirectory, std::uint32_t cbKey, bool bFixedKeys,
                         std::uint32_t cbValue, std::uint32_t nLeafOrder,
                         PFNCOMPAREKEYS pfnCompare);

// Whether szPath is a symbolic link, junction or other reparse point. Nothing
// here reads through one: a store behind a link reads as missing.
bool IsLink(const char* szPath);

// The whole file at szPath, at most cbLimit bytes; false when it cannot be read.
bool ReadSmallFile(const char* szPath, std::uint32_t cbLimit, std::string* pstrBytes);

}  // namespace velk
