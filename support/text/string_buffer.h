// The buffer that EString and EWideString share: a zero-terminated text of code
// units (bytes or UTF-16 units) in a buffer from the library heap.
//
// Layout: buffer pointer (null until a buffer is first needed), length and
// capacity in code units, neither counting the terminator; a buffer holds
// capacity + 1 units. A string without buffer reads as empty.
//
// Growth: an operation that needs a length n not below the capacity asks
// AllocBuffer for n + n/2 + 1. Lengths stop at kMaxLength; an operation whose
// result would be longer, or whose buffer cannot be had, leaves the string as it
// was (the heap has run its exhaustion procedure by then).
#pragma once

#include <climits>

#include "support/runtime/object.h"

template <typename T>
class EStringBuffer : public VOKObject {
public:
    static constexpr int kMaxLength = INT_MAX - 1;

    ~EStringBuffer() override;

    // Resizes the buffer to nCapacity + 1 units (allocating it with an empty text
    // when there was none) and records the capacity; a shorter capacity cuts the
    // text. Returns 0, or 1 when the buffer cannot be had (nothing changes).
    virtual int AllocBuffer(int nCapacity);
    // Frees the buffer; the string is then empty, without buffer.
    virtual void FreeBuffer();

    int GetLength() const { return m_nLength; }
    int GetCapacity() const { return m_nCapacity; }
    // The zero-terminated text; never null.
    const T* GetText() const { return m_pBuffer != nullptr ? m_pBuffer : EmptyText(); }

protected:
    EStringBuffer() = default;
    // A copy takes the capacity of its source.
    EStringBuffer(const EStringBuffer& other);
    EStringBuffer& operator=(const EStringBuffer& other);

    static const T* EmptyText();
    // Units up to the terminator, for a count of -1 (any negative count); 0 for null.
    static int CountOf(const T* p, int nCount);

    // Makes room for a length of n under the growth rule.
    bool Reserve(long long n);
    // Replaces the text with n units from p (which may lie in this buffer).
    bool AssignUnits(const T* p, int n);
    // Appends n units from p (which may lie in this buffer).
    bool AppendUnits(const T* p, int n);
    int FindUnits(const T* p, int n, int nStart) const;

    T* m_pBuffer = nullptr;
    int m_nLength = 0;
    int m_nCapacity = 0;
};

extern template class EStringBuffer<char>;
extern template class EStringBuffer<char16_t>;
