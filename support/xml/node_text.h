// CNodeText: a text of a document tree, an EWideString whose units may lie in
// memory the tree owns around it (the block of a node's text, of a name or of an
// attribute) instead of a buffer of its own. Such a text is "lent" its room; it
// costs no allocation. The text keeps no flag for that: its owner knows from where
// the units lie (see EDescription) and says so on every call that may let go of
// them, so that a lent text costs no more than an EWideString.
//
// A lent text that outgrows its room moves to a buffer of its own from the library
// heap, as EWideString's growth rule says, and from then on is an ordinary string.
// The text never frees on destruction: its owner calls Release first. The room
// must outlive the text.
#pragma once

#include "support/text/wide_string.h"

class CNodeText : public EWideString {
public:
    CNodeText() = default;
    // Forgets the units; a buffer of its own must have gone with Release.
    ~CNodeText() override { m_pBuffer = nullptr; }
    CNodeText(const CNodeText&) = delete;
    CNodeText& operator=(const CNodeText&) = delete;

    // Takes the n units at p as its text; p has room for nRoom units and a
    // terminator (nRoom >= n), and p[n] must be 0. The text must hold no buffer of
    // its own (a new one, or one let go of with Release).
    void Lend(char16_t* p, int n, int nRoom)
    {
        m_pBuffer = p;
        m_nLength = n;
        m_nCapacity = nRoom;
    }
    // Replaces the text with n units of p (which may lie in this text); false when
    // memory runs out, and the text is then unchanged. bLent: the units lie in a
    // room lent by the owner; a text that fits stays there, a longer one moves.
    bool Assign(const char16_t* p, int n, bool bLent)
    {
        return bLent ? AssignLent(p, n) : AssignUnits(p, n);
    }
    // Lets go of the units: frees a buffer of its own (bLent false). The text is
    // then empty, without buffer.
    void Release(bool bLent)
    {
        if (!bLent)
            FreeBuffer();
        m_pBuffer = nullptr;
        m_nLength = m_nCapacity = 0;
    }

    // Takes over the units of *pOther, lent or not, which is then empty, without
    // buffer. This text must hold no buffer of its own.
    void MoveFrom(CNodeText* pOther)
    {
        m_pBuffer = pOther->m_pBuffer;
        m_nLength = pOther->m_nLength;
        m_nCapacity = pOther->m_nCapacity;
        pOther->m_pBuffer = nullptr;
        pOther->m_nLength = pOther->m_nCapacity = 0;
    }

private:
    bool AssignLent(const char16_t* p, int n);
};
