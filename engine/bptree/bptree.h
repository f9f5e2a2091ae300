// CBPTree: a persistent ordered index from byte-string keys to byte-string values,
// kept in a directory of three files: the header "bptinfo" and two record files
// (record_file.h), "index" for index nodes and "leaf" for leaves (node layouts in
// node.h). Each tree fixes at creation its index order d, leaf order L, key size K,
// value size V, whether equal keys may repeat, and its key order (key_order.h).
//
// Header "bptinfo", 60 bytes. Integers are unsigned 32-bit little-endian.
//
//   offset   size   field
//   0        8      signature 89 'B' 'P' 'T' 0D 0A 1A 0A
//   8        4      index order d, at least 1 (non-root index nodes hold d .. 2d keys)
//   12       4      leaf order L, at least 2 (non-root leaves hold (L + 1) div 2 .. L)
//   16       4      key size K, at least 1
//   20       4      value size V, 0 for a tree of keys only
//   24       4      duplicates, 0 or 1
//   28       16     key-order GUID
//   44       4      record count: the number of entries
//   48       4      height H: index levels above the leaves
//   52       4      root node id (a leaf when H is 0); 0 when the tree is empty
//   56       4      first leaf id, the head of the leaf chain; 0 when empty
//
// Bytes 8 to 43 never change after creation. Bytes 44 to 59 are kept in memory
// while the tree is open and written back when a writable tree is closed; nodes
// reach their files as the operations release them.
//
// Every node access pins the record and releases it at once, on every path
// (exceptions included), so the record files' pins always balance. Nodes read from
// disk are checked as they are pinned (counts within the node's slots, lengths
// within their slots, ids allocated in their file) and walks are bounded by the
// height and by the leaf file's record count, so a damaged tree ends in the
// engine's exception rather than in a bad access or a hang.
//
// Result codes: 0 done, 2 invalid argument (Create), 4 no further entry, 5 the key
// exists. Every other failure throws the engine's exception. A tree is used by one
// thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/bptree/key_order.h"
#include "engine/bptree/node.h"
#include "engine/bptree/record_file.h"
#include "engine/txstore/file_system.h"

namespace velk {

class CBPTree {
public:
    enum { kOk = 0, kInvalidArgument = 2, kEndOfWalk = 4, kExists = 5 };
    // The length of "bptinfo".
    enum : std::uint32_t { kHeaderSize = 60 };
    // Duplicate modes of Find.
    enum { kFindAny = 0, kFindFirst = 1, kFindLast = 2 };

    // One entry: a leaf id and a 0-based slot in that leaf. Plain data; it stays
    // meaningful only while the tree does not change, except where an operation
    // returns an updated cursor.
    struct Cursor {
        std::uint32_t nLeaf;
        std::uint32_t nSlot;
    };

    // A closed tree.
    CBPTree();
    // Closes the tree if it is open; an error of that close is dropped.
    ~CBPTree();
    CBPTree(const CBPTree&) = delete;
    CBPTree& operator=(const CBPTree&) = delete;

    // Creates a tree directory with an empty tree. Returns kInvalidArgument for a
    // null context, directory or GUID, d = 0, L < 2 or K = 0; the context's
    // CreateDirectory result when nonzero (5: it exists); else kOk. Throws for every
    // later failure; what was created before it stays.
    static int Create(CFileSystem::IContext* pContext, const char* szDirectory,
                      std::uint32_t nIndexOrder, std::uint32_t nLeafOrder,
                      std::uint32_t cbKeySize, std::uint32_t cbValueSize, int nDuplicates,
                      const void* pGuid);

    // Opens the tree in szDirectory, for writing when nWritable is nonzero (the
    // context must be writable). The header's GUID must equal *pGuid. The keys are
    // compared with pfnCompare when given, else with the built-in order the GUID
    // names. Closes whatever was open first; throws on any failure (the tree is then
    // closed). The context must outlive the open tree.
    void Open(CFileSystem::IContext* pContext, const char* szDirectory, int nWritable,
              const void* pGuid, PFNCOMPAREKEYS pfnCompare);

    // Writes the header's record count, height, root and first leaf (when writable)
    // and closes both record files. Harmless on a closed tree. Throws if anything
    // failed, after closing everything anyway.
    void Close();

    bool IsOpen() const { return m_pContext != nullptr; }
    std::uint32_t GetCount() const { return m_nRecordCount; }

    // Inserts an entry. Returns kOk and the new entry's position in *pCursor (when
    // given), or kExists with the position of the equal key when the tree allows no
    // duplicates (the tree is then unchanged). Throws for a closed or read-only tree
    // and for a key or value longer than its slot or null with a nonzero length.
    int Insert(const void* pKey, std::uint32_t cbKey, const void* pValue, std::uint32_t cbValue,
               Cursor* pCursor);

    // Looks a key up. Returns nonzero when found and then writes the position into
    // *pCursor (when given): with duplicates, the first of the equal keys for
    // kFindFirst, the last for kFindLast, any for kFindAny. Returns 0, leaving the
    // cursor as it was, when not found, when the tree is closed, or for a null key
    // with a nonzero length.
    int Find(const void* pKey, std::uint32_t cbKey, Cursor* pCursor, int nMode);

    // Positions the cursor at the entry with the 0-based ordinal in key order.
    // Throws for a closed or empty tree and for an ordinal at or past the count.
    void Seek(std::uint32_t nOrdinal, Cursor* pCursor);
    // Positions the cursor at the first entry; throws for an empty tree.
    void First(Cursor* pCursor);

    // Moves the cursor nSteps entries forward (Next) or backward (Prev). Returns
    // kOk, or kEndOfWalk with the cursor unchanged when there are not that many
    // entries, unless nPartial is set and the walk reached another leaf: then the
    // cursor stops on the last entry (Next) or the first entry (Prev) of the tree
    // and kOk is returned. Zero steps return kOk. Throws for a closed tree.
    int Next(Cursor* pCursor, std::uint32_t nSteps, int nPartial);
    int Prev(Cursor* pCursor, std::uint32_t nSteps, int nPartial);

    // Whether the cursor is on the last entry of the last leaf: the place where a
    // walk of GetCount() entries must end. Throws for a closed tree or a null leaf.
    bool IsLastEntry(const Cursor* pCursor);

    // The key length, key and value of the entry under the cursor. GetKey and
    // GetValue copy nothing for an empty key or value; they throw when the buffer is
    // null or too small for the bytes. All throw for a closed tree or a cursor that
    // names no entry.
    std::uint32_t KeyLength(const Cursor* pCursor);
    void GetKey(const Cursor* pCursor, void* pBuffer, std::uint32_t cbBuffer);
    void GetValue(const Cursor* pCursor, void* pBuffer, std::uint32_t cbBuffer);
    // The value length of the entry under the cursor.
    std::uint32_t ValueLength(const Cursor* pCursor);

    // Replaces the value of the entry under the cursor. A length of 0 changes
    // nothing (a value cannot be shortened to nothing this way). Throws for a
    // closed or read-only tree, a cursor naming no entry, a value longer than V or a
    // null value.
    void SetValue(const Cursor* pCursor, const void* pValue, std::uint32_t cbValue);

    // Removes the entry under the cursor and rebalances. Returns 0 when removed; 1,
    // changing nothing, when the tree is closed, read-only or empty, the cursor's
    // leaf is 0, or (in a tree of one leaf) the cursor names no entry. Throws for a
    // cursor that names no entry in a taller tree and on I/O failures.
    int Erase(const Cursor* pCursor);

    // The tree's parameters and state, for the integrity check and tools.
    std::uint32_t GetIndexOrder() const { return m_nIndexOrder; }
    std::uint32_t GetLeafOrder() const { return m_nLeafOrder; }
    std::uint32_t GetKeySize() const { return m_cbKeySize; }
    std::uint32_t GetValueSize() const { return m_cbValueSize; }
    int HasDuplicates() const { return m_nDuplicates; }
    std::uint32_t GetHeight() const { return m_nHeight; }
    std::uint32_t GetRoot() const { return m_nRoot; }
    std::uint32_t GetFirstLeaf() const { return m_nFirstLeaf; }
    PFNCOMPAREKEYS GetCompare() const { return m_pfnCompare; }
    CRecordFile& GetIndexFile() { return m_indexFile; }
    CRecordFile& GetLeafFile() { return m_leafFile; }
    CIndexNode IndexView(void* pBuffer) const;
    CLeafNode LeafView(void* pBuffer) const;

private:
    // One pinned node, released at the end of its scope on every path. Release()
    // lets the normal path see a failed write-back; the destructor drops it, since
    // an exception is already on its way then.
    class CPin {
    public:
        CPin() {}
        ~CPin()
        {
            try {
                Release();
            } catch (...) {
            }
        }
        CPin(const CPin&) = delete;
        CPin& operator=(const CPin&) = delete;
        void Attach(CRecordFile* pFile, void* pBuffer)
        {
            m_pFile = pFile;
            m_pBuffer = pBuffer;
        }
        void* Buffer() const { return m_pBuffer; }
        void Release()
        {
            if (m_pBuffer != nullptr) {
                void* pBuffer = m_pBuffer;
                m_pBuffer = nullptr;
                if (m_pFile != nullptr)
                    m_pFile->Release(pBuffer);
            }
        }

    private:
        CRecordFile* m_pFile = nullptr;
        void* m_pBuffer = nullptr;
    };
    struct SLocation {
        std::uint32_t nLeaf;
        std::uint32_t nSlot;
        bool bFound;
        // The leaf's entry count and its neighbours as the descent found them.
        std::uint32_t nCount;
        std::uint32_t nNext;
        std::uint32_t nPrevious;
    };

    void CheckOpenForWriting() const;
    void CheckShape() const;
    void Reset();
    // The leaf where pKey is or belongs. A descent for a write (bWriting) also
    // requires every node on its way to hold as many entries as the tree keeps
    // between operations (CheckFill), so that no write builds on a damaged node.
    SLocation Descend(const void* pKey, std::uint32_t cbKey, bool bWriting);
    // Throws when a node holds fewer entries than the tree keeps in it between
    // operations, or more: a leaf (L + 1) div 2 .. L, an index node d .. 2d, a
    // root at least 1. Only for nodes that no operation in progress has changed.
    void CheckFill(const CNodeBase& node, bool bLeaf, bool bRoot) const;
    // CheckFill for a leaf a write is about to change or take entries from, and
    // its entries: lengths within the sizes, keys in the tree's order.
    void CheckLeaf(const CLeafNode& leaf, bool bRoot) const;
    void CheckReached(const CNodeBase& node, std::uint32_t nParent, const CIndexNode* pParent,
                      std::uint32_t nPosition) const;
    void PinLeaf(CPin* pPin, std::uint32_t nId, int nWritable);
    // A leaf for a reader that lets it go before any other call on the leaf file: the
    // record in memory without a pin (CPin::Release then has nothing to do), else
    // pinned. Checked as PinLeaf checks it.
    void PeekLeaf(CPin* pPin, std::uint32_t nId);
    void PinIndex(CPin* pPin, std::uint32_t nId, int nWritable);
    void PinNode(CPin* pPin, bool bLeaf, std::uint32_t nId, int nWritable);
    void CheckCursor(const Cursor* pCursor) const;
    // Pins the leaf under a cursor into *pPin (peeks it when not for writing) and
    // returns its view; throws when the cursor is unset or its slot is past the
    // leaf's entries.
    CLeafNode PinCursorLeaf(const Cursor* pCursor, CPin* pPin, int nWritable);
    void CountLeafStep(std::uint32_t* pnLeaves) const;
    void CheckLink(std::uint32_t nLeaf, std::uint32_t nNext);
    // Throws unless the chain after nLeaf holds as the index says: nNext links
    // back to it, or nNext is 0 and nLeaf is the last leaf. For a write about to
    // relink the chain there.
    void CheckLinkAfter(std::uint32_t nLeaf, std::uint32_t nNext);
    // The last leaf in key order, reached through the last child at every level.
    std::uint32_t LastLeaf();
    // Throws when a key about to go to an end of the leaf at location does not
    // sort after the previous leaf's last key (at slot 0) or before the next
    // leaf's first key (after the last slot): a damaged separator sent it there.
    void CheckNeighbourOrder(const SLocation& location, const void* pKey, std::uint32_t cbKey);
    std::uint32_t ChildPosition(const CIndexNode& parent, std::uint32_t nChild,
                                const void* pKey, std::uint32_t cbKey, bool bAfterEqual) const;

    void InsertIntoIndex(std::uint32_t nNode, std::uint32_t nLeft, unsigned char* pKeyBuffer,
                         std::uint32_t cbKey, std::uint32_t nRight, bool bChildrenAreLeaves,
                         std::uint32_t nLevel);
    void MakeRoot(const void* pKey, std::uint32_t cbKey, std::uint32_t nLeft, std::uint32_t nRight);

    struct SSibling {
        bool bCanBorrow;
        std::uint32_t nPosition;
        bool bLeft;
    };
    // The fuller neighbour of child nPosition of parent (the left one on a tie), with
    // its entry count in *pnCount; throws when the child has no neighbour.
    SSibling FullerSibling(const CIndexNode& parent, std::uint32_t nPosition, bool bLeaves,
                           std::uint32_t* pnCount);
    SSibling LeafSiblingCheck(std::uint32_t nLeaf);
    void LeafBorrow(std::uint32_t nLeaf, const SSibling& sibling);
    void LeafMerge(std::uint32_t nLeaf, const SSibling& sibling);
    void IndexRemove(std::uint32_t nNode, std::uint32_t nSeparator, bool bChildrenAreLeaves,
                     std::uint32_t nLevel);
    SSibling IndexSiblingCheck(std::uint32_t nNode);
    void IndexBorrow(std::uint32_t nNode, const SSibling& sibling, bool bChildrenAreLeaves);
    void IndexMerge(std::uint32_t nNode, const SSibling& sibling, bool bChildrenAreLeaves,
                    std::uint32_t nLevel);
    void SetParentOf(std::uint32_t nChild, bool bLeaf, std::uint32_t nParent);

    CFileSystem::IContext* m_pContext = nullptr;
    int m_nWritable = 0;
    std::string m_strDirectory;
    std::uint32_t m_nIndexOrder = 0;
    std::uint32_t m_nLeafOrder = 0;
    std::uint32_t m_cbKeySize = 0;
    std::uint32_t m_cbValueSize = 0;
    int m_nDuplicates = 0;
    unsigned char m_abGuid[16] = {};
    PFNCOMPAREKEYS m_pfnCompare = nullptr;
    std::uint32_t m_nRecordCount = 0;
    std::uint32_t m_nHeight = 0;
    std::uint32_t m_nRoot = 0;
    std::uint32_t m_nFirstLeaf = 0;
    CRecordFile m_indexFile;
    CRecordFile m_leafFile;
};

// The owning handle through which the database holds a tree: it creates a closed
// tree, and its destruction closes it (dropping any error) and frees it.
class CBPTreeHandle {
public:
    CBPTreeHandle() : m_pTree(new CBPTree) {}
    CBPTree* operator->() const { return m_pTree.get(); }
    CBPTree& operator*() const { return *m_pTree; }
    CBPTree* Get() const { return m_pTree.get(); }

private:
    std::unique_ptr<CBPTree> m_pTree;
};

}  // namespace velk
