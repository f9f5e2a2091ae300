// CPtrList: a growable list of untyped pointers on the library heap, with no
// virtual functions and no stored growth step, so that it costs a pointer and
// two counts. EPtrArray keeps its slots in one; a node of a document tree keeps
// its children in one of its own, where every word counts. The list does not own
// what its slots point to.
//
// Growth: when n elements need more than the capacity, the block is reallocated to
// n rounded down to a multiple of the step, plus one step; the step is the one the
// caller gives, else half the current count (at least 1), so a list left to
// itself grows geometrically. New slots are null.
#pragma once

class CPtrList {
public:
    CPtrList() = default;
    ~CPtrList() { RemoveAll(); }
    CPtrList(const CPtrList&) = delete;
    CPtrList& operator=(const CPtrList&) = delete;

    int GetSize() const { return m_nCount; }
    // The slot at nIndex; null outside 0..count-1.
    void* GetAt(int nIndex) const { return nIndex >= 0 && nIndex < m_nCount ? m_ppData[nIndex] : nullptr; }
    // The slots themselves, valid until the list next changes size.
    void** GetData() const { return m_ppData; }

    // Sets the count to nCount; new slots are null. nStep, when positive, is the
    // growth step; 0 or less: half the count. Returns 0, or 1 when memory runs out
    // or nCount is negative (the list is then unchanged).
    int SetSize(int nCount, int nStep);
    // Replaces the slot at nIndex; returns 0, or 1 outside 0..count-1.
    int SetAt(int nIndex, void* p);
    // Inserts p before nIndex (0..count), shifting the tail up, growing by nStep
    // as SetSize does. Returns 0, or 1 when the index is out of range or memory
    // runs out (unchanged then).
    int InsertAt(int nIndex, void* p, int nStep = 0);
    // Removes the slot at nIndex, shifting the tail down; returns what it held, or
    // null outside 0..count-1.
    void* RemoveAt(int nIndex);
    // Frees the block; the list is empty afterwards.
    void RemoveAll();

private:
    void** m_ppData = nullptr;
    int m_nCount = 0;
    int m_nCapacity = 0;
};
