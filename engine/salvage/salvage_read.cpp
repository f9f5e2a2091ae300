#include "engine/salvage/salvage_read.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "engine/base/byte_order.h"
#include "engine/bptree/node.h"
#include "engine/path/path.h"

namespace velk {

namespace {

const unsigned char kRecordMagic[8] = {0x89, 'F', 'L', 'R', 0x0D, 0x0A, 0x1A, 0x0A};
const unsigned char kTreeMagic[8] = {0x89, 'B', 'P', 'T', 0x0D, 0x0A, 0x1A, 0x0A};
const std::uint64_t kRecordHeaderSize = 16;
const std::uint64_t kMaxRecordFile = 0xFFFFFFFFull;
// The longest free list looked for at a damaged file's end: beyond it the file is
// read as records of unknown allocation.
const std::uint64_t kMaxFreeListBytes = 64ull << 20;

bool ReadAt(platform::CFileHandle* pFile, std::uint64_t nOffset, void* pBuffer, std::uint32_t cb)
{
    std::uint32_t cbRead = 0;
    return pFile->Seek(static_cast<std::int64_t>(nOffset), platform::kFileBegin, nullptr) ==
               platform::kFileOk &&
           pFile->Read(pBuffer, cb, &cbRead) == platform::kFileOk && cbRead == cb;
}

// A link is never read through: what it points to is not the database's.
bool OpenForReading(const char* szPath, platform::CFileHandle* pFile)
{
    if (IsLink(szPath))
        return false;
    return platform::FileOpen(szPath, platform::kFileAccessRead,
                              platform::kFileShareRead | platform::kFileShareWrite,
                              platform::kFileOpenExisting, pFile) == platform::kFileOk;
}

// One leaf read from its bytes. A leaf reads when its record reads and its count
// fits its slots; of its entries, those that pass their own checks are kept.
struct SLeafRead {
    bool bRead = false;
    std::uint32_t nDropped = 0;  // entries within the count that did not pass
    std::uint32_t nPrevious = 0;
    std::uint32_t nNext = 0;
    std::vector<std::pair<std::string, std::string>> vEntries;
};

// The positions of a longest strictly ascending run (not necessarily contiguous)
// of vKeys, in order: one damaged key, too high or too low, costs only itself,
// not the entries that follow it.
template <typename Before>
std::vector<std::size_t> LongestAscending(const std::vector<std::string>& vKeys, Before before)
{
    std::vector<std::size_t> vTails;  // vTails[k]: last position of the best run of k + 1
    std::vector<std::size_t> vLink(vKeys.size(), SIZE_MAX);
    for (std::size_t i = 0; i < vKeys.size(); ++i) {
        const auto it = std::lower_bound(
            vTails.begin(), vTails.end(), i,
            [&](std::size_t nTail, std::size_t nAt) { return before(vKeys[nTail], vKeys[nAt]); });
        if (it != vTails.begin())
            vLink[i] = *(it - 1);
        if (it == vTails.end())
            vTails.push_back(i);
        else
            *it = i;
    }
    std::vector<std::size_t> vRun;
    for (std::size_t i = vTails.empty() ? SIZE_MAX : vTails.back(); i != SIZE_MAX; i = vLink[i])
        vRun.push_back(i);
    std::reverse(vRun.begin(), vRun.end());
    return vRun;
}

// The leaves a tree's header still reaches, and whether they are all it uses.
struct SReach {
    std::set<std::uint32_t> setLeaves;
    bool bComplete = false;
};

class CTreeReader {
public:
    CTreeReader(std::uint32_t cbKey, bool bFixedKeys, std::uint32_t cbValue,
                PFNCOMPAREKEYS pfnCompare)
        : m_cbKey(cbKey), m_bFixedKeys(bFixedKeys), m_cbValue(cbValue), m_pfnCompare(pfnCompare)
    {
    }

    STreeSalvage Run(const std::string& strDirectory, std::uint32_t nLeafOrder);

private:
    SLeafRead ReadLeaf(std::uint32_t nId);
    bool Before(const std::string& a, const std::string& b) const
    {
        return m_pfnCompare(a.data(), static_cast<std::uint32_t>(a.size()), b.data(),
                            static_cast<std::uint32_t>(b.size())) < 0;
    }
    bool WalkChain(std::uint32_t nFirst, STreeSalvage* pResult);
    bool IndexedLeaves(const CPath& directory, std::uint32_t nRoot, std::uint32_t nHeight,
                       std::uint32_t nIndexOrder, std::uint32_t nEntries,
                       std::set<std::uint32_t>* pLeaves);
    bool ChainedLeaves(std::uint32_t nFirst, std::uint32_t nEntries,
                       std::set<std::uint32_t>* pLeaves);
    SReach FindLeavesInUse(const CPath& directory, std::uint32_t nRoot, std::uint32_t nHeight,
                           std::uint32_t nIndexOrder, std::uint32_t nFirst,
                           std::uint32_t nEntries);
    void GatherLeaves(SReach reach, STreeSalvage* pResult);

    std::uint32_t m_cbKey;
    bool m_bFixedKeys;
    std::uint32_t m_cbValue;
    PFNCOMPAREKEYS m_pfnCompare;
    std::uint32_t m_nLeafOrder = 0;
    CSalvageRecords m_leaves;
    std::vector<unsigned char> m_vRecord;
};

SLeafRead CTreeReader::ReadLeaf(std::uint32_t nId)
{
    SLeafRead leaf;
    if (!m_leaves.Read(nId, &m_vRecord))
        return leaf;
    CLeafNode node(m_pfnCompare, m_cbKey, m_cbValue, m_nLeafOrder, m_vRecord.data());
    const std::uint32_t n = node.GetCount();
    // Slots past the count hold stale copies of moved or removed entries: with
    // the count damaged, no entry can be told from them. A tree frees a leaf that
    // loses its last entry, so an empty one is damage too (zeros, mostly).
    if (n == 0 || n > m_nLeafOrder)
        return leaf;
    std::vector<std::pair<std::string, std::string>> vWhole;
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t cbKey = node.GetStoredKeyLength(i);
        const std::uint32_t cbValue = node.GetStoredValueLength(i);
        if (cbKey == 0 || cbKey > m_cbKey || (m_bFixedKeys && cbKey != m_cbKey) ||
            (m_cbValue != 0 && cbValue != m_cbValue))
            continue;
        std::string strKey(reinterpret_cast<const char*>(node.GetKeyBytes(i)), cbKey);
        std::string strValue;
        if (m_cbValue != 0)
            strValue.assign(reinterpret_cast<const char*>(node.GetKeyBytes(i)) + m_cbKey + 4,
                            cbValue);
        vWhole.emplace_back(std::move(strKey), std::move(strValue));
    }
    std::vector<std::string> vKeys;
    for (const auto& entry : vWhole)
        vKeys.push_back(entry.first);
    const auto before = [this](const std::string& a, const std::string& b) { return Before(a, b); };
    for (std::size_t i : LongestAscending(vKeys, before))
        leaf.vEntries.push_back(std::move(vWhole[i]));
    leaf.nDropped = n - static_cast<std::uint32_t>(leaf.vEntries.size());
    leaf.nPrevious = node.GetPrevious();
    leaf.nNext = node.GetNext();
    leaf.bRead = true;
    return leaf;
}

bool CTreeReader::WalkChain(std::uint32_t nFirst, STreeSalvage* pResult)
{
    std::set<std::uint32_t> setVisited;
    std::uint32_t nPrevious = 0;
    std::vector<std::pair<std::string, std::string>> vEntries;
    for (std::uint32_t nLeaf = nFirst; nLeaf != 0;) {
        if (!m_leaves.MayBeAllocated(nLeaf) || !setVisited.insert(nLeaf).second)
            return false;
        SLeafRead leaf = ReadLeaf(nLeaf);
        if (!leaf.bRead || leaf.nDropped != 0 || leaf.nPrevious != nPrevious)
            return false;
        for (auto& entry : leaf.vEntries) {
            if (!vEntries.empty() && !Before(vEntries.back().first, entry.first))
                return false;
            vEntries.push_back(std::move(entry));
        }
        nPrevious = nLeaf;
        nLeaf = leaf.nNext;
    }
    // Every allocated leaf must be on the chain; with the free list unknown, the
    // chain must hold as many entries as the header counts.
    if (m_leaves.IsAllocationKnown()
            ? setVisited.size() != m_leaves.GetRecordCount() - m_leaves.GetFreeIds().size()
            : vEntries.size() != pResult->nHeaderCount)
        return false;
    pResult->vEntries = std::move(vEntries);
    return true;
}

// The leaves under the root, down nHeight levels of index nodes; true when every
// index node on the way read and each leaf was reached once. nEntries is the
// header's count, which an empty tree's must match.
bool CTreeReader::IndexedLeaves(const CPath& directory, std::uint32_t nRoot, std::uint32_t nHeight,
                                std::uint32_t nIndexOrder, std::uint32_t nEntries,
                                std::set<std::uint32_t>* pLeaves)
{
    if (nRoot == 0)
        return nHeight == 0 && nEntries == 0;  // the empty tree
    if (nHeight == 0) {
        if (!m_leaves.MayBeAllocated(nRoot))
            return false;
        pLeaves->insert(nRoot);
        return true;
    }
    const std::uint64_t cbNode = CIndexNode::NodeSize(m_cbKey, nIndexOrder);
    if (nIndexOrder == 0 || cbNode > kMaxRecordFile)
        return false;
    CSalvageRecords index;
    if (!index.Open(directory.Join("index").GetString(), static_cast<std::uint32_t>(cbNode)))
        return false;
    bool bWhole = true;
    std::set<std::uint32_t> setVisited;
    std::vector<std::uint32_t> vLevel(1, nRoot);
    // Each node is read once, so the walk ends within the index file's records
    // whatever the height says.
    for (std::uint32_t nLevel = nHeight; nLevel >= 1 && !vLevel.empty(); --nLevel) {
        std::vector<std::uint32_t> vBelow;
        for (std::uint32_t nNode : vLevel) {
            if (!index.MayBeAllocated(nNode) || !setVisited.insert(nNode).second ||
                !index.Read(nNode, &m_vRecord)) {
                bWhole = false;
                continue;
            }
            const CIndexNode node(m_pfnCompare, m_cbKey, nIndexOrder, m_vRecord.data());
            const std::uint32_t n = node.GetCount();
            if (n == 0 || n > 2 * static_cast<std::uint64_t>(nIndexOrder)) {
                bWhole = false;
                continue;
            }
            for (std::uint32_t i = 0; i <= n; ++i) {
                const std::uint32_t nChild = node.GetChild(i);
                if (nLevel > 1)
                    vBelow.push_back(nChild);
                else if (!m_leaves.MayBeAllocated(nChild) || !pLeaves->insert(nChild).second)
                    bWhole = false;
            }
        }
        vLevel.swap(vBelow);
    }
    return bWhole;
}

// The leaves along the chain from nFirst while each reads and links back to the
// one before; true when the chain reached its end.
bool CTreeReader::ChainedLeaves(std::uint32_t nFirst, std::uint32_t nEntries,
                                std::set<std::uint32_t>* pLeaves)
{
    if (nFirst == 0)
        return nEntries == 0;  // the empty tree
    std::uint32_t nPrevious = 0;
    for (std::uint32_t nLeaf = nFirst; nLeaf != 0;) {
        if (!m_leaves.MayBeAllocated(nLeaf) || pLeaves->count(nLeaf) != 0)
            return false;
        const SLeafRead leaf = ReadLeaf(nLeaf);
        if (!leaf.bRead || leaf.nPrevious != nPrevious)
            return false;
        pLeaves->insert(nLeaf);
        nPrevious = nLeaf;
        nLeaf = leaf.nNext;
    }
    return true;
}

SReach CTreeReader::FindLeavesInUse(const CPath& directory, std::uint32_t nRoot,
                                    std::uint32_t nHeight, std::uint32_t nIndexOrder,
                                    std::uint32_t nFirst, std::uint32_t nEntries)
{
    std::set<std::uint32_t> setIndexed, setChained;
    const bool bIndexWhole =
        IndexedLeaves(directory, nRoot, nHeight, nIndexOrder, nEntries, &setIndexed);
    const bool bChainWhole = ChainedLeaves(nFirst, nEntries, &setChained);
    SReach reach;
    if (bIndexWhole && bChainWhole && setIndexed != setChained) {
        // One of the two is damaged: only what both reach is sure.
        std::set_intersection(setIndexed.begin(), setIndexed.end(), setChained.begin(),
                              setChained.end(),
                              std::inserter(reach.setLeaves, reach.setLeaves.end()));
    } else if (bIndexWhole || bChainWhole) {
        reach.setLeaves = bIndexWhole ? std::move(setIndexed) : std::move(setChained);
        reach.bComplete = true;
    } else {
        reach.setLeaves = std::move(setIndexed);
        reach.setLeaves.insert(setChained.begin(), setChained.end());
    }
    return reach;
}

// With neither the header nor the free list to say which leaves are in use: a
// chain that runs whole from a leaf with no previous one to a leaf with no next
// one, each leaf linked back to the one before, is the tree's, when exactly one
// such chain exists and it holds every leaf the header still reaches. A leaf has
// one previous leaf, so the walks share no leaf and together read each leaf once.
// True when the chain was found; *pReach is then that chain, complete.
bool WholeChainAmong(const std::vector<SLeafRead>& vLeaves, SReach* pReach)
{
    const std::size_t nCount = vLeaves.size() - 1;
    std::set<std::uint32_t> setChain;
    std::uint32_t nFound = 0;
    for (std::uint32_t nFirst = 1; nFirst <= nCount; ++nFirst) {
        if (!vLeaves[nFirst].bRead || vLeaves[nFirst].nPrevious != 0)
            continue;
        std::set<std::uint32_t> setWalked;
        std::uint32_t nPrevious = 0;
        std::uint32_t nLeaf = nFirst;
        for (; nLeaf != 0; nLeaf = vLeaves[nLeaf].nNext) {
            if (nLeaf > nCount || !vLeaves[nLeaf].bRead || vLeaves[nLeaf].nPrevious != nPrevious ||
                !setWalked.insert(nLeaf).second)
                break;
            nPrevious = nLeaf;
        }
        if (nLeaf == 0 && ++nFound == 1)
            setChain = std::move(setWalked);
    }
    if (nFound == 1 && std::includes(setChain.begin(), setChain.end(), pReach->setLeaves.begin(),
                                     pReach->setLeaves.end())) {
        pReach->setLeaves = std::move(setChain);
        pReach->bComplete = true;
        return true;
    }
    return false;
}

void CTreeReader::GatherLeaves(SReach reach, STreeSalvage* pResult)
{
    const std::uint32_t nCount = m_leaves.GetRecordCount();
    const bool bAllocationKnown = m_leaves.IsAllocationKnown();
    std::vector<SLeafRead> vLeaves(static_cast<std::size_t>(nCount) + 1);
    for (std::uint32_t nId = 1; nId <= nCount; ++nId)
        vLeaves[nId] = ReadLeaf(nId);
    // A leaf the tree uses links to its neighbours and they back to it. A freed
    // leaf keeps the links it had, but its neighbours were relinked around it and
    // never link to it again, so a link that holds both ways marks a leaf in use.
    const auto linked = [&](std::uint32_t nId) {
        const SLeafRead& leaf = vLeaves[nId];
        const auto backTo = [&](std::uint32_t nOther, bool bOtherIsNext) {
            return nOther != 0 && nOther <= nCount && nOther != nId &&
                   m_leaves.MayBeAllocated(nOther) && vLeaves[nOther].bRead &&
                   (bOtherIsNext ? vLeaves[nOther].nPrevious : vLeaves[nOther].nNext) == nId;
        };
        return backTo(leaf.nNext, true) || backTo(leaf.nPrevious, false);
    };
    if (!reach.bComplete && !bAllocationKnown && WholeChainAmong(vLeaves, &reach)) {
        // A leaf off the chain that links both ways with a neighbour shows that
        // the chain is not all the tree (a damaged link cut it short).
        for (std::uint32_t nId = 1; nId <= nCount && reach.bComplete; ++nId)
            if (reach.setLeaves.count(nId) == 0 && vLeaves[nId].bRead && linked(nId))
                reach.bComplete = false;
    }
    std::vector<std::pair<std::string, std::string>> vAll;
    for (std::uint32_t nId = 1; nId <= nCount; ++nId) {
        SLeafRead& leaf = vLeaves[nId];
        const bool bReached = reach.setLeaves.count(nId) != 0;
        if (!m_leaves.MayBeAllocated(nId))
            continue;  // free: never read back (the header's ways never lead here)
        // A sound free list says it all. Without one, the leaves the header
        // reaches are in use; when it reaches every leaf in use, a leaf off its
        // way is freed unless its neighbours link to it, which contradicts that.
        bool bInUse = bAllocationKnown || bReached;
        bool bFreed = false;  // known to be freed: left out without a word
        if (!bInUse && reach.bComplete)
            bFreed = !(leaf.bRead && linked(nId));
        else if (!bInUse && leaf.bRead)
            bInUse = linked(nId);
        if (!leaf.bRead) {
            if (!bFreed)
                ++pResult->nLeavesSkipped;
            continue;
        }
        if (!bInUse) {
            if (!bFreed)
                ++pResult->nLeavesUncertain;
            continue;
        }
        pResult->nEntriesDropped += leaf.nDropped;
        for (auto& entry : leaf.vEntries)
            vAll.push_back(std::move(entry));
    }
    std::stable_sort(vAll.begin(), vAll.end(),
                     [this](const std::pair<std::string, std::string>& a,
                            const std::pair<std::string, std::string>& b) {
                         return Before(a.first, b.first);
                     });
    for (auto& entry : vAll) {
        if (!pResult->vEntries.empty() && !Before(pResult->vEntries.back().first, entry.first))
            continue;  // the same key in two leaves: the first one read stands
        pResult->vEntries.push_back(std::move(entry));
    }
}

STreeSalvage CTreeReader::Run(const std::string& strDirectory, std::uint32_t nLeafOrder)
{
    STreeSalvage result;
    if (IsLink(strDirectory.c_str()))
        return result;
    const CPath directory(strDirectory.c_str());
    std::uint32_t nFirstLeaf = 0, nRoot = 0, nHeight = 0, nIndexOrder = 0;
    std::string strHeader;
    if (ReadSmallFile(directory.Join("bptinfo").GetString(), 60, &strHeader) &&
        strHeader.size() >= 60 && std::memcmp(strHeader.data(), kTreeMagic, 8) == 0) {
        const unsigned char* pb = reinterpret_cast<const unsigned char*>(strHeader.data());
        const std::uint32_t nOrder = GetU32LE(pb + 12);
        const bool bSizes = GetU32LE(pb + 16) == m_cbKey && GetU32LE(pb + 20) == m_cbValue &&
                            nOrder >= 2 && (nLeafOrder == 0 || nOrder == nLeafOrder);
        if (bSizes) {
            result.bHeaderRead = true;
            result.nHeaderCount = GetU32LE(pb + 44);
            nIndexOrder = GetU32LE(pb + 8);
            nHeight = GetU32LE(pb + 48);
            nRoot = GetU32LE(pb + 52);
            nFirstLeaf = GetU32LE(pb + 56);
            if (nLeafOrder == 0)
                nLeafOrder = nOrder;
        }
    }
    const std::uint64_t cbEntry = static_cast<std::uint64_t>(m_cbKey) + m_cbValue + 8;
    std::uint64_t cbLeaf = nLeafOrder != 0 ? CLeafNode::NodeSize(m_cbKey, m_cbValue, nLeafOrder) : 0;
    if (cbLeaf > kMaxRecordFile)
        return result;
    const std::string strLeafFile = directory.Join("leaf").GetString();
    if (!m_leaves.Open(strLeafFile.c_str(), static_cast<std::uint32_t>(cbLeaf)))
        return result;
    result.bLeafFileRead = true;
    if (nLeafOrder == 0) {
        // No header to say: the leaf file's record size gives the order, when it
        // fits the key and value sizes.
        const std::uint64_t cb = m_leaves.GetRecordSize();
        if (cb < 16 + 3 * cbEntry || (cb - 16) % cbEntry != 0)
            return result;
        nLeafOrder = static_cast<std::uint32_t>((cb - 16) / cbEntry - 1);
    } else if (m_leaves.GetRecordSize() != cbLeaf) {
        return result;
    }
    m_nLeafOrder = nLeafOrder;
    if (result.bHeaderRead && WalkChain(nFirstLeaf, &result)) {
        // The chain holds every leaf, whole and in order: what it holds is the
        // tree, even when the header's count says otherwise.
        result.bChainWhole = true;
        result.bSound = result.vEntries.size() == result.nHeaderCount;
        return result;
    }
    SReach reach;
    if (result.bHeaderRead)
        reach = FindLeavesInUse(directory, nRoot, nHeight, nIndexOrder, nFirstLeaf,
                                result.nHeaderCount);
    GatherLeaves(reach, &result);
    return result;
}

}  // namespace

bool IsLink(const char* szPath)
{
    unsigned nAttributes = 0;
    return platform::FileGetAttributes(szPath, &nAttributes) == platform::kFileOk &&
           (nAttributes & platform::kFileAttrReparsePoint) != 0;
}

bool CSalvageRecords::Open(const char* szPath, std::uint32_t cbExpectedRecord)
{
    m_file.Close();
    m_bHeaderSound = false;
    m_bAllocationKnown = false;
    m_cbRecord = 0;
    m_nCount = 0;
    m_vFreeIds.clear();
    platform::CFileHandle file;
    if (!OpenForReading(szPath, &file) || file.GetSize(&m_cbFile) != platform::kFileOk)
        return false;
    unsigned char abHeader[16] = {};
    const bool bHeader = m_cbFile >= kRecordHeaderSize && ReadAt(&file, 0, abHeader, 16) &&
                         std::memcmp(abHeader, kRecordMagic, 8) == 0;
    const std::uint32_t cbStated = bHeader ? GetU32LE(abHeader + 8) : 0;
    const std::uint32_t nStated = bHeader ? GetU32LE(abHeader + 12) : 0;
    if (bHeader && cbStated != 0 && (cbExpectedRecord == 0 || cbStated == cbExpectedRecord)) {
        const std::uint64_t nFreeAt = kRecordHeaderSize + static_cast<std::uint64_t>(cbStated) * nStated;
        unsigned char abFree[4];
        if (nFreeAt + 4 <= m_cbFile && ReadAt(&file, nFreeAt, abFree, 4)) {
            const std::uint32_t nFree = GetU32LE(abFree);
            if (nFree <= nStated && nFreeAt + 4 + 4ull * nFree == m_cbFile) {
                std::vector<unsigned char> vFree(4 * static_cast<std::size_t>(nFree));
                bool bSound = nFree == 0 ||
                              ReadAt(&file, nFreeAt + 4, vFree.data(),
                                     static_cast<std::uint32_t>(vFree.size()));
                for (std::uint32_t i = 0; bSound && i < nFree; ++i) {
                    const std::uint32_t nId = GetU32LE(&vFree[4 * static_cast<std::size_t>(i)]);
                    bSound = nId >= 1 && nId <= nStated &&
                             (m_vFreeIds.empty() || nId > m_vFreeIds.back());
                    m_vFreeIds.push_back(nId);
                }
                if (bSound) {
                    m_bHeaderSound = true;
                    m_bAllocationKnown = true;
                    m_cbRecord = cbStated;
                    m_nCount = nStated;
                }
            }
        }
    }
    if (!m_bHeaderSound) {
        m_vFreeIds.clear();
        m_cbRecord = cbExpectedRecord != 0 ? cbExpectedRecord : cbStated;
        if (m_cbRecord == 0)
            return false;
        m_bAllocationKnown = cbExpectedRecord != 0 && FindFreeListAtEnd(&file);
        if (!m_bAllocationKnown) {
            const std::uint64_t nFits =
                m_cbFile > kRecordHeaderSize ? (m_cbFile - kRecordHeaderSize) / m_cbRecord : 0;
            m_nCount = static_cast<std::uint32_t>(nFits > 0xFFFFFFFFull ? 0xFFFFFFFFull : nFits);
        }
    }
    m_file = static_cast<platform::CFileHandle&&>(file);
    return true;
}

bool CSalvageRecords::FindFreeListAtEnd(platform::CFileHandle* pFile)
{
    if (m_cbFile < kRecordHeaderSize + 4)
        return false;
    // N records and F free ids fill the file after the header: N * size + 4 + 4 * F
    // bytes, with F <= N.
    const std::uint64_t cbBody = m_cbFile - kRecordHeaderSize - 4;
    const std::uint64_t nMostFree = cbBody / (static_cast<std::uint64_t>(m_cbRecord) + 4);
    const std::uint64_t cbTail = 4 + 4 * nMostFree;
    if (cbTail > kMaxFreeListBytes)
        return false;
    std::vector<unsigned char> vTail(static_cast<std::size_t>(cbTail));
    if (!ReadAt(pFile, m_cbFile - cbTail, vTail.data(), static_cast<std::uint32_t>(cbTail)))
        return false;
    // Every F that leaves a whole number of records is tried; the list counts
    // only when exactly one F has its count word and ascending ids within 1..N.
    std::uint32_t nFound = 0;
    std::uint32_t nCount = 0;
    std::vector<std::uint32_t> vFree;
    for (std::uint64_t nFree = 0; nFree <= nMostFree; ++nFree) {
        if ((cbBody - 4 * nFree) % m_cbRecord != 0)
            continue;
        const std::uint64_t nRecords = (cbBody - 4 * nFree) / m_cbRecord;
        const unsigned char* pList = vTail.data() + (cbTail - 4 * nFree - 4);
        if (nFree > nRecords || nRecords > 0xFFFFFFFFull || GetU32LE(pList) != nFree)
            continue;
        std::vector<std::uint32_t> vIds;
        for (std::uint64_t i = 0; i < nFree; ++i) {
            const std::uint32_t nId = GetU32LE(pList + 4 + 4 * i);
            if (nId == 0 || nId > nRecords || (!vIds.empty() && nId <= vIds.back()))
                break;
            vIds.push_back(nId);
        }
        if (vIds.size() != nFree)
            continue;
        if (++nFound > 1)
            return false;
        nCount = static_cast<std::uint32_t>(nRecords);
        vFree = std::move(vIds);
    }
    if (nFound != 1)
        return false;
    m_nCount = nCount;
    m_vFreeIds = std::move(vFree);
    return true;
}

bool CSalvageRecords::MayBeAllocated(std::uint32_t nId) const
{
    if (nId == 0 || nId > m_nCount)
        return false;
    if (!m_bAllocationKnown)
        return true;
    return !std::binary_search(m_vFreeIds.begin(), m_vFreeIds.end(), nId);
}

bool CSalvageRecords::Read(std::uint32_t nId, std::vector<unsigned char>* pvRecord)
{
    if (!m_file.IsOpen() || nId == 0 || nId > m_nCount)
        return false;
    const std::uint64_t nOffset = kRecordHeaderSize + static_cast<std::uint64_t>(nId - 1) * m_cbRecord;
    if (nOffset + m_cbRecord > m_cbFile)
        return false;
    pvRecord->resize(m_cbRecord);
    return ReadAt(&m_file, nOffset, pvRecord->data(), m_cbRecord);
}

STreeSalvage SalvageTree(const std::string& strDirectory, std::uint32_t cbKey, bool bFixedKeys,
                         std::uint32_t cbValue, std::uint32_t nLeafOrder,
                         PFNCOMPAREKEYS pfnCompare)
{
    CTreeReader reader(cbKey, bFixedKeys, cbValue, pfnCompare);
    return reader.Run(strDirectory, nLeafOrder);
}

bool ReadSmallFile(const char* szPath, std::uint32_t cbLimit, std::string* pstrBytes)
{
    platform::CFileHandle file;
    std::uint64_t cbFile = 0;
    if (!OpenForReading(szPath, &file) || file.GetSize(&cbFile) != platform::kFileOk)
        return false;
    const std::uint32_t cb = cbFile < cbLimit ? static_cast<std::uint32_t>(cbFile) : cbLimit;
    pstrBytes->assign(cb, '\0');
    return cb == 0 || ReadAt(&file, 0, &(*pstrBytes)[0], cb);
}

}  // namespace velk
