// EPtrArray: the support library's growable array of untyped pointers, on the
// library heap, over a CPtrList. The array does not own what its slots point to.
//
// Growth: when n elements need more than the capacity, the block is reallocated to
// n rounded down to a multiple of the step, plus one step. The step is the one
// given to SetSize, else the stored one, else half the current count (at least
// 1), so an array left to itself grows geometrically. New slots are null.
#pragma once

#include "support/runtime/object.h"
#include "support/xml/ptr_list.h"

class EPtrArray : public VOKObject {
    VOK_DECLARE_CLASS("EPtrArray", VOKObject)

public:
    EPtrArray() = default;
    ~EPtrArray() override;
    EPtrArray(const EPtrArray&) = delete;
    EPtrArray& operator=(const EPtrArray&) = delete;

    int GetSize() const { return m_list.GetSize(); }
    // The slot at nIndex; null outside 0..count-1.
    void* GetAt(int nIndex) const { return m_list.GetAt(nIndex); }
    // The slots themselves, valid until the array next changes size.
    void** GetData() const { return m_list.GetData(); }

    // Sets the count to nCount; new slots are null. nStep, when positive, is the
    // growth step of this call. Returns 0, or 1 when memory runs out or nCount is
    // negative (the array is then unchanged).
    int SetSize(int nCount, int nStep = -1);
    // The growth step of later calls; 0 or less: half the count.
    void SetStep(int nStep) { m_nStep = nStep > 0 ? nStep : 0; }
    // Replaces the slot at nIndex; returns 0, or 1 outside 0..count-1.
    int SetAt(int nIndex, void* p);
    // Appends p; returns 0, or 1 when memory runs out.
    int Add(void* p) { return InsertAt(GetSize(), p); }
    // Inserts p before nIndex (0..count), shifting the tail up. Returns 0, or 1 when
    // the index is out of range or memory runs out (unchanged then).
    int InsertAt(int nIndex, void* p);
    // Removes the slot at nIndex, shifting the tail down; returns what it held, or
    // null outside 0..count-1.
    void* RemoveAt(int nIndex);
    // Frees the block; the array is empty afterwards.
    void RemoveAll();

private:
    CPtrList m_list;
    int m_nStep = 0;
};
