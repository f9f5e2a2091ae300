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
    // the file holds them, and whether each is allocated is unknown.
    // False when the file cannot be opened or no record size can be had.
    bool Open(const char* szPath, std::uint32_t cbExpectedRecord);

    bool IsOpen() const { return m_file.IsOpen(); }
    bool IsHeaderSound() const { return m_bHeaderSound; }
    std::uint32_t GetRecordSize() const { return m_cbRecord; }
    // The ids that may be looked at: 1 .. GetRecordCount().
    std::uint32_t GetRecordCount() const { return m_nCount; }
    const std::vector<std::uint32_t>& GetFreeIds() const { return m_vFreeIds; }
    // With a sound header: whether nId is allocated. Without: whether it lies in
    // the file at all.
    bool MayBeAllocated(std::uint32_t nId) const;
    // Reads record nId into *pvRecord; false when it is not wholly in the file or
    // cannot be read.
    bool Read(std::uint32_t nId, std::vector<unsigned char>* pvRecord);

private:
    platform::CFileHandle m_file;
    std::uint64_t m_cbFile = 0;
    bool m_bHeaderSound = false;
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
// and passes every allocated leaf, its entries are taken (the tree is sound when
// their number is the header's count). Otherwise the entries of every allocated
// leaf that reads (every leaf in the file when the leaf file's header is damaged)
// are gathered. A leaf reads when its count fits its slots and is not 0 (an empty
// tree has no leaf); of its entries, those
// whose key and value lengths fit are kept, less the fewest that break the
// ascending order of its keys.
STreeSalvage SalvageTree(const std::string& strDirectory, std::uint32_t cbKey, bool bFixedKeys,
                         std::uint32_t cbValue, std::uint32_t nLeafOrder,
                         PFNCOMPAREKEYS pfnCompare);

// Whether szPath is a symbolic link, junction or other reparse point. Nothing
// here reads through one: a store behind a link reads as missing.
bool IsLink(const char* szPath);

// The whole file at szPath, at most cbLimit bytes; false when it cannot be read.
bool ReadSmallFile(const char* szPath, std::uint32_t cbLimit, std::string* pstrBytes);

}  // namespace velk
