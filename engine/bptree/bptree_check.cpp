#include "engine/bptree/bptree_check.h"

#include <string>

namespace velk {

namespace {

class CPinned {
public:
    CPinned(CRecordFile& file, std::uint32_t nId) : m_file(file), m_pBuffer(file.Get(nId, 0)) {}
    ~CPinned() { m_file.Release(m_pBuffer); }
    CPinned(const CPinned&) = delete;
    CPinned& operator=(const CPinned&) = delete;
    void* Buffer() const { return m_pBuffer; }

private:
    CRecordFile& m_file;
    void* m_pBuffer;
};

class CChecker {
public:
    CChecker(CBPTree& tree, std::vector<std::string>* pvProblems)
        : m_tree(tree), m_pvProblems(pvProblems) {}

    std::size_t Run();

private:
    typedef std::string Key;

    void Report(const std::string& strText)
    {
        ++m_nProblems;
        if (m_pvProblems != nullptr)
            m_pvProblems->push_back(strText);
    }
    static std::string Id(const char* szKind, std::uint32_t nId)
    {
        return std::string(szKind) + " " + std::to_string(nId);
    }
    void CheckFreeList(CRecordFile& file, const char* szKind);
    bool Visit(CRecordFile& file, std::vector<char>* pvSeen, const char* szKind, std::uint32_t nId);
    void CheckRange(const std::string& strWhere, const unsigned char* pKey, std::uint32_t cbKey,
                    const Key* pLower, const Key* pUpper);
    void WalkIndex(std::uint32_t nId, std::uint32_t nLevel, std::uint32_t nParent,
                   const Key* pLower, const Key* pUpper);
    void WalkLeaf(std::uint32_t nId, std::uint32_t nParent, const Key* pLower, const Key* pUpper);
    int Compare(const unsigned char* pKey, std::uint32_t cbKey, const Key& key) const
    {
        return m_tree.GetCompare()(pKey, cbKey, key.data(), static_cast<std::uint32_t>(key.size()));
    }

    CBPTree& m_tree;
    std::vector<std::string>* m_pvProblems;
    std::size_t m_nProblems = 0;
    std::vector<char> m_vIndexSeen;
    std::vector<char> m_vLeafSeen;
    std::vector<std::uint32_t> m_vLeaves;
    std::uint64_t m_nEntries = 0;
};

void CChecker::CheckFreeList(CRecordFile& file, const char* szKind)
{
    std::uint32_t nPrevious = 0;
    for (std::uint32_t nId : file.GetFreeIds()) {
        if (nId <= nPrevious || nId > file.GetRecordCount())
            Report(std::string(szKind) + " file: free list not ascending within 1..N at " +
                   std::to_string(nId));
        nPrevious = nId;
    }
}

bool CChecker::Visit(CRecordFile& file, std::vector<char>* pvSeen, const char* szKind,
                     std::uint32_t nId)
{
    if (!file.IsAllocated(nId)) {
        Report(Id(szKind, nId) + ": not an allocated record");
        return false;
    }
    if ((*pvSeen)[nId]) {
        Report(Id(szKind, nId) + ": reached twice");
        return false;
    }
    (*pvSeen)[nId] = 1;
    return true;
}

void CChecker::CheckRange(const std::string& strWhere, const unsigned char* pKey,
                          std::uint32_t cbKey, const Key* pLower, const Key* pUpper)
{
    if (pLower != nullptr && Compare(pKey, cbKey, *pLower) < 0)
        Report(strWhere + ": key below the separator on its left");
    if (pUpper != nullptr) {
        int c = Compare(pKey, cbKey, *pUpper);
        if (c > 0 || (c == 0 && !m_tree.HasDuplicates()))
            Report(strWhere + ": key not below the separator on its right");
    }
}

void CChecker::WalkIndex(std::uint32_t nId, std::uint32_t nLevel, std::uint32_t nParent,
                         const Key* pLower, const Key* pUpper)
{
    CRecordFile& file = m_tree.GetIndexFile();
    if (!Visit(file, &m_vIndexSeen, "index node", nId))
        return;
    CPinned pinned(file, nId);
    CIndexNode node = m_tree.IndexView(pinned.Buffer());
    std::string strWhere = Id("index node", nId);
    std::uint32_t d = m_tree.GetIndexOrder();
    std::uint32_t n = node.GetCount();
    if (n > 2 * d) {
        Report(strWhere + ": " + std::to_string(n) + " keys, more than 2d");
        if (n > 2 * d + 1)
            return;
    }
    if (n < (nParent == 0 ? 1 : d))
        Report(strWhere + ": " + std::to_string(n) + " keys, too few");
    if (node.GetParent() != nParent)
        Report(strWhere + ": parent " + std::to_string(node.GetParent()) + ", expected " +
               std::to_string(nParent));
    std::vector<Key> vKeys;
    for (std::uint32_t i = 0; i < n; ++i) {
        std::uint32_t cb = node.GetStoredKeyLength(i);
        if (cb > m_tree.GetKeySize()) {
            Report(strWhere + ": key " + std::to_string(i) + " longer than the key size");
            return;
        }
        vKeys.emplace_back(reinterpret_cast<const char*>(node.GetKeyBytes(i)), cb);
        CheckRange(strWhere, node.GetKeyBytes(i), cb, pLower, pUpper);
        if (i > 0) {
            int c = Compare(node.GetKeyBytes(i), cb, vKeys[i - 1]);
            if (c < 0 || (c == 0 && !m_tree.HasDuplicates()))
                Report(strWhere + ": keys out of order at " + std::to_string(i));
        }
    }
    std::vector<std::uint32_t> vChildren;
    for (std::uint32_t i = 0; i <= n; ++i)
        vChildren.push_back(node.GetChild(i));
    for (std::uint32_t i = 0; i <= n; ++i) {
        const Key* pLeft = i == 0 ? pLower : &vKeys[i - 1];
        const Key* pRight = i == n ? pUpper : &vKeys[i];
        if (nLevel + 1 < m_tree.GetHeight())
            WalkIndex(vChildren[i], nLevel + 1, nId, pLeft, pRight);
        else
            WalkLeaf(vChildren[i], nId, pLeft, pRight);
    }
}

void CChecker::WalkLeaf(std::uint32_t nId, std::uint32_t nParent, const Key* pLower,
                        const Key* pUpper)
{
    CRecordFile& file = m_tree.GetLeafFile();
    if (!Visit(file, &m_vLeafSeen, "leaf", nId))
        return;
    m_vLeaves.push_back(nId);
    CPinned pinned(file, nId);
    CLeafNode leaf = m_tree.LeafView(pinned.Buffer());
    std::string strWhere = Id("leaf", nId);
    std::uint32_t nOrder = m_tree.GetLeafOrder();
    std::uint32_t n = leaf.GetCount();
    if (n > nOrder) {
        Report(strWhere + ": " + std::to_string(n) + " entries, more than L");
        if (n > nOrder + 1)
            return;
    }
    if (n < (nParent == 0 ? 1 : (nOrder + 1) / 2))
        Report(strWhere + ": " + std::to_string(n) + " entries, too few");
    if (leaf.GetParent() != nParent)
        Report(strWhere + ": parent " + std::to_string(leaf.GetParent()) + ", expected " +
               std::to_string(nParent));
    m_nEntries += n;
    for (std::uint32_t i = 0; i < n; ++i) {
        std::uint32_t cb = leaf.GetStoredKeyLength(i);
        if (cb > m_tree.GetKeySize()) {
            Report(strWhere + ": key " + std::to_string(i) + " longer than the key size");
            return;
        }
        if (leaf.GetStoredValueLength(i) > m_tree.GetValueSize())
            Report(strWhere + ": value " + std::to_string(i) + " longer than the value size");
        CheckRange(strWhere, leaf.GetKeyBytes(i), cb, pLower, pUpper);
        if (i > 0) {
            Key previous(reinterpret_cast<const char*>(leaf.GetKeyBytes(i - 1)),
                         leaf.GetStoredKeyLength(i - 1));
            int c = Compare(leaf.GetKeyBytes(i), cb, previous);
            if (c < 0 || (c == 0 && !m_tree.HasDuplicates()))
                Report(strWhere + ": keys out of order at " + std::to_string(i));
        }
    }
}

std::size_t CChecker::Run()
{
    if (!m_tree.IsOpen()) {
        Report("tree not open");
        return m_nProblems;
    }
    CRecordFile& indexFile = m_tree.GetIndexFile();
    CRecordFile& leafFile = m_tree.GetLeafFile();
    if (indexFile.GetPinCount() != 0 || leafFile.GetPinCount() != 0)
        Report("records still pinned");
    CheckFreeList(indexFile, "index");
    CheckFreeList(leafFile, "leaf");
    // The node layouts follow from d, L, K and V alone; records of another size
    // mean the header and the node files disagree (a parent or a chain link would
    // be read from the wrong place).
    const std::uint64_t cbIndexNode =
        CIndexNode::NodeSize(m_tree.GetKeySize(), m_tree.GetIndexOrder());
    if (indexFile.GetRecordSize() != cbIndexNode)
        Report("index file: records of " + std::to_string(indexFile.GetRecordSize()) +
               " bytes, but d and K give " + std::to_string(cbIndexNode));
    const std::uint64_t cbLeaf =
        CLeafNode::NodeSize(m_tree.GetKeySize(), m_tree.GetValueSize(), m_tree.GetLeafOrder());
    if (leafFile.GetRecordSize() != cbLeaf)
        Report("leaf file: records of " + std::to_string(leafFile.GetRecordSize()) +
               " bytes, but L, K and V give " + std::to_string(cbLeaf));
    m_vIndexSeen.assign(indexFile.GetRecordCount() + 1ull, 0);
    m_vLeafSeen.assign(leafFile.GetRecordCount() + 1ull, 0);

    std::uint32_t nRoot = m_tree.GetRoot();
    if (nRoot == 0) {
        if (m_tree.GetHeight() != 0 || m_tree.GetFirstLeaf() != 0 || m_tree.GetCount() != 0)
            Report("empty tree with height, first leaf or record count set");
    } else if (m_tree.GetHeight() == 0) {
        WalkLeaf(nRoot, 0, nullptr, nullptr);
    } else {
        WalkIndex(nRoot, 0, 0, nullptr, nullptr);
    }
    if (m_nEntries != m_tree.GetCount())
        Report("record count " + std::to_string(m_tree.GetCount()) + ", but the leaves hold " +
               std::to_string(m_nEntries));
    std::uint32_t nFirst = m_vLeaves.empty() ? 0 : m_vLeaves.front();
    if (m_tree.GetFirstLeaf() != nFirst)
        Report("first leaf " + std::to_string(m_tree.GetFirstLeaf()) + ", expected " +
               std::to_string(nFirst));
    // The chain must list the leaves in the order of the walk, linked both ways, and
    // keys must ascend across the links.
    for (std::size_t i = 0; i < m_vLeaves.size(); ++i) {
        CPinned pinned(leafFile, m_vLeaves[i]);
        CLeafNode leaf = m_tree.LeafView(pinned.Buffer());
        std::uint32_t nPrevious = i == 0 ? 0 : m_vLeaves[i - 1];
        std::uint32_t nNext = i + 1 == m_vLeaves.size() ? 0 : m_vLeaves[i + 1];
        if (leaf.GetPrevious() != nPrevious)
            Report(Id("leaf", m_vLeaves[i]) + ": previous " + std::to_string(leaf.GetPrevious()) +
                   ", expected " + std::to_string(nPrevious));
        if (leaf.GetNext() != nNext)
            Report(Id("leaf", m_vLeaves[i]) + ": next " + std::to_string(leaf.GetNext()) +
                   ", expected " + std::to_string(nNext));
        std::uint32_t n = leaf.GetCount();
        if (nNext != 0 && n != 0 && n <= m_tree.GetLeafOrder() + 1 &&
            leaf.GetStoredKeyLength(n - 1) <= m_tree.GetKeySize()) {
            CPinned pinnedNext(leafFile, nNext);
            CLeafNode next = m_tree.LeafView(pinnedNext.Buffer());
            if (next.GetCount() != 0 && next.GetCount() <= m_tree.GetLeafOrder() + 1 &&
                next.GetStoredKeyLength(0) <= m_tree.GetKeySize()) {
                Key last(reinterpret_cast<const char*>(leaf.GetKeyBytes(n - 1)),
                         leaf.GetStoredKeyLength(n - 1));
                int c = Compare(next.GetKeyBytes(0), next.GetStoredKeyLength(0), last);
                if (c < 0 || (c == 0 && !m_tree.HasDuplicates()))
                    Report(Id("leaf", nNext) + ": first key not after the previous leaf's last");
            }
        }
    }
    for (std::uint32_t nId = 1; nId <= indexFile.GetRecordCount(); ++nId) {
        if (indexFile.IsAllocated(nId) && !m_vIndexSeen[nId])
            Report(Id("index node", nId) + ": allocated but unreachable");
    }
    for (std::uint32_t nId = 1; nId <= leafFile.GetRecordCount(); ++nId) {
        if (leafFile.IsAllocated(nId) && !m_vLeafSeen[nId])
            Report(Id("leaf", nId) + ": allocated but unreachable");
    }
    if (indexFile.GetPinCount() != 0 || leafFile.GetPinCount() != 0)
        Report("records left pinned by the check");
    return m_nProblems;
}

}  // namespace

std::size_t CheckTree(CBPTree& tree, std::vector<std::string>* pvProblems)
{
    return CChecker(tree, pvProblems).Run();
}

}  // namespace velk
