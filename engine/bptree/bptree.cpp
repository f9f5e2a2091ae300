#include "engine/bptree/bptree.h"

#include <cstring>
#include <vector>

#include "engine/base/byte_order.h"
#include "engine/base/fault.h"
#include "engine/bptree/file_returner.h"

namespace velk {

namespace {

const unsigned char kMagic[8] = {0x89, 'B', 'P', 'T', 0x0D, 0x0A, 0x1A, 0x0A};
const char* const kFileNames[3] = {"bptinfo", "index", "leaf"};
enum { kInfoFile = 0, kIndexFile = 1, kLeafFile = 2 };
const std::uint32_t kHeaderSize = CBPTree::kHeaderSize;
const std::uint32_t kDynamicOffset = 44;
// Every index node has at least two children, so a tree of H index levels has at
// least 2^H leaves; a leaf file below 2^32 bytes cannot hold 2^27 of them. A header
// claiming more levels is damaged, and refusing it bounds every descent.
const std::uint32_t kMaxHeight = 32;

std::string FilePath(const std::string& strDirectory, int nFile)
{
    return strDirectory + "\\" + kFileNames[nFile];
}

}  // namespace

CBPTree::CBPTree() {}

CBPTree::~CBPTree()
{
    try {
        Close();
    } catch (...) {
    }
}

CIndexNode CBPTree::IndexView(void* pBuffer) const
{
    return CIndexNode(m_pfnCompare, m_cbKeySize, m_nIndexOrder, pBuffer);
}

CLeafNode CBPTree::LeafView(void* pBuffer) const
{
    return CLeafNode(m_pfnCompare, m_cbKeySize, m_cbValueSize, m_nLeafOrder, pBuffer);
}

int CBPTree::Create(CFileSystem::IContext* pContext, const char* szDirectory,
                    std::uint32_t nIndexOrder, std::uint32_t nLeafOrder, std::uint32_t cbKeySize,
                    std::uint32_t cbValueSize, int nDuplicates, const void* pGuid)
{
    if (pContext == nullptr || szDirectory == nullptr || pGuid == nullptr || nIndexOrder == 0 ||
        nLeafOrder < 2 || cbKeySize == 0)
        return kInvalidArgument;
    std::uint64_t cbIndexNode = CIndexNode::NodeSize(cbKeySize, nIndexOrder);
    std::uint64_t cbLeafNode = CLeafNode::NodeSize(cbKeySize, cbValueSize, nLeafOrder);
    int nResult = pContext->CreateDirectory(szDirectory);
    if (nResult != 0)
        return nResult;
    std::string strDirectory(szDirectory);
    std::string strInfo = FilePath(strDirectory, kInfoFile);
    if (pContext->CreateFile(strInfo.c_str()) != 0)
        ThrowFault();
    unsigned char abHeader[kHeaderSize] = {};
    std::memcpy(abHeader, kMagic, sizeof(kMagic));
    PutU32LE(abHeader + 8, nIndexOrder);
    PutU32LE(abHeader + 12, nLeafOrder);
    PutU32LE(abHeader + 16, cbKeySize);
    PutU32LE(abHeader + 20, cbValueSize);
    PutU32LE(abHeader + 24, nDuplicates ? 1 : 0);
    std::memcpy(abHeader + 28, pGuid, 16);
    {
        CFileSystem::IFile* pFile = pContext->OpenFile(strInfo.c_str(), 1);
        CFileReturner returner(pContext, pFile);
        if (pFile->Write(abHeader, kHeaderSize) != kHeaderSize)
            ThrowFault();
    }
    // Node sizes that no record file can hold are refused rather than wrapped.
    if (cbIndexNode > 0xFFFFFFFFu || cbLeafNode > 0xFFFFFFFFu)
        ThrowFault();
    if (CRecordFile::Create(pContext, FilePath(strDirectory, kIndexFile).c_str(),
                            static_cast<std::uint32_t>(cbIndexNode)) != 0)
        ThrowFault();
    if (CRecordFile::Create(pContext, FilePath(strDirectory, kLeafFile).c_str(),
                            static_cast<std::uint32_t>(cbLeafNode)) != 0)
        ThrowFault();
    return kOk;
}

void CBPTree::Open(CFileSystem::IContext* pContext, const char* szDirectory, int nWritable,
                   const void* pGuid, PFNCOMPAREKEYS pfnCompare)
{
    Close();
    if (pContext == nullptr || szDirectory == nullptr || pGuid == nullptr)
        ThrowFault();
    if (nWritable && !pContext->IsWritable())
        ThrowFault();
    m_pContext = pContext;
    m_nWritable = nWritable ? 1 : 0;
    try {
        m_strDirectory = szDirectory;
        unsigned char abHeader[kHeaderSize];
        {
            std::string strInfo = FilePath(m_strDirectory, kInfoFile);
            CFileSystem::IFile* pFile = pContext->OpenFile(strInfo.c_str(), 0);
            CFileReturner returner(pContext, pFile);
            if (pFile->Read(abHeader, kHeaderSize) != kHeaderSize)
                ThrowFault();
        }
        if (std::memcmp(abHeader, kMagic, sizeof(kMagic)) != 0 ||
            std::memcmp(abHeader + 28, pGuid, 16) != 0)
            ThrowFault();
        m_nIndexOrder = GetU32LE(abHeader + 8);
        m_nLeafOrder = GetU32LE(abHeader + 12);
        m_cbKeySize = GetU32LE(abHeader + 16);
        m_cbValueSize = GetU32LE(abHeader + 20);
        m_nDuplicates = GetU32LE(abHeader + 24) != 0 ? 1 : 0;
        std::memcpy(m_abGuid, abHeader + 28, 16);
        m_nRecordCount = GetU32LE(abHeader + 44);
        m_nHeight = GetU32LE(abHeader + 48);
        m_nRoot = GetU32LE(abHeader + 52);
        m_nFirstLeaf = GetU32LE(abHeader + 56);
        if (m_nIndexOrder == 0 || m_nLeafOrder < 2 || m_cbKeySize == 0 || m_nHeight > kMaxHeight)
            ThrowFault();
        m_indexFile.Open(pContext, FilePath(m_strDirectory, kIndexFile).c_str(), m_nWritable);
        m_leafFile.Open(pContext, FilePath(m_strDirectory, kLeafFile).c_str(), m_nWritable);
        // Records larger than the nodes are read; smaller ones would put node
        // fields outside the record. A write needs the sizes the orders give: a
        // damaged record size could otherwise ask for records of gigabytes.
        const std::uint64_t cbIndexNode = CIndexNode::NodeSize(m_cbKeySize, m_nIndexOrder);
        const std::uint64_t cbLeafNode = CLeafNode::NodeSize(m_cbKeySize, m_cbValueSize, m_nLeafOrder);
        if (m_indexFile.GetRecordSize() < cbIndexNode || m_leafFile.GetRecordSize() < cbLeafNode ||
            (m_nWritable && (m_indexFile.GetRecordSize() != cbIndexNode ||
                             m_leafFile.GetRecordSize() != cbLeafNode)))
            ThrowFault();
        CheckShape();
        m_pfnCompare = pfnCompare != nullptr ? pfnCompare : FindKeyOrder(m_abGuid);
        if (m_pfnCompare == nullptr)
            ThrowFault();
    } catch (...) {
        Reset();
        try {
            m_indexFile.Close();
        } catch (...) {
        }
        try {
            m_leafFile.Close();
        } catch (...) {
        }
        throw;
    }
}

void CBPTree::CheckShape() const
{
    // Empty means no root, no first leaf and no levels; anything else is a tree
    // whose entries would become unreachable the moment a write started afresh.
    if (m_nRecordCount == 0) {
        if (m_nRoot != 0 || m_nFirstLeaf != 0 || m_nHeight != 0)
            ThrowFault();
        return;
    }
    if (m_nRoot == 0 || m_nFirstLeaf == 0)
        ThrowFault();
    const std::uint64_t nLeaves =
        m_leafFile.GetRecordCount() - static_cast<std::uint64_t>(m_leafFile.GetFreeIds().size());
    // Every entry sits in an allocated leaf, at most L to a leaf. The leaf file is
    // below 2^32 bytes and a leaf takes more than 9 bytes per entry, so this also
    // keeps the count below 2^31, and positions counted in it cannot wrap.
    if (m_nRecordCount > nLeaves * m_nLeafOrder || !m_leafFile.IsAllocated(m_nFirstLeaf))
        ThrowFault();
    if (m_nHeight == 0) {
        // One leaf, which is root and first leaf at once.
        if (m_nRoot != m_nFirstLeaf || m_nRecordCount > m_nLeafOrder)
            ThrowFault();
        return;
    }
    // Every index node has at least two children, so H levels need at least 2^H
    // leaves and 2^H - 1 index nodes.
    const std::uint64_t nIndexNodes = m_indexFile.GetRecordCount() -
                                      static_cast<std::uint64_t>(m_indexFile.GetFreeIds().size());
    if (nLeaves < (1ull << m_nHeight) || nIndexNodes < (1ull << m_nHeight) - 1 ||
        !m_indexFile.IsAllocated(m_nRoot))
        ThrowFault();
}

void CBPTree::Reset()
{
    m_pContext = nullptr;
    m_nWritable = 0;
    m_strDirectory.clear();
    m_nIndexOrder = 0;
    m_nLeafOrder = 0;
    m_cbKeySize = 0;
    m_cbValueSize = 0;
    m_nDuplicates = 0;
    std::memset(m_abGuid, 0, sizeof(m_abGuid));
    m_pfnCompare = nullptr;
    m_nRecordCount = 0;
    m_nHeight = 0;
    m_nRoot = 0;
    m_nFirstLeaf = 0;
}

void CBPTree::Close()
{
    if (m_pContext == nullptr)
        return;
    bool bFailed = false;
    if (m_nWritable) {
        try {
            // A write on a header whose count was damaged can leave a shape that no
            // open accepts: that is never written, and the change does not commit.
            CheckShape();
            std::string strInfo = FilePath(m_strDirectory, kInfoFile);
            CFileSystem::IFile* pFile = m_pContext->OpenFile(strInfo.c_str(), 1);
            CFileReturner returner(m_pContext, pFile);
            if (pFile->Seek(kDynamicOffset, 0) != kDynamicOffset)
                ThrowFault();
            unsigned char abDynamic[16];
            PutU32LE(abDynamic, m_nRecordCount);
            PutU32LE(abDynamic + 4, m_nHeight);
            PutU32LE(abDynamic + 8, m_nRoot);
            PutU32LE(abDynamic + 12, m_nFirstLeaf);
            if (pFile->Write(abDynamic, sizeof(abDynamic)) != sizeof(abDynamic))
                ThrowFault();
        } catch (...) {
            bFailed = true;
        }
    }
    Reset();
    try {
        m_indexFile.Close();
    } catch (...) {
        bFailed = true;
    }
    try {
        m_leafFile.Close();
    } catch (...) {
        bFailed = true;
    }
    if (bFailed)
        ThrowFault();
}

void CBPTree::CheckOpenForWriting() const
{
    if (m_pContext == nullptr || !m_nWritable)
        ThrowFault();
}

void CBPTree::PinNode(CPin* pPin, bool bLeaf, std::uint32_t nId, int nWritable)
{
    if (bLeaf)
        PinLeaf(pPin, nId, nWritable);
    else
        PinIndex(pPin, nId, nWritable);
}

void CBPTree::PinLeaf(CPin* pPin, std::uint32_t nId, int nWritable)
{
    pPin->Attach(&m_leafFile, m_leafFile.Get(nId, nWritable));
    if (LeafView(pPin->Buffer()).GetCount() > m_nLeafOrder + 1ull)
        ThrowFault();
}

void CBPTree::PeekLeaf(CPin* pPin, std::uint32_t nId)
{
    void* pBuffer = const_cast<void*>(m_leafFile.Peek(nId));
    if (pBuffer != nullptr)
        pPin->Attach(nullptr, pBuffer);
    else
        pPin->Attach(&m_leafFile, m_leafFile.Get(nId, 0));
    if (LeafView(pPin->Buffer()).GetCount() > m_nLeafOrder + 1ull)
        ThrowFault();
}

void CBPTree::PinIndex(CPin* pPin, std::uint32_t nId, int nWritable)
{
    pPin->Attach(&m_indexFile, m_indexFile.Get(nId, nWritable));
    if (IndexView(pPin->Buffer()).GetCount() > 2ull * m_nIndexOrder + 1)
        ThrowFault();
}

void CBPTree::CheckLink(std::uint32_t nLeaf, std::uint32_t nNext)
{
    // A step along the chain must be matched by the link back: every leaf is the
    // next of exactly the leaf it names as previous, and the head names none, so a
    // walk from the head that checks each step can never come round to a leaf it
    // has already passed.
    CPin pin;
    PinLeaf(&pin, nNext, 0);
    bool bLinked = LeafView(pin.Buffer()).GetPrevious() == nLeaf;
    pin.Release();
    if (!bLinked)
        ThrowFault();
}

void CBPTree::CheckLinkAfter(std::uint32_t nLeaf, std::uint32_t nNext)
{
    if (nNext != 0)
        CheckLink(nLeaf, nNext);
    else if (LastLeaf() != nLeaf)
        ThrowFault();  // a chain cut short: the leaves after it would be lost
}

std::uint32_t CBPTree::LastLeaf()
{
    std::uint32_t nNode = m_nRoot;
    for (std::uint32_t nLevel = 0; nLevel < m_nHeight; ++nLevel) {
        CPin pin;
        PinIndex(&pin, nNode, 0);
        CIndexNode node = IndexView(pin.Buffer());
        nNode = node.GetChild(node.GetCount());
        pin.Release();
    }
    return nNode;
}

void CBPTree::CheckNeighbourOrder(const SLocation& location, const void* pKey,
                                  std::uint32_t cbKey)
{
    // The descent kept the key between the separators that led to its leaf, but
    // a separator can be wrong itself; only the leaves beside it can tell.
    // Duplicates may equal their neighbours across a leaf boundary.
    const int nLeast = m_nDuplicates ? 0 : 1;
    CPin pin;
    if (location.nSlot == 0 && location.nPrevious != 0) {
        PinLeaf(&pin, location.nPrevious, 0);
        CLeafNode previous = LeafView(pin.Buffer());
        const std::uint32_t n = previous.GetCount();
        if (n != 0 && previous.CompareWith(pKey, cbKey, n - 1) < nLeast)
            ThrowFault();
        pin.Release();
    }
    if (location.nSlot == location.nCount && location.nNext != 0) {
        PinLeaf(&pin, location.nNext, 0);
        CLeafNode next = LeafView(pin.Buffer());
        if (next.GetCount() != 0 && next.CompareWith(pKey, cbKey, 0) > -nLeast)
            ThrowFault();
        pin.Release();
    }
}

void CBPTree::CountLeafStep(std::uint32_t* pnLeaves) const
{
    // A chain longer than the leaf file has records must loop.
    if (++*pnLeaves > m_leafFile.GetRecordCount())
        ThrowFault();
}

std::uint32_t CBPTree::ChildPosition(const CIndexNode& parent, std::uint32_t nChild,
                                     const void* pKey, std::uint32_t cbKey, bool bAfterEqual) const
{
    std::uint32_t nPosition;
    if (m_nDuplicates) {
        // Equal separators may repeat, so a search for the child's key may land
        // beside it; the child's own id is the reliable guide.
        std::int64_t nFound = parent.FindChild(nChild);
        if (nFound < 0)
            ThrowFault();
        return static_cast<std::uint32_t>(nFound);
    }
    if (parent.Search(pKey, cbKey, &nPosition) && bAfterEqual)
        ++nPosition;
    if (nPosition > parent.GetCount() || parent.GetChild(nPosition) != nChild)
        ThrowFault();
    return nPosition;
}

void CBPTree::CheckReached(const CNodeBase& node, std::uint32_t nParent,
                           const CIndexNode* pParent, std::uint32_t nPosition) const
{
    // A node reached by a descent must name the node it came from as its parent
    // (the root names none), and its keys must lie between the separators that led
    // to it: a child link that points back up or across would otherwise send a
    // write to a place that breaks the key order.
    if (node.GetParent() != nParent)
        ThrowFault();
    const std::uint32_t n = node.GetCount();
    if (pParent == nullptr || n == 0)
        return;
    if (nPosition > 0 &&
        node.CompareWith(pParent->GetKeyBytes(nPosition - 1), pParent->GetKeyLength(nPosition - 1),
                         0) > 0)
        ThrowFault();
    if (nPosition < pParent->GetCount()) {
        // With duplicates, keys equal to a separator may lie on its left.
        int c = node.CompareWith(pParent->GetKeyBytes(nPosition), pParent->GetKeyLength(nPosition),
                                 n - 1);
        if (c < 0 || (c == 0 && !m_nDuplicates))
            ThrowFault();
    }
}

void CBPTree::CheckFill(const CNodeBase& node, bool bLeaf, bool bRoot) const
{
    const std::uint64_t n = node.GetCount();
    const std::uint64_t nMost = bLeaf ? m_nLeafOrder : 2ull * m_nIndexOrder;
    const std::uint64_t nLeast = bRoot ? 1 : bLeaf ? (m_nLeafOrder + 1ull) / 2 : m_nIndexOrder;
    if (n < nLeast || n > nMost)
        ThrowFault();
}

void CBPTree::CheckLeaf(const CLeafNode& leaf, bool bRoot) const
{
    CheckFill(leaf, true, bRoot);
    const std::uint32_t n = leaf.GetCount();
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t cbKey = leaf.GetKeyLength(i);  // each throws past its size
        leaf.GetValueLength(i);
        if (i + 1 < n) {
            const int nOrder = leaf.CompareWith(leaf.GetKeyBytes(i), cbKey, i + 1);
            if (nOrder > 0 || (nOrder == 0 && m_nDuplicates == 0))
                ThrowFault();
        }
    }
}

CBPTree::SLocation CBPTree::Descend(const void* pKey, std::uint32_t cbKey, bool bWriting)
{
    // The node a level up stays pinned until its child is checked against it.
    CPin aPins[2];
    const CIndexNode* pParent = nullptr;
    CIndexNode parent = IndexView(nullptr);
    std::uint32_t nNode = m_nRoot;
    std::uint32_t nParent = 0;
    std::uint32_t nPosition = 0;
    for (std::uint32_t nLevel = 0; nLevel < m_nHeight; ++nLevel) {
        CPin& pin = aPins[nLevel & 1];
        PinIndex(&pin, nNode, 0);
        CIndexNode node = IndexView(pin.Buffer());
        CheckReached(node, nParent, pParent, nPosition);
        if (bWriting)
            CheckFill(node, false, nLevel == 0);
        aPins[(nLevel + 1) & 1].Release();
        if (node.Search(pKey, cbKey, &nPosition))
            ++nPosition;
        nParent = nNode;
        nNode = node.GetChild(nPosition);
        parent = node;
        pParent = &parent;
    }
    SLocation location = {nNode, 0, false, 0, 0, 0};
    if (nNode == 0)
        return location;
    CPin pin;
    PinLeaf(&pin, nNode, 0);
    CLeafNode leaf = LeafView(pin.Buffer());
    CheckReached(leaf, nParent, pParent, nPosition);
    if (bWriting) {
        CheckLeaf(leaf, m_nHeight == 0);
        // A tree of one leaf holds exactly the header's count in it.
        if (m_nHeight == 0 && leaf.GetCount() != m_nRecordCount)
            ThrowFault();
    }
    location.bFound = leaf.Search(pKey, cbKey, &location.nSlot);
    location.nCount = leaf.GetCount();
    location.nNext = leaf.GetNext();
    location.nPrevious = leaf.GetPrevious();
    pin.Release();
    aPins[0].Release();
    aPins[1].Release();
    return location;
}

int CBPTree::Insert(const void* pKey, std::uint32_t cbKey, const void* pValue,
                    std::uint32_t cbValue, Cursor* pCursor)
{
    CheckOpenForWriting();
    if (cbKey > m_cbKeySize || (cbKey != 0 && pKey == nullptr) || cbValue > m_cbValueSize ||
        (cbValue != 0 && pValue == nullptr))
        ThrowFault();
    if (m_nRecordCount == 0) {
        std::uint32_t nLeaf = m_leafFile.Allocate();
        m_nFirstLeaf = nLeaf;
        m_nRoot = nLeaf;
        CPin pin;
        PinLeaf(&pin, nLeaf, 1);
        CLeafNode leaf = LeafView(pin.Buffer());
        leaf.InsertGap(0);
        leaf.SetKey(0, pKey, cbKey);
        leaf.SetValue(0, pValue, cbValue);
        pin.Release();
        m_nRecordCount = 1;
        if (pCursor != nullptr)
            *pCursor = Cursor{nLeaf, 0};
        return kOk;
    }
    SLocation location = Descend(pKey, cbKey, true);
    if (location.bFound && !m_nDuplicates) {
        if (pCursor != nullptr)
            *pCursor = Cursor{location.nLeaf, location.nSlot};
        return kExists;
    }
    CheckNeighbourOrder(location, pKey, cbKey);
    // A full leaf splits, and the chain after it is relinked: checked first.
    if (location.nCount >= m_nLeafOrder)
        CheckLinkAfter(location.nLeaf, location.nNext);
    std::uint32_t nCount;
    {
        CPin pin;
        PinLeaf(&pin, location.nLeaf, 1);
        CLeafNode leaf = LeafView(pin.Buffer());
        leaf.InsertGap(location.nSlot);
        // The value's length is written even where there is none: a slot past the
        // count may hold anything.
        leaf.SetKey(location.nSlot, pKey, cbKey);
        leaf.SetValue(location.nSlot, pValue, cbValue);
        nCount = leaf.GetCount();
        pin.Release();
    }
    Cursor cursor = {location.nLeaf, location.nSlot};
    if (nCount > m_nLeafOrder) {
        std::uint32_t nOld = location.nLeaf;
        std::uint32_t nRight = m_leafFile.Allocate();
        CPin pinOld, pinRight;
        PinLeaf(&pinOld, nOld, 1);
        PinLeaf(&pinRight, nRight, 1);
        CLeafNode oldLeaf = LeafView(pinOld.Buffer());
        CLeafNode rightLeaf = LeafView(pinRight.Buffer());
        oldLeaf.SplitInto(&rightLeaf);
        rightLeaf.SetPrevious(nOld);
        rightLeaf.SetNext(oldLeaf.GetNext());
        if (oldLeaf.GetNext() != 0) {
            CPin pinNext;
            PinLeaf(&pinNext, oldLeaf.GetNext(), 1);
            LeafView(pinNext.Buffer()).SetPrevious(nRight);
            pinNext.Release();
        }
        oldLeaf.SetNext(nRight);
        rightLeaf.SetParent(oldLeaf.GetParent());
        if (oldLeaf.GetParent() != 0) {
            // The index insertion overwrites its key buffer with the middle key of
            // every index split on the way up, so it gets a private copy.
            std::vector<unsigned char> vKey(m_cbKeySize);
            std::uint32_t cbSeparator = rightLeaf.GetKeyLength(0);
            std::memcpy(vKey.data(), rightLeaf.GetKeyBytes(0), cbSeparator);
            InsertIntoIndex(oldLeaf.GetParent(), nOld, vKey.data(), cbSeparator, nRight, true, 1);
        } else {
            MakeRoot(rightLeaf.GetKeyBytes(0), rightLeaf.GetKeyLength(0), nOld, nRight);
            oldLeaf.SetParent(m_nRoot);
            rightLeaf.SetParent(m_nRoot);
        }
        pinOld.Release();
        pinRight.Release();
        std::uint32_t nKept = (m_nLeafOrder + 1) / 2;
        if (location.nSlot >= nKept)
            cursor = Cursor{nRight, location.nSlot - nKept};
    }
    ++m_nRecordCount;
    if (pCursor != nullptr)
        *pCursor = cursor;
    return kOk;
}

void CBPTree::SetParentOf(std::uint32_t nChild, bool bLeaf, std::uint32_t nParent)
{
    CPin pin;
    PinNode(&pin, bLeaf, nChild, 1);
    if (bLeaf)
        LeafView(pin.Buffer()).SetParent(nParent);
    else
        IndexView(pin.Buffer()).SetParent(nParent);
    pin.Release();
}

void CBPTree::InsertIntoIndex(std::uint32_t nNode, std::uint32_t nLeft, unsigned char* pKeyBuffer,
                              std::uint32_t cbKey, std::uint32_t nRight, bool bChildrenAreLeaves,
                              std::uint32_t nLevel)
{
    if (nLevel > m_nHeight)
        ThrowFault();
    std::uint32_t nCount;
    {
        CPin pin;
        PinIndex(&pin, nNode, 1);
        CIndexNode node = IndexView(pin.Buffer());
        std::uint32_t i = ChildPosition(node, nLeft, pKeyBuffer, cbKey, false);
        node.InsertGap(i);
        node.SetKey(i, pKeyBuffer, cbKey);
        node.SetChild(i + 1, nRight);
        nCount = node.GetCount();
        pin.Release();
    }
    if (nCount <= 2 * m_nIndexOrder)
        return;
    std::uint32_t nNew = m_indexFile.Allocate();
    CPin pinNode, pinNew;
    PinIndex(&pinNode, nNode, 1);
    PinIndex(&pinNew, nNew, 1);
    CIndexNode node = IndexView(pinNode.Buffer());
    CIndexNode newNode = IndexView(pinNew.Buffer());
    if (node.GetCount() != 2 * m_nIndexOrder + 1)
        ThrowFault();
    node.SplitInto(&newNode);
    for (std::uint32_t j = 0; j <= m_nIndexOrder; ++j)
        SetParentOf(newNode.GetChild(j), bChildrenAreLeaves, nNew);
    newNode.SetParent(node.GetParent());
    std::uint32_t cbMiddle = node.GetKeyLength(m_nIndexOrder);
    std::memcpy(pKeyBuffer, node.GetKeyBytes(m_nIndexOrder), cbMiddle);
    if (node.GetParent() != 0) {
        InsertIntoIndex(node.GetParent(), nNode, pKeyBuffer, cbMiddle, nNew, false, nLevel + 1);
    } else {
        MakeRoot(pKeyBuffer, cbMiddle, nNode, nNew);
        node.SetParent(m_nRoot);
        newNode.SetParent(m_nRoot);
    }
    pinNode.Release();
    pinNew.Release();
}

void CBPTree::MakeRoot(const void* pKey, std::uint32_t cbKey, std::uint32_t nLeft,
                       std::uint32_t nRight)
{
    if (m_nHeight >= kMaxHeight)
        ThrowFault();
    std::uint32_t nRoot = m_indexFile.Allocate();
    CPin pin;
    PinIndex(&pin, nRoot, 1);
    CIndexNode root = IndexView(pin.Buffer());
    root.InsertGap(0);
    root.SetKey(0, pKey, cbKey);
    root.SetChild(0, nLeft);
    root.SetChild(1, nRight);
    pin.Release();
    ++m_nHeight;
    m_nRoot = nRoot;
}

int CBPTree::Find(const void* pKey, std::uint32_t cbKey, Cursor* pCursor, int nMode)
{
    if (m_pContext == nullptr || (cbKey != 0 && pKey == nullptr))
        return 0;
    SLocation location = Descend(pKey, cbKey, false);
    if (!location.bFound && m_nDuplicates && location.nLeaf != 0 && location.nSlot == 0) {
        // Equal keys may lie left of a separator equal to them, and once the ones on
        // its right are erased the descent ends in the leaf after them; the last of
        // them is then the previous leaf's last entry.
        CPin pin;
        PinLeaf(&pin, location.nLeaf, 0);
        std::uint32_t nPrevious = LeafView(pin.Buffer()).GetPrevious();
        pin.Release();
        if (nPrevious != 0) {
            PinLeaf(&pin, nPrevious, 0);
            CLeafNode previous = LeafView(pin.Buffer());
            std::uint32_t n = previous.GetCount();
            if (n != 0 && previous.CompareWith(pKey, cbKey, n - 1) == 0)
                location = SLocation{nPrevious, n - 1, true, n, previous.GetNext(),
                                     previous.GetPrevious()};
            pin.Release();
        }
    }
    if (!location.bFound || pCursor == nullptr)
        return location.bFound ? 1 : 0;
    Cursor cursor = {location.nLeaf, location.nSlot};
    if (m_nDuplicates && nMode != kFindAny) {
        std::vector<unsigned char> vKey(m_cbKeySize);
        bool bLast = nMode == kFindLast;
        // Each step moves to another entry; more steps than the leaf file has slots
        // can only come from a chain that loops.
        std::uint64_t nStepsLeft = (static_cast<std::uint64_t>(m_leafFile.GetRecordCount()) + 1) *
                                   (m_nLeafOrder + 1ull);
        for (;;) {
            if (nStepsLeft-- == 0)
                ThrowFault();
            int nResult = bLast ? Next(&cursor, 1, 1) : Prev(&cursor, 1, 1);
            if (nResult != kOk)
                break;
            bool bEqual = KeyLength(&cursor) == cbKey;
            if (bEqual) {
                GetKey(&cursor, vKey.data(), m_cbKeySize);
                bEqual = m_pfnCompare(pKey, cbKey, vKey.data(), cbKey) == 0;
            }
            if (!bEqual) {
                if (bLast)
                    Prev(&cursor, 1, 1);
                else
                    Next(&cursor, 1, 1);
                break;
            }
        }
    }
    *pCursor = cursor;
    return 1;
}

void CBPTree::Seek(std::uint32_t nOrdinal, Cursor* pCursor)
{
    if (m_pContext == nullptr || m_nFirstLeaf == 0 || pCursor == nullptr)
        ThrowFault();
    std::uint32_t nLeaf = m_nFirstLeaf;
    std::uint32_t nSlot = nOrdinal;
    std::uint32_t nLeaves = 0;
    // The head of the chain has no previous leaf, and every later leaf names the
    // one before it, so the walk cannot come round to a leaf it has passed.
    std::uint32_t nCameFrom = 0;
    for (;;) {
        CPin pin;
        PinLeaf(&pin, nLeaf, 0);
        CLeafNode leaf = LeafView(pin.Buffer());
        if (leaf.GetPrevious() != nCameFrom)
            ThrowFault();
        std::uint32_t n = leaf.GetCount();
        if (nSlot < n)
            break;
        nSlot -= n;
        nCameFrom = nLeaf;
        nLeaf = leaf.GetNext();
        pin.Release();
        if (nLeaf == 0)
            ThrowFault();
        CountLeafStep(&nLeaves);
    }
    *pCursor = Cursor{nLeaf, nSlot};
}

void CBPTree::First(Cursor* pCursor)
{
    if (m_nRecordCount == 0)
        ThrowFault();
    Seek(0, pCursor);
}

int CBPTree::Next(Cursor* pCursor, std::uint32_t nSteps, int nPartial)
{
    if (m_pContext == nullptr || pCursor == nullptr)
        ThrowFault();
    std::uint32_t nLeaf = pCursor->nLeaf;
    std::uint32_t nSlot = pCursor->nSlot;
    std::uint32_t nRemaining = nSteps;
    bool bMoved = false;
    std::uint32_t nLeaves = 0;
    std::uint32_t nCameFrom = 0;
    while (nRemaining > 0) {
        CPin pin;
        PeekLeaf(&pin, nLeaf);
        CLeafNode leaf = LeafView(pin.Buffer());
        // A leaf stepped into names the leaf it was reached from (see CheckLink).
        if (bMoved && leaf.GetPrevious() != nCameFrom)
            ThrowFault();
        std::uint32_t n = leaf.GetCount();
        if (nSlot > n)
            ThrowFault();
        // Wide, so that a huge step count cannot wrap and move the cursor backwards.
        if (static_cast<std::uint64_t>(nSlot) + nRemaining < n) {
            nSlot += nRemaining;
            break;
        }
        std::uint32_t nNext = leaf.GetNext();
        pin.Release();
        if (nNext == 0) {
            if (!bMoved || !nPartial)
                return kEndOfWalk;
            // Out of leaves on a partial walk: stop on the last entry, where the
            // database's enumerator takes the walk to have ended.
            nSlot = n != 0 ? n - 1 : 0;
            break;
        }
        nRemaining -= n - nSlot;
        // The walk ends on the first entry of the next leaf without reading it;
        // the link back is checked here then, else when the loop reads the leaf.
        if (nRemaining == 0)
            CheckLink(nLeaf, nNext);
        nCameFrom = nLeaf;
        nLeaf = nNext;
        nSlot = 0;
        bMoved = true;
        CountLeafStep(&nLeaves);
    }
    *pCursor = Cursor{nLeaf, nSlot};
    return kOk;
}

int CBPTree::Prev(Cursor* pCursor, std::uint32_t nSteps, int nPartial)
{
    if (m_pContext == nullptr || pCursor == nullptr)
        ThrowFault();
    std::uint32_t nLeaf = pCursor->nLeaf;
    std::uint32_t nSlot = pCursor->nSlot;
    std::uint32_t nRemaining = nSteps;
    bool bMoved = false;
    std::uint32_t nLeaves = 0;
    while (nSlot < nRemaining) {
        nRemaining -= nSlot + 1;
        if (nLeaf == 0)
            ThrowFault();
        CPin pin;
        PinLeaf(&pin, nLeaf, 0);
        std::uint32_t nPrevious = LeafView(pin.Buffer()).GetPrevious();
        pin.Release();
        if (nPrevious == 0) {
            // Only the head of the chain has no previous leaf.
            if (nLeaf != m_nFirstLeaf)
                ThrowFault();
            if (!bMoved || !nPartial)
                return kEndOfWalk;
            // Out of leaves on a partial walk: stop on the first entry.
            *pCursor = Cursor{nLeaf, 0};
            return kOk;
        }
        CountLeafStep(&nLeaves);
        PinLeaf(&pin, nPrevious, 0);
        CLeafNode previous = LeafView(pin.Buffer());
        std::uint32_t n = previous.GetCount();
        bool bLinked = previous.GetNext() == nLeaf;
        pin.Release();
        if (n == 0 || !bLinked)
            ThrowFault();
        nLeaf = nPrevious;
        nSlot = n - 1;
        bMoved = true;
    }
    *pCursor = Cursor{nLeaf, nSlot - nRemaining};
    return kOk;
}

bool CBPTree::IsLastEntry(const Cursor* pCursor)
{
    CheckCursor(pCursor);
    CPin pin;
    PeekLeaf(&pin, pCursor->nLeaf);
    CLeafNode leaf = LeafView(pin.Buffer());
    bool bLast = leaf.GetNext() == 0 && pCursor->nSlot + 1ull == leaf.GetCount();
    pin.Release();
    return bLast;
}

void CBPTree::CheckCursor(const Cursor* pCursor) const
{
    if (m_pContext == nullptr || pCursor == nullptr || pCursor->nLeaf == 0)
        ThrowFault();
}

CLeafNode CBPTree::PinCursorLeaf(const Cursor* pCursor, CPin* pPin, int nWritable)
{
    CheckCursor(pCursor);
    if (nWritable)
        PinLeaf(pPin, pCursor->nLeaf, 1);
    else
        PeekLeaf(pPin, pCursor->nLeaf);
    CLeafNode leaf = LeafView(pPin->Buffer());
    if (pCursor->nSlot >= leaf.GetCount())
        ThrowFault();
    return leaf;
}

std::uint32_t CBPTree::KeyLength(const Cursor* pCursor)
{
    CPin pin;
    CLeafNode leaf = PinCursorLeaf(pCursor, &pin, 0);
    std::uint32_t cb = leaf.GetKeyLength(pCursor->nSlot);
    pin.Release();
    return cb;
}

std::uint32_t CBPTree::ValueLength(const Cursor* pCursor)
{
    CPin pin;
    CLeafNode leaf = PinCursorLeaf(pCursor, &pin, 0);
    std::uint32_t cb = leaf.GetValueLength(pCursor->nSlot);
    pin.Release();
    return cb;
}

void CBPTree::GetKey(const Cursor* pCursor, void* pBuffer, std::uint32_t cbBuffer)
{
    CPin pin;
    CLeafNode leaf = PinCursorLeaf(pCursor, &pin, 0);
    int nResult = leaf.GetKey(pCursor->nSlot, pBuffer, cbBuffer);
    pin.Release();
    if (nResult != 0)
        ThrowFault();
}

void CBPTree::GetValue(const Cursor* pCursor, void* pBuffer, std::uint32_t cbBuffer)
{
    CPin pin;
    CLeafNode leaf = PinCursorLeaf(pCursor, &pin, 0);
    int nResult = leaf.GetValue(pCursor->nSlot, pBuffer, cbBuffer);
    pin.Release();
    if (nResult != 0)
        ThrowFault();
}

void CBPTree::SetValue(const Cursor* pCursor, const void* pValue, std::uint32_t cbValue)
{
    CheckOpenForWriting();
    CheckCursor(pCursor);
    if (cbValue == 0)
        return;
    if (cbValue > m_cbValueSize || pValue == nullptr)
        ThrowFault();
    CPin pin;
    CLeafNode leaf = PinCursorLeaf(pCursor, &pin, 1);
    leaf.SetValue(pCursor->nSlot, pValue, cbValue);
    pin.Release();
}

}  // namespace velk
