// CBPTree::Erase and its rebalancing: an underflowing node borrows from a sibling
// or merges with it, from the leaf upwards, and the root collapses when it runs
// empty. Separators are rewritten only when entries move between siblings; after a
// plain removal they stay, which the descent tolerates (a separator need not occur
// in any leaf).
#include <cstring>
#include <vector>

#include "engine/base/fault.h"
#include "engine/bptree/bptree.h"

namespace velk {

int CBPTree::Erase(const Cursor* pCursor)
{
    if (m_pContext == nullptr || !m_nWritable || m_nRecordCount == 0 || pCursor == nullptr ||
        pCursor->nLeaf == 0)
        return 1;
    std::uint32_t nLeaf = pCursor->nLeaf;
    if (m_nHeight == 0) {
        if (nLeaf != m_nFirstLeaf)
            return 1;
        CPin pin;
        PinLeaf(&pin, nLeaf, 1);
        CLeafNode leaf = LeafView(pin.Buffer());
        if (pCursor->nSlot >= leaf.GetCount())
            return 1;
        CheckLeaf(leaf, true);
        if (leaf.GetCount() != m_nRecordCount)
            ThrowFault();
        leaf.RemoveAt(pCursor->nSlot);
        pin.Release();
        if (--m_nRecordCount == 0) {
            m_leafFile.Free(nLeaf);
            m_nFirstLeaf = 0;
            m_nRoot = 0;
        }
        return 0;
    }
    // A leaf about to underflow looks at its neighbours first, so that damage
    // there is refused before the removal changes anything.
    bool bUnderflow;
    {
        CPin pin;
        PinLeaf(&pin, nLeaf, 0);
        CLeafNode leaf = LeafView(pin.Buffer());
        if (pCursor->nSlot >= leaf.GetCount())
            ThrowFault();
        CheckLeaf(leaf, false);
        bUnderflow = leaf.GetCount() - 1 < (m_nLeafOrder + 1) / 2;
        pin.Release();
    }
    SSibling sibling = {};
    if (bUnderflow)
        sibling = LeafSiblingCheck(nLeaf);
    if (bUnderflow && !sibling.bCanBorrow) {
        // The merge frees a leaf: a header count that the leaves left could not
        // hold is damage, and the tree would no longer open after the write.
        const std::uint64_t nLeaves =
            m_leafFile.GetRecordCount() - static_cast<std::uint64_t>(m_leafFile.GetFreeIds().size());
        if (nLeaves < 2 || m_nRecordCount - 1 > (nLeaves - 1) * m_nLeafOrder)
            ThrowFault();
    }
    {
        CPin pin;
        PinLeaf(&pin, nLeaf, 1);
        LeafView(pin.Buffer()).RemoveAt(pCursor->nSlot);
        pin.Release();
    }
    if (bUnderflow) {
        if (sibling.bCanBorrow)
            LeafBorrow(nLeaf, sibling);
        else
            LeafMerge(nLeaf, sibling);
    }
    --m_nRecordCount;
    return 0;
}

CBPTree::SSibling CBPTree::FullerSibling(const CIndexNode& parent, std::uint32_t nPosition,
                                         bool bLeaves, std::uint32_t* pnCount)
{
    // The neighbours are as the last operation left them, so they must be full
    // enough: one borrowed from or merged with beyond that would spread the damage.
    auto count = [&](std::uint32_t nChild) {
        CPin pin;
        PinNode(&pin, bLeaves, nChild, 0);
        if (bLeaves) {
            CLeafNode leaf = LeafView(pin.Buffer());
            CheckLeaf(leaf, false);
            return leaf.GetCount();
        }
        CIndexNode node = IndexView(pin.Buffer());
        CheckFill(node, false, false);
        return node.GetCount();
    };
    SSibling sibling = {false, nPosition, true};
    std::uint32_t nBest = 0;
    bool bAny = false;
    if (nPosition > 0) {
        nBest = count(parent.GetChild(nPosition - 1));
        bAny = true;
    }
    if (nPosition < parent.GetCount()) {
        const std::uint32_t n = count(parent.GetChild(nPosition + 1));
        // The left sibling wins a tie.
        if (!bAny || n > nBest) {
            nBest = n;
            sibling.bLeft = false;
        }
        bAny = true;
    }
    if (!bAny)
        ThrowFault();
    *pnCount = nBest;
    return sibling;
}

CBPTree::SSibling CBPTree::LeafSiblingCheck(std::uint32_t nLeaf)
{
    CPin pinLeaf, pinParent;
    PinLeaf(&pinLeaf, nLeaf, 0);
    CLeafNode leaf = LeafView(pinLeaf.Buffer());
    if (leaf.GetParent() == 0)
        ThrowFault();
    PinIndex(&pinParent, leaf.GetParent(), 0);
    CIndexNode parent = IndexView(pinParent.Buffer());
    CheckFill(parent, false, leaf.GetParent() == m_nRoot);
    std::uint32_t nBest = 0;
    SSibling sibling = FullerSibling(
        parent, ChildPosition(parent, nLeaf, leaf.GetKeyBytes(0), leaf.GetKeyLength(0), true), true,
        &nBest);
    sibling.bCanBorrow = nBest > (m_nLeafOrder + 1) / 2;
    if (!sibling.bCanBorrow) {
        // A merge relinks the chain around the right leaf of the pair, so the chain
        // must hold as the parent says: the pair linked to each other, the leaf
        // after them linked back, or none after the last leaf. A damaged link is
        // refused here, before the removal changes anything.
        const std::uint32_t p = sibling.nPosition;
        const std::uint32_t nSibling = parent.GetChild(sibling.bLeft ? p - 1 : p + 1);
        if (nSibling == nLeaf)
            ThrowFault();
        CPin pinSibling;
        PinLeaf(&pinSibling, nSibling, 0);
        CLeafNode other = LeafView(pinSibling.Buffer());
        const CLeafNode& target = sibling.bLeft ? other : leaf;
        const CLeafNode& source = sibling.bLeft ? leaf : other;
        const std::uint32_t nTarget = sibling.bLeft ? nSibling : nLeaf;
        const std::uint32_t nSource = sibling.bLeft ? nLeaf : nSibling;
        const std::uint32_t nAfter = source.GetNext();
        if (target.GetNext() != nSource || source.GetPrevious() != nTarget ||
            nAfter == nTarget || nAfter == nSource)
            ThrowFault();
        pinSibling.Release();
        CheckLinkAfter(nSource, nAfter);
    }
    pinParent.Release();
    pinLeaf.Release();
    return sibling;
}

void CBPTree::LeafBorrow(std::uint32_t nLeaf, const SSibling& sibling)
{
    CPin pinLeaf, pinParent, pinSibling;
    PinLeaf(&pinLeaf, nLeaf, 1);
    CLeafNode leaf = LeafView(pinLeaf.Buffer());
    PinIndex(&pinParent, leaf.GetParent(), 1);
    CIndexNode parent = IndexView(pinParent.Buffer());
    std::uint32_t p = sibling.nPosition;
    if (sibling.bLeft) {
        std::uint32_t b = p - 1;
        std::uint32_t nSibling = parent.GetChild(b);
        if (nSibling == nLeaf)
            ThrowFault();
        PinLeaf(&pinSibling, nSibling, 1);
        CLeafNode left = LeafView(pinSibling.Buffer());
        std::uint32_t m = left.GetCount();
        if (m == 0)
            ThrowFault();
        leaf.InsertGap(0);
        leaf.CopyEntry(0, left, m - 1);
        left.RemoveAt(m - 1);
        parent.SetKey(b, leaf.GetKeyBytes(0), leaf.GetKeyLength(0));
    } else {
        std::uint32_t b = p;
        std::uint32_t nSibling = parent.GetChild(b + 1);
        if (nSibling == nLeaf)
            ThrowFault();
        PinLeaf(&pinSibling, nSibling, 1);
        CLeafNode right = LeafView(pinSibling.Buffer());
        // The leaf holds min leaf - 1 entries, so the gap appends.
        std::uint32_t n = leaf.GetCount();
        leaf.InsertGap(n);
        leaf.CopyEntry(n, right, 0);
        right.RemoveAt(0);
        if (right.GetCount() == 0)
            ThrowFault();
        parent.SetKey(b, right.GetKeyBytes(0), right.GetKeyLength(0));
    }
    pinSibling.Release();
    pinParent.Release();
    pinLeaf.Release();
}

void CBPTree::LeafMerge(std::uint32_t nLeaf, const SSibling& sibling)
{
    std::uint32_t nParent, nFree, nSeparator;
    {
        CPin pinLeaf, pinParent, pinSibling, pinNext;
        PinLeaf(&pinLeaf, nLeaf, 1);
        CLeafNode leaf = LeafView(pinLeaf.Buffer());
        nParent = leaf.GetParent();
        PinIndex(&pinParent, nParent, 0);
        CIndexNode parent = IndexView(pinParent.Buffer());
        std::uint32_t p = sibling.nPosition;
        std::uint32_t nSibling = parent.GetChild(sibling.bLeft ? p - 1 : p + 1);
        PinLeaf(&pinSibling, nSibling, 1);
        CLeafNode other = LeafView(pinSibling.Buffer());
        // Merge the right leaf of the pair into the left one, and unlink it.
        CLeafNode& target = sibling.bLeft ? other : leaf;
        CLeafNode& source = sibling.bLeft ? leaf : other;
        std::uint32_t nTarget = sibling.bLeft ? nSibling : nLeaf;
        // LeafSiblingCheck found the chain around the pair sound before the removal.
        std::uint32_t nAfter = source.GetNext();
        if (nAfter != 0)
            PinLeaf(&pinNext, nAfter, 1);
        target.AppendFrom(source);
        target.SetNext(nAfter);
        if (nAfter != 0)
            LeafView(pinNext.Buffer()).SetPrevious(nTarget);
        nFree = sibling.bLeft ? nLeaf : nSibling;
        nSeparator = sibling.bLeft ? p - 1 : p;
        pinNext.Release();
        pinSibling.Release();
        pinLeaf.Release();
        pinParent.Release();
    }
    m_leafFile.Free(nFree);
    IndexRemove(nParent, nSeparator, true, 1);
}

void CBPTree::IndexRemove(std::uint32_t nNode, std::uint32_t nSeparator, bool bChildrenAreLeaves,
                          std::uint32_t nLevel)
{
    // Each step climbs one level; more than the height can only come from parent
    // ids that loop.
    if (nLevel > m_nHeight)
        ThrowFault();
    CPin pin;
    PinIndex(&pin, nNode, 1);
    CIndexNode node = IndexView(pin.Buffer());
    CheckFill(node, false, nNode == m_nRoot);
    node.RemoveKey(nSeparator);
    if (node.GetParent() != 0) {
        std::uint32_t n = node.GetCount();
        pin.Release();
        if (n >= m_nIndexOrder)
            return;
        SSibling sibling = IndexSiblingCheck(nNode);
        if (sibling.bCanBorrow)
            IndexBorrow(nNode, sibling, bChildrenAreLeaves);
        else
            IndexMerge(nNode, sibling, bChildrenAreLeaves, nLevel);
        return;
    }
    if (nNode != m_nRoot)
        ThrowFault();
    if (node.GetCount() > 0) {
        pin.Release();
        return;
    }
    // The root ran empty: its only child takes its place.
    std::uint32_t nChild = node.GetChild(0);
    SetParentOf(nChild, bChildrenAreLeaves, 0);
    --m_nHeight;
    m_nRoot = nChild;
    pin.Release();
    m_indexFile.Free(nNode);
}

CBPTree::SSibling CBPTree::IndexSiblingCheck(std::uint32_t nNode)
{
    CPin pinNode, pinParent;
    PinIndex(&pinNode, nNode, 0);
    CIndexNode node = IndexView(pinNode.Buffer());
    PinIndex(&pinParent, node.GetParent(), 0);
    CIndexNode parent = IndexView(pinParent.Buffer());
    CheckFill(parent, false, node.GetParent() == m_nRoot);
    std::uint32_t nBest = 0;
    SSibling sibling = FullerSibling(
        parent, ChildPosition(parent, nNode, node.GetKeyBytes(0), node.GetKeyLength(0), true), false,
        &nBest);
    pinParent.Release();
    pinNode.Release();
    sibling.bCanBorrow = nBest > m_nIndexOrder;
    return sibling;
}

void CBPTree::IndexBorrow(std::uint32_t nNode, const SSibling& sibling, bool bChildrenAreLeaves)
{
    CPin pinNode, pinParent, pinSibling;
    PinIndex(&pinNode, nNode, 1);
    CIndexNode node = IndexView(pinNode.Buffer());
    PinIndex(&pinParent, node.GetParent(), 1);
    CIndexNode parent = IndexView(pinParent.Buffer());
    std::uint32_t p = sibling.nPosition;
    // A rotation through the parent: the separator comes down into the node, the
    // sibling's outermost key goes up, and its outermost child changes sides.
    if (sibling.bLeft) {
        std::uint32_t b = p - 1;
        std::uint32_t nSibling = parent.GetChild(b);
        if (nSibling == nNode)
            ThrowFault();
        PinIndex(&pinSibling, nSibling, 1);
        CIndexNode left = IndexView(pinSibling.Buffer());
        std::uint32_t m = left.GetCount();
        if (m == 0)
            ThrowFault();
        node.InsertGap(0);
        node.SetChild(1, node.GetChild(0));
        node.SetKey(0, parent.GetKeyBytes(b), parent.GetKeyLength(b));
        parent.SetKey(b, left.GetKeyBytes(m - 1), left.GetKeyLength(m - 1));
        std::uint32_t nMoved = left.GetChild(m);
        node.SetChild(0, nMoved);
        if (nMoved != 0)
            SetParentOf(nMoved, bChildrenAreLeaves, nNode);
        left.RemoveKey(m - 1);
    } else {
        std::uint32_t b = p;
        std::uint32_t nSibling = parent.GetChild(b + 1);
        if (nSibling == nNode)
            ThrowFault();
        PinIndex(&pinSibling, nSibling, 1);
        CIndexNode right = IndexView(pinSibling.Buffer());
        if (right.GetCount() == 0)
            ThrowFault();
        // The node holds d - 1 keys, so the gap appends.
        std::uint32_t n = node.GetCount();
        node.InsertGap(n);
        node.SetKey(n, parent.GetKeyBytes(b), parent.GetKeyLength(b));
        parent.SetKey(b, right.GetKeyBytes(0), right.GetKeyLength(0));
        std::uint32_t nMoved = right.GetChild(0);
        node.SetChild(n + 1, nMoved);
        if (nMoved != 0)
            SetParentOf(nMoved, bChildrenAreLeaves, nNode);
        right.SetChild(0, right.GetChild(1));
        right.RemoveKey(0);
    }
    pinSibling.Release();
    pinParent.Release();
    pinNode.Release();
}

void CBPTree::IndexMerge(std::uint32_t nNode, const SSibling& sibling, bool bChildrenAreLeaves,
                         std::uint32_t nLevel)
{
    std::uint32_t nParent, nFree, nSeparator;
    {
        CPin pinNode, pinParent, pinSibling;
        PinIndex(&pinNode, nNode, 1);
        CIndexNode node = IndexView(pinNode.Buffer());
        nParent = node.GetParent();
        PinIndex(&pinParent, nParent, 0);
        CIndexNode parent = IndexView(pinParent.Buffer());
        std::uint32_t p = sibling.nPosition;
        std::uint32_t nSibling = parent.GetChild(sibling.bLeft ? p - 1 : p + 1);
        if (nSibling == nNode)
            ThrowFault();
        PinIndex(&pinSibling, nSibling, 1);
        CIndexNode other = IndexView(pinSibling.Buffer());
        // Merge the right node of the pair into the left one, with the separator
        // between them coming down.
        CIndexNode& target = sibling.bLeft ? other : node;
        CIndexNode& source = sibling.bLeft ? node : other;
        std::uint32_t nTarget = sibling.bLeft ? nSibling : nNode;
        nSeparator = sibling.bLeft ? p - 1 : p;
        nFree = sibling.bLeft ? nNode : nSibling;
        std::uint32_t nFirstMoved = target.GetCount() + 1;
        target.MergeFrom(parent.GetKeyBytes(nSeparator), parent.GetKeyLength(nSeparator), source);
        for (std::uint32_t j = nFirstMoved; j <= target.GetCount(); ++j)
            SetParentOf(target.GetChild(j), bChildrenAreLeaves, nTarget);
        pinSibling.Release();
        pinNode.Release();
        pinParent.Release();
    }
    m_indexFile.Free(nFree);
    IndexRemove(nParent, nSeparator, false, nLevel + 1);
}

}  // namespace velk
