#include "engine/salvage/salvage_read.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/base/byte_order.h"
#include "engine/bptree/node.h"
#include "engine/path/path.h"

namespace velk {

namespace {

const unsigned char kRecordMagic[8] = {0x89, 'F', 'L', 'R', 0x0D, 0x0A, 0x1A, 0x0A};
const unsigned char kTreeMagic[8] = {0x89, 'B', 'P', 'T', 0x0D, 0x0A, 0x1A, 0x0A};
const std::uint64_t kRecordHeaderSize = 16;
const std::uint64_t kMaxRecordFile = 0xFFFFFFFFull;

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
    void GatherLeaves(STreeSalvage* pResult);

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
        if (!m_leaves.IsHeaderSound() || !m_leaves.MayBeAllocated(nLeaf) ||
            !setVisited.insert(nLeaf).second)
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
    // Every allocated leaf must be on the chain.
    if (setVisited.size() != m_leaves.GetRecordCount() - m_leaves.GetFreeIds().size())
        return false;
    pResult->vEntries = std::move(vEntries);
    return true;
}

void CTreeReader::GatherLeaves(STreeSalvage* pResult)
{
    std::vector<std::pair<std::string, std::string>> vAll;
    for (std::uint32_t nId = 1; nId <= m_leaves.GetRecordCount(); ++nId) {
        if (!m_leaves.MayBeAllocated(nId))
            continue;
        SLeafRead leaf = ReadLeaf(nId);
        if (!leaf.bRead) {
            ++pResult->nLeavesSkipped;
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
    std::uint32_t nFirstLeaf = 0;
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
    GatherLeaves(&result);
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
        const std::uint64_t nFits =
            m_cbFile > kRecordHeaderSize ? (m_cbFile - kRecordHeaderSize) / m_cbRecord : 0;
        m_nCount = static_cast<std::uint32_t>(nFits > 0xFFFFFFFFull ? 0xFFFFFFFFull : nFits);
    }
    m_file = static_cast<platform::CFileHandle&&>(file);
    return true;
}

bool CSalvageRecords::MayBeAllocated(std::uint32_t nId) const
{
    if (nId == 0 || nId > m_nCount)
        return false;
    if (!m_bHeaderSound)
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
