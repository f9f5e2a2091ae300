// CNodeText: a text of a document tree, an EWideString whose units may lie in
// memory the tree owns around it (a room inside the node, or the block of an
// attribute) instead of a buffer of its own. Such a text costs no allocation.
// It behaves as any EWideString: a text that outgrows the room it lies in moves to
// a buffer of its own from the library heap, as the growth rule says, and from
// then on is an ordinary string. The room must outlive the text.
#pragma once

#include "support/text/wide_string.h"

class CNodeText : public EWideString {
public:
    CNodeText() = default;
    ~CNodeText() override { Disown(); }
    CNodeText(const CNodeText&) = delete;
    CNodeText& operator=(const CNodeText&) = delete;

    // Frees any buffer of its own and takes the n units at p as its text; p has
    // room for nRoom units and a terminator (nRoom >= n), and p[n] must be 0.
    void Lend(char16_t* p, int n, int nRoom)
    {
        // A text that holds no buffer (a new one) has nothing to let go of.
        if (m_pBuffer != nullptr)
            FreeBuffer();
        m_pBuffer = p;
        m_nLength = n;
        m_nCapacity = nRoom;
        m_bLent = true;
    }
    bool IsLent() const { return m_bLent; }
    // Replaces the text with n units of p (which may lie in this text); false when
    // memory runs out, and the text is then unchanged.
    bool Assign(const char16_t* p, int n) { return AssignUnits(p, n); }

    // Lent text: moves to a buffer of its own of nCapacity + 1 units.
    int AllocBuffer(int nCapacity) override;
    // Lent text: lets go of the room; the string is then empty, without buffer.
    void FreeBuffer() override;

private:
    void Disown()
    {
        if (m_bLent) {
            m_pBuffer = nullptr;
            m_nLength = m_nCapacity = 0;
            m_bLent = false;
        }
    }

    bool m_bLent = false;
};
