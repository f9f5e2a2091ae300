#include "support/xml/description.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <new>

#include "support/runtime/heap.h"
#include "support/text/compare.h"
#include "support/text/stream_wide_string.h"
#include "support/xml/node_arena.h"

// An attribute entry: a name and a value, whose text lies in the entry's block:
// a block of its own (name and texts follow the entry), or the block in which the
// reader put every attribute of a node (see InBlock). A value that later outgrows
// its room moves to a buffer of its own (see ValueLent).
struct EDescription::Attribute {
    Name* pName = nullptr;
    CNodeText strValue;
};

inline EDescription::Attribute* EDescription::BlockEntries() const
{
    return static_cast<Attribute*>(m_pAttributeBlock);
}

inline EDescription::Attribute* EDescription::AttributeAt(int nIndex) const
{
    return m_ppAttributes != nullptr ? m_ppAttributes[nIndex] : BlockEntries() + nIndex;
}

namespace {

constexpr size_t kOpenName = SIZE_MAX / 2;

// Units of room for an entry's or a block's texts beyond this do not fit a size_t.
constexpr uint64_t kMaxTextUnits = (SIZE_MAX - 4096) / sizeof(char16_t) / 2;

// A hint to the processor that the heap block at p (its header and the first
// lines of cb bytes) is wanted soon: a walk over the nodes of a tree would
// otherwise wait for each one in turn. Never faults, whatever p is. Always
// inlined: as a function of its own the compiler finds that it does nothing and
// drops the calls.
#if defined(__GNUC__)
__attribute__((always_inline)) inline void Prefetch(const void* p, size_t cb)
{
    const char* pc = static_cast<const char*>(p);
    if (pc == nullptr)
        return;
    __builtin_prefetch(pc - 8);
    if (cb > 56)
        __builtin_prefetch(pc + 56);
    if (cb > 120)
        __builtin_prefetch(pc + 120);
    if (cb > 184)
        __builtin_prefetch(pc + cb - 1);
}
#else
inline void Prefetch(const void*, size_t)
{
}
#endif

// Copies n units of p to q and ends them with a zero; returns the room after it.
char16_t* PutText(char16_t* q, const char16_t* p, int n)
{
    if (n > 0)
        std::memcpy(q, p, static_cast<size_t>(n) * sizeof(char16_t));
    q[n] = 0;
    return q + n + 1;
}

const EWideString& EmptyString()
{
    static const EWideString s_strEmpty;
    return s_strEmpty;
}

// A copy of n units of p; false when the copy could not be made.
bool Assign(EWideString* pString, const char16_t* p, int n)
{
    EWideString str(p, n);
    if (str.GetLength() != n)
        return false;
    *pString = str;
    return pString->GetLength() == n;
}

bool IsTextNode(const EDescription* p)
{
    return p->GetTagName().GetLength() == 0 && p->GetChildCount() == 0;
}

bool TagMatches(const EDescription* p, const char16_t* szTag)
{
    return CompareWideTextNoCase(p->GetTagName().GetText(), szTag) == 0;
}

const char16_t kBase64[] = u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char16_t c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Numbers before text, numbers by value, text by code unit; a missing value first.
int CompareValues(const EWideString* pA, const EWideString* pB)
{
    if (pA == nullptr || pB == nullptr)
        return (pA != nullptr) - (pB != nullptr);
    const int nRadixA = EStreamWideString::DetectRadix(pA->GetText(), pA->GetLength());
    const int nRadixB = EStreamWideString::DetectRadix(pB->GetText(), pB->GetLength());
    if ((nRadixA >= 0) != (nRadixB >= 0))
        return nRadixA >= 0 ? -1 : 1;
    if (nRadixA >= 0) {
        const double dA = EStreamWideString::ParseReal(pA->GetText(), pA->GetLength(), nRadixA);
        const double dB = EStreamWideString::ParseReal(pB->GetText(), pB->GetLength(), nRadixB);
        if (dA != dB)
            return dA < dB ? -1 : 1;
        return 0;
    }
    return CompareWideText(pA->GetText(), pB->GetText());
}

}  // namespace

void* EDescription::operator new(size_t cb) noexcept
{
    return CNodeArena::Allocate(cb);
}

void EDescription::operator delete(void* p) noexcept
{
    CNodeArena::Free(p);
}

EDescription::EDescription() = default;

EDescription::~EDescription()
{
    // The subtree is taken down leaf by leaf without recursion, last child first,
    // so that no tree is too deep to destroy.
    EDescription* p = this;
    for (;;) {
        const int n = p->m_vChildren.GetSize();
        if (n > 0) {
            EDescription* pChild = static_cast<EDescription*>(p->m_vChildren.GetAt(n - 1));
            // Children are taken down from the last; the ones a few places ahead
            // are fetched now, and the attribute blocks of those fetched before.
            if (n > 4)
                Prefetch(p->m_vChildren.GetAt(n - 5), sizeof(EDescription));
            if (n > 2) {
                const EDescription* pSoon = static_cast<EDescription*>(p->m_vChildren.GetAt(n - 3));
                if (pSoon != nullptr)
                    Prefetch(pSoon->m_pAttributeBlock, 1);
            }
            if (pChild != nullptr && pChild->m_vChildren.GetSize() > 0) {
                pChild->m_pParent = p;
                p = pChild;
                continue;
            }
            p->m_vChildren.RemoveAt(n - 1);
            delete pChild;
            continue;
        }
        if (p == this)
            break;
        EDescription* pUp = p->m_pParent;
        pUp->m_vChildren.RemoveAt(pUp->m_vChildren.GetSize() - 1);
        delete p;
        p = pUp;
    }
    RemoveAllAttributes();
    ReleaseName(m_pTag);
    if (m_pText != nullptr) {
        m_pText->Release(TextLent());
        m_pText->~CNodeText();
        CNodeArena::Free(m_pText);
    }
}

EDescription* EDescription::CreateInstance()
{
    return new EDescription;
}

int EDescription::OnError(const char*)
{
    return 0;
}

int EDescription::OnWarning(const char*)
{
    return 0;
}

int EDescription::SearchAttribute(const char16_t* szName, int nCount) const
{
    int nLow = 0, nHigh = m_nAttributes - 1;
    while (nLow <= nHigh) {
        const int nMiddle = nLow + (nHigh - nLow) / 2;
        const EWideString& strName = AttributeAt(nMiddle)->pName->str;
        const char16_t* pEntry = strName.GetText();
        const int nEntry = strName.GetLength();
        int nCompare = 0;
        const int nCommon = nEntry < nCount ? nEntry : nCount;
        for (int i = 0; i < nCommon && nCompare == 0; ++i)
            nCompare = static_cast<int>(pEntry[i]) - static_cast<int>(szName[i]);
        if (nCompare == 0)
            nCompare = nEntry - nCount;  // a prefix sorts first
        if (nCompare == 0)
            return nMiddle;
        if (nCompare < 0)
            nLow = nMiddle + 1;
        else
            nHigh = nMiddle - 1;
    }
    return -nLow - 1;
}

const EWideString* EDescription::FindValue(const char16_t* szName) const
{
    const int n = SearchAttribute(szName, WideTextLength(szName));
    return n >= 0 ? &AttributeAt(n)->strValue : nullptr;
}

EDescription::Name* EDescription::NewName(const char16_t* p, int n)
{
    if (n < 0 || static_cast<uint64_t>(n) + 1 > kMaxTextUnits)
        return nullptr;
    void* pBlock = CNodeArena::Allocate(sizeof(Name) + (static_cast<size_t>(n) + 1) * sizeof(char16_t));
    if (pBlock == nullptr)
        return nullptr;
    Name* pName = new (pBlock) Name;
    pName->nRefs.store(kOpenName, std::memory_order_relaxed);
    pName->bShared = true;
    char16_t* pText = reinterpret_cast<char16_t*>(pName + 1);
    PutText(pText, p, n);
    pName->str.Lend(pText, n, n);
    return pName;
}

namespace {

template <typename N>
void DropName(N* pName, size_t nCount)
{
    if (pName->nRefs.fetch_sub(nCount, std::memory_order_acq_rel) == nCount) {
        pName->~N();
        CNodeArena::Free(pName);
    }
}

}  // namespace

void EDescription::CloseName(Name* pName)
{
    if (pName != nullptr)
        DropName(pName, kOpenName - pName->nOpenUses);
}

void EDescription::ReleaseName(Name* pName)
{
    if (pName == nullptr)
        return;
    if (!pName->bShared)
        pName->~Name();  // its memory is its entry's block
    else
        DropName(pName, 1);
}

const EWideString& EDescription::NameText(const Name* pName)
{
    return pName->str;
}

void EDescription::DestroyAttribute(Attribute* pEntry)
{
    const bool bOwnBlock = !InBlock(pEntry);
    pEntry->strValue.Release(ValueLent(pEntry));
    ReleaseName(pEntry->pName);
    pEntry->~Attribute();
    if (bOwnBlock)
        vokFree(pEntry);
}

bool EDescription::InBlock(const Attribute* pEntry) const
{
    if (m_pAttributeBlock == nullptr)
        return false;
    const Attribute* pFirst = BlockEntries();
    return pEntry >= pFirst && pEntry < pFirst + m_nBlockAttributes;
}

bool EDescription::ValueLent(const Attribute* pEntry) const
{
    // A buffer of its own is a block of the heap, which never lies inside the
    // entry's block: where the units lie tells which they are.
    const uintptr_t p = reinterpret_cast<uintptr_t>(pEntry->strValue.GetText());
    if (InBlock(pEntry)) {
        const uintptr_t pTexts = reinterpret_cast<uintptr_t>(BlockEntries() + m_nBlockAttributes);
        return p >= pTexts && p - pTexts < static_cast<uintptr_t>(m_nBlockUnits) * sizeof(char16_t);
    }
    // An entry of its own: its name follows it, and the value's room the name.
    const Name* pName = pEntry->pName;
    return p == reinterpret_cast<uintptr_t>(reinterpret_cast<const char16_t*>(pName + 1) + pName->str.GetLength() + 1);
}

bool EDescription::TextLent() const
{
    return m_pText->GetText() == reinterpret_cast<const char16_t*>(m_pText + 1);
}

bool EDescription::InsertAttribute(int nIndex, Attribute* pEntry)
{
    if (m_ppAttributes == nullptr || m_nAttributes == m_nAttributeRoom) {
        // Room for a few attributes at once: most nodes have up to eight.
        if (m_nAttributes > INT_MAX / 2 || static_cast<size_t>(m_nAttributes) > SIZE_MAX / 2 / sizeof(Attribute*))
            return false;
        const int nRoom = m_nAttributes < 8 ? 8 : m_nAttributes + m_nAttributes / 2;
        const bool bOwnList = m_ppAttributes != nullptr;
        Attribute** pp = static_cast<Attribute**>(
            vokHeapReallocate(nullptr, m_ppAttributes, sizeof(Attribute*) * nRoom, 0));
        if (pp == nullptr)
            return false;
        // The entries of the block get the list they did without.
        for (int i = 0; !bOwnList && i < m_nAttributes; ++i)
            pp[i] = BlockEntries() + i;
        m_ppAttributes = pp;
        m_nAttributeRoom = nRoom;
    }
    std::memmove(m_ppAttributes + nIndex + 1, m_ppAttributes + nIndex,
                 sizeof(Attribute*) * static_cast<size_t>(m_nAttributes - nIndex));
    m_ppAttributes[nIndex] = pEntry;
    ++m_nAttributes;
    return true;
}

int EDescription::StoreAttribute(const char16_t* szName, int nNameCount, const char16_t* pText, int nCount)
{
    const int n = SearchAttribute(szName, nNameCount);
    if (n >= 0) {
        // The old value stays unless the new one could be copied whole.
        Attribute* pEntry = AttributeAt(n);
        return pEntry->strValue.Assign(pText, nCount, ValueLent(pEntry)) ? 0 : 1;
    }
    const uint64_t nUnits = static_cast<uint64_t>(nNameCount) + nCount + 2;
    if (nNameCount < 0 || nCount < 0 || nUnits > kMaxTextUnits)
        return 1;
    void* pBlock = vokAllocate(sizeof(Attribute) + sizeof(Name) + static_cast<size_t>(nUnits) * sizeof(char16_t));
    if (pBlock == nullptr)
        return 1;
    Attribute* pEntry = new (pBlock) Attribute;
    pEntry->pName = new (pEntry + 1) Name;
    char16_t* pName = reinterpret_cast<char16_t*>(pEntry->pName + 1);
    char16_t* pValue = PutText(pName, szName, nNameCount);
    PutText(pValue, pText, nCount);
    pEntry->pName->str.Lend(pName, nNameCount, nNameCount);
    pEntry->strValue.Lend(pValue, nCount, nCount);
    if (!InsertAttribute(-n - 1, pEntry)) {
        DestroyAttribute(pEntry);
        return 1;
    }
    return 0;
}

bool EDescription::AdoptAttributes(const AttributeText* a, int n, PutValueProc pfnPut, void* pContext)
{
    if (n <= 0)
        return true;
    if (m_nAttributes != 0 || m_ppAttributes != nullptr || m_pAttributeBlock != nullptr) {
        // A node that came with attributes of its own takes them one by one.
        for (int i = 0; i < n; ++i) {
            if (static_cast<uint64_t>(a[i].nRoom) + 1 > kMaxTextUnits)
                return false;
            char16_t* pValue = static_cast<char16_t*>(vokAllocate((a[i].nRoom + 1) * sizeof(char16_t)));
            const long long nValue = pValue != nullptr ? pfnPut(pContext, a[i].nIndex, pValue) : -1;
            const EWideString& strName = a[i].pName->str;
            const bool bStored = nValue >= 0 && static_cast<size_t>(nValue) <= a[i].nRoom &&
                                 nValue <= EWideString::kMaxLength &&
                                 StoreAttribute(strName.GetText(), strName.GetLength(), pValue,
                                                static_cast<int>(nValue)) == 0;
            vokFree(pValue);
            if (!bStored)
                return false;
        }
        return true;
    }
    uint64_t nUnits = 0;
    for (int i = 0; i < n; ++i)
        nUnits += static_cast<uint64_t>(a[i].nRoom) + 1;
    const uint64_t cbHead = static_cast<uint64_t>(n) * sizeof(Attribute);
    if (nUnits > kMaxTextUnits || cbHead > SIZE_MAX / 4)
        return false;
    // The block's texts are counted in 32 bits (see ValueLent).
    if (nUnits > UINT32_MAX)
        return false;
    const size_t cbBlock = static_cast<size_t>(cbHead + nUnits * sizeof(char16_t));
    void* pBlock = CNodeArena::Allocate(cbBlock);
    if (pBlock == nullptr)
        return false;
    Attribute* pEntries = static_cast<Attribute*>(pBlock);
    char16_t* const pTexts = reinterpret_cast<char16_t*>(pEntries + n);
    char16_t* q = pTexts;
    for (int i = 0; i < n; ++i) {
        const long long nValue = pfnPut(pContext, a[i].nIndex, q);
        if (nValue < 0 || static_cast<size_t>(nValue) > a[i].nRoom || nValue > EWideString::kMaxLength) {
            for (int k = 0; k < i; ++k)
                pEntries[k].~Attribute();
            CNodeArena::Free(pBlock);
            return false;
        }
        Attribute* pEntry = new (pEntries + i) Attribute;
        pEntry->pName = a[i].pName;
        q[nValue] = 0;
        pEntry->strValue.Lend(q, static_cast<int>(nValue), static_cast<int>(nValue));
        q += nValue + 1;
    }
    for (int i = 0; i < n; ++i)
        ++a[i].pName->nOpenUses;
    // The values took the room they needed; the rest goes back to the arena.
    CNodeArena::Shrink(pBlock, cbBlock, static_cast<size_t>(reinterpret_cast<char*>(q) - static_cast<char*>(pBlock)));
    m_ppAttributes = nullptr;
    m_nAttributes = n;
    m_nAttributeRoom = n;
    m_pAttributeBlock = pBlock;
    m_nBlockAttributes = n;
    m_nBlockUnits = static_cast<uint32_t>(q - pTexts);
    return true;
}

int EDescription::SetAttributeText(const char16_t* szName, const char16_t* pText, int nCount)
{
    if (pText == nullptr)
        nCount = 0;
    else if (nCount < 0)
        nCount = WideTextLength(pText);
    return StoreAttribute(szName, WideTextLength(szName), pText, nCount);
}

EWideString EDescription::FormatInteger(int nValue)
{
    char16_t ach[16];
    int n = 0;
    if (nValue < -32768 || nValue > 32768) {
        const uint32_t u = static_cast<uint32_t>(nValue);
        if (u >= 0xA0000000u)
            ach[n++] = '0';
        for (int nShift = 28; nShift >= 0; nShift -= 4)
            ach[n++] = u"0123456789ABCDEF"[u >> nShift & 0xF];
        ach[n++] = 'H';
    } else {
        unsigned u = nValue < 0 ? 0u - static_cast<unsigned>(nValue) : static_cast<unsigned>(nValue);
        char16_t achDigits[8];
        int nDigits = 0;
        do {
            achDigits[nDigits++] = static_cast<char16_t>('0' + u % 10);
            u /= 10;
        } while (u != 0);
        if (nValue < 0)
            ach[n++] = '-';
        while (nDigits > 0)
            ach[n++] = achDigits[--nDigits];
    }
    return EWideString(ach, n);
}

int EDescription::GetIntAttribute(const char16_t* szName, int nDefault) const
{
    const EWideString* pValue = FindValue(szName);
    if (pValue == nullptr)
        return nDefault;
    // Read in place: a copy that memory running out left empty would pass for
    // "not a number" and give the default.
    const int nRadix = EStreamWideString::DetectRadix(pValue->GetText(), pValue->GetLength());
    if (nRadix < 0)
        return nDefault;
    return static_cast<int>(
        static_cast<uint32_t>(EStreamWideString::ParseInteger(pValue->GetText(), pValue->GetLength(), nRadix)));
}

double EDescription::GetRealAttribute(const char16_t* szName, double dDefault) const
{
    const EWideString* pValue = FindValue(szName);
    if (pValue == nullptr)
        return dDefault;
    const int nRadix = EStreamWideString::DetectRadix(pValue->GetText(), pValue->GetLength());
    if (nRadix < 0)
        return dDefault;
    return EStreamWideString::ParseReal(pValue->GetText(), pValue->GetLength(), nRadix);
}

EWideString* EDescription::GetStringAttribute(const char16_t* szName, const char16_t* szDefault) const
{
    const EWideString* pValue = FindValue(szName);
    EWideString* pCopy = new EWideString;
    if (pCopy == nullptr)
        return nullptr;
    const bool bCopied = pValue != nullptr ? Assign(pCopy, pValue->GetText(), pValue->GetLength())
                                           : Assign(pCopy, szDefault, WideTextLength(szDefault));
    if (!bCopied) {
        delete pCopy;
        return nullptr;
    }
    return pCopy;
}

int EDescription::SetIntAttribute(const char16_t* szName, int nValue)
{
    const EWideString str = FormatInteger(nValue);
    if (str.GetLength() == 0)
        return 1;
    return SetAttributeText(szName, str.GetText(), str.GetLength());
}

int EDescription::SetRealAttribute(const char16_t* szName, double dValue)
{
    const EWideString str(dValue, 0);
    if (str.GetLength() == 0)
        return 1;
    return SetAttributeText(szName, str.GetText(), str.GetLength());
}

int EDescription::SetStringAttribute(const char16_t* szName, const char16_t* szText)
{
    return SetAttributeText(szName, szText, -1);
}

int EDescription::SetTagName(const char16_t* szName)
{
    const int n = WideTextLength(szName);
    Name* pName = nullptr;
    if (n > 0) {
        if (n > EWideString::kMaxLength || (pName = NewName(szName, n)) == nullptr)
            return 1;
        // Taken and closed at once: this node holds the only reference.
        ++pName->nOpenUses;
        CloseName(pName);
    }
    ReleaseName(m_pTag);
    m_pTag = pName;
    return 0;
}

void EDescription::TakeOpenTag(Name* pOpen)
{
    ++pOpen->nOpenUses;
    ReleaseName(m_pTag);
    m_pTag = pOpen;
}

int EDescription::SetText(const char16_t* szText, int nCount)
{
    if (szText == nullptr || nCount < 0)
        nCount = WideTextLength(szText);
    return StoreText(szText, nCount) ? 0 : 1;
}

const EWideString& EDescription::NoText()
{
    return EmptyString();
}

bool EDescription::StoreText(const char16_t* pText, int nCount)
{
    if (m_pText != nullptr)
        return m_pText->Assign(pText, nCount, TextLent());
    if (nCount <= 0)
        return nCount == 0;
    if (static_cast<uint64_t>(nCount) + 1 > kMaxTextUnits)
        return false;
    void* pBlock = CNodeArena::Allocate(sizeof(CNodeText) + (static_cast<size_t>(nCount) + 1) * sizeof(char16_t));
    if (pBlock == nullptr)
        return false;
    CNodeText* pNew = new (pBlock) CNodeText;
    char16_t* q = reinterpret_cast<char16_t*>(pNew + 1);
    PutText(q, pText, nCount);
    pNew->Lend(q, nCount, nCount);
    m_pText = pNew;
    return true;
}

const EWideString& EDescription::GetAttributeNameAt(int nIndex) const
{
    return nIndex >= 0 && nIndex < m_nAttributes ? AttributeAt(nIndex)->pName->str : EmptyString();
}

const EWideString& EDescription::GetAttributeValueAt(int nIndex) const
{
    return nIndex >= 0 && nIndex < m_nAttributes ? AttributeAt(nIndex)->strValue : EmptyString();
}

int EDescription::FindAttribute(const char16_t* szName) const
{
    const int n = SearchAttribute(szName, WideTextLength(szName));
    return n >= 0 ? n : -1;
}

void EDescription::RemoveAttributeAt(int nIndex)
{
    if (nIndex < 0 || nIndex >= m_nAttributes)
        return;
    if (m_ppAttributes == nullptr) {
        // The block's entries are their own list: the ones after close the gap,
        // each taking over the name and the text of the next, so that removing
        // needs no memory.
        Attribute* pEntries = BlockEntries();
        pEntries[nIndex].strValue.Release(ValueLent(pEntries + nIndex));
        ReleaseName(pEntries[nIndex].pName);
        for (int i = nIndex; i + 1 < m_nAttributes; ++i) {
            pEntries[i].pName = pEntries[i + 1].pName;
            pEntries[i].strValue.MoveFrom(&pEntries[i + 1].strValue);
        }
        pEntries[m_nAttributes - 1].pName = nullptr;
        --m_nAttributes;
        return;
    }
    Attribute* pEntry = m_ppAttributes[nIndex];
    std::memmove(m_ppAttributes + nIndex, m_ppAttributes + nIndex + 1,
                 sizeof(Attribute*) * static_cast<size_t>(m_nAttributes - nIndex - 1));
    --m_nAttributes;
    DestroyAttribute(pEntry);
}

void EDescription::RemoveAttribute(const char16_t* szName)
{
    const int n = SearchAttribute(szName, WideTextLength(szName));
    if (n >= 0)
        RemoveAttributeAt(n);
}

void EDescription::RemoveAllAttributes()
{
    // Entries of the block whose values still lie there own nothing but a
    // reference to their name: the block goes as a whole.
    for (int n = m_nAttributes - 1; n >= 0; --n) {
        Attribute* pEntry = AttributeAt(n);
        if (InBlock(pEntry) && ValueLent(pEntry))
            ReleaseName(pEntry->pName);
        else
            DestroyAttribute(pEntry);
    }
    vokFree(m_ppAttributes);
    CNodeArena::Free(m_pAttributeBlock);
    m_ppAttributes = nullptr;
    m_nAttributes = 0;
    m_nAttributeRoom = 0;
    m_pAttributeBlock = nullptr;
    m_nBlockAttributes = 0;
    m_nBlockUnits = 0;
}

EDescription* EDescription::GetChildAt(unsigned nIndex) const
{
    if (nIndex >= static_cast<unsigned>(m_vChildren.GetSize()))
        return nullptr;
    return static_cast<EDescription*>(m_vChildren.GetAt(static_cast<int>(nIndex)));
}

int EDescription::AppendChild(EDescription* pNode)
{
    return InsertChild(m_vChildren.GetSize(), pNode);
}

int EDescription::InsertChild(int nIndex, EDescription* pNode)
{
    if (pNode == nullptr)
        return 1;
    const int nCount = m_vChildren.GetSize();
    nIndex = nIndex < 0 ? 0 : (nIndex > nCount ? nCount : nIndex);
    if (m_vChildren.InsertAt(nIndex, pNode) != 0)
        return 1;
    pNode->m_pParent = this;
    return 0;
}

EDescription* EDescription::DetachChildAt(int nIndex)
{
    EDescription* p = static_cast<EDescription*>(m_vChildren.RemoveAt(nIndex));
    if (p != nullptr)
        p->m_pParent = nullptr;
    return p;
}

void EDescription::DeleteChildAt(int nIndex)
{
    delete DetachChildAt(nIndex);
}

void EDescription::DeleteAllChildren()
{
    for (int n = m_vChildren.GetSize() - 1; n >= 0; --n)
        DeleteChildAt(n);
    m_vChildren.RemoveAll();
}

EDescription* EDescription::FindChild(int nStart, const char16_t* szTag, int* pNext) const
{
    return FindChildWithAttribute(nStart, nullptr, nullptr, szTag != nullptr ? szTag : u"", pNext);
}

int EDescription::FindChildIndex(int nStart, const char16_t* szTag) const
{
    int nNext;
    return FindChild(nStart, szTag, &nNext) != nullptr ? nNext - 1 : -1;
}

EDescription* EDescription::FindChildWithAttribute(int nStart, const char16_t* szName,
                                                   const char16_t* szValue, const char16_t* szTag,
                                                   int* pNext) const
{
    const int nCount = m_vChildren.GetSize();
    for (int n = nStart < 0 ? 0 : nStart; n < nCount; ++n) {
        EDescription* p = static_cast<EDescription*>(m_vChildren.GetAt(n));
        if (szTag != nullptr && !TagMatches(p, szTag))
            continue;
        if (szName != nullptr && szValue != nullptr) {
            const EWideString* pValue = p->FindValue(szName);
            if (pValue == nullptr || pValue->GetLength() != WideTextLength(szValue) ||
                CompareWideText(pValue->GetText(), szValue) != 0)
                continue;
        }
        if (pNext != nullptr)
            *pNext = n + 1;
        return p;
    }
    if (pNext != nullptr)
        *pNext = -1;
    return nullptr;
}

EDescription* EDescription::GetOrCreateChild(int nStart, const char16_t* szTag)
{
    EDescription* p = FindChild(nStart, szTag);
    if (p != nullptr)
        return p;
    p = CreateInstance();
    if (p == nullptr || p->SetTagName(szTag) != 0 || AppendChild(p) != 0) {
        delete p;
        return nullptr;
    }
    return p;
}

const char16_t* EDescription::GetChildText(const char16_t* szTag, const char16_t* szDefault) const
{
    const EDescription* p = szTag != nullptr ? FindChild(0, szTag) : this;
    const EDescription* pFirst = p != nullptr ? p->GetChildAt(0) : nullptr;
    return pFirst != nullptr && IsTextNode(pFirst) ? pFirst->GetText().GetText() : szDefault;
}

int EDescription::SetChildText(const char16_t* szTag, const char16_t* szText)
{
    EDescription* p = szTag != nullptr ? GetOrCreateChild(0, szTag) : this;
    if (p == nullptr)
        return 1;
    EDescription* pFirst = p->GetChildAt(0);
    if (pFirst == nullptr) {
        pFirst = p->CreateInstance();
        if (pFirst == nullptr || p->AppendChild(pFirst) != 0) {
            delete pFirst;
            return 1;
        }
    } else if (!IsTextNode(pFirst)) {
        return 1;
    }
    return pFirst->SetText(szText);
}

EDescription* EDescription::FindPath(const char16_t* szPath) const
{
    const EDescription* p = this;
    const char16_t* s = szPath != nullptr ? szPath : u"";
    while (*s != 0 && p != nullptr) {
        const char16_t* pEnd = s;
        while (*pEnd != 0 && *pEnd != '\\')
            ++pEnd;
        if (pEnd != s) {
            const EWideString strTag(s, static_cast<int>(pEnd - s));
            p = p->FindChild(0, strTag.GetText());
        }
        s = *pEnd != 0 ? pEnd + 1 : pEnd;
    }
    return const_cast<EDescription*>(p);
}

EDescription* EDescription::CreatePath(const char16_t* szPath)
{
    EDescription* p = this;
    const char16_t* s = szPath != nullptr ? szPath : u"";
    while (*s != 0 && p != nullptr) {
        const char16_t* pEnd = s;
        while (*pEnd != 0 && *pEnd != '\\')
            ++pEnd;
        if (pEnd != s) {
            const int n = static_cast<int>(pEnd - s);
            const EWideString strTag(s, n);
            p = strTag.GetLength() == n ? p->GetOrCreateChild(0, strTag.GetText()) : nullptr;
        }
        s = *pEnd != 0 ? pEnd + 1 : pEnd;
    }
    return p;
}

EWideString EDescription::GetPathString(const char16_t* szPath, const char16_t* szName,
                                        const char16_t* szDefault) const
{
    const EDescription* p = FindPath(szPath);
    if (p != nullptr) {
        const EWideString* pValue = p->FindValue(szName);
        if (pValue != nullptr)
            return *pValue;
        if (p->FindChild(0, szName) != nullptr) {
            const char16_t* szText = p->GetChildText(szName, nullptr);
            if (szText != nullptr)
                return EWideString(szText);
        }
    }
    return EWideString(szDefault);
}

int EDescription::GetPathInteger(const char16_t* szPath, const char16_t* szName, int nDefault) const
{
    const EWideString str = GetPathString(szPath, szName, nullptr);
    const int nRadix = EStreamWideString::DetectRadix(str.GetText(), str.GetLength());
    return nRadix < 0 ? nDefault
                      : static_cast<int>(static_cast<uint32_t>(
                            EStreamWideString::ParseInteger(str.GetText(), str.GetLength(), nRadix)));
}

double EDescription::GetPathReal(const char16_t* szPath, const char16_t* szName, double dDefault) const
{
    const EWideString str = GetPathString(szPath, szName, nullptr);
    const int nRadix = EStreamWideString::DetectRadix(str.GetText(), str.GetLength());
    return nRadix < 0 ? dDefault : EStreamWideString::ParseReal(str.GetText(), str.GetLength(), nRadix);
}

int EDescription::GetPathBinary(const char16_t* szPath, const char16_t* szName, void* pBuffer,
                                uint32_t cbBuffer) const
{
    const EDescription* p = FindPath(szPath);
    if (p == nullptr)
        return -1;
    const EWideString* pValue = p->FindValue(szName);
    const char16_t* s = pValue != nullptr ? pValue->GetText() : nullptr;
    int n = pValue != nullptr ? pValue->GetLength() : 0;
    if (s == nullptr) {
        if (p->FindChild(0, szName) == nullptr || (s = p->GetChildText(szName, nullptr)) == nullptr)
            return -1;
        n = WideTextLength(s);
    }
    unsigned char* pOut = static_cast<unsigned char*>(pBuffer);
    long long cbTotal = 0;
    uint32_t nBits = 0;
    int nHave = 0, nPad = 0;
    for (int i = 0; i < n; ++i) {
        const char16_t c = s[i];
        if (c <= 0x20)
            continue;
        if (c == '=') {
            ++nPad;
            continue;
        }
        const int v = Base64Value(c);
        if (v < 0 || nPad > 0)
            return -1;
        nBits = nBits << 6 | static_cast<uint32_t>(v);
        if (++nHave == 4) {
            for (int k = 2; k >= 0; --k, ++cbTotal) {
                if (pOut != nullptr && cbTotal < cbBuffer)
                    pOut[cbTotal] = static_cast<unsigned char>(nBits >> (8 * k));
            }
            nHave = 0;
            nBits = 0;
        }
    }
    if (nHave == 1 || nPad > 2)
        return -1;
    if (nHave > 1) {
        nBits <<= 6 * (4 - nHave);
        for (int k = 2; k > 3 - nHave; --k, ++cbTotal) {
            if (pOut != nullptr && cbTotal < cbBuffer)
                pOut[cbTotal] = static_cast<unsigned char>(nBits >> (8 * k));
        }
    }
    return cbTotal > INT32_MAX ? -1 : static_cast<int>(cbTotal);
}

int EDescription::SetPathString(const char16_t* szPath, const char16_t* szName, const char16_t* szText)
{
    EDescription* p = CreatePath(szPath);
    if (p == nullptr)
        return 1;
    if (p->FindValue(szName) == nullptr) {
        const EDescription* pChild = p->FindChild(0, szName);
        const EDescription* pFirst = pChild != nullptr ? pChild->GetChildAt(0) : nullptr;
        if (pChild != nullptr && (pFirst == nullptr || IsTextNode(pFirst)))
            return p->SetChildText(szName, szText != nullptr ? szText : u"");
    }
    return p->SetStringAttribute(szName, szText);
}

int EDescription::SetPathInteger(const char16_t* szPath, const char16_t* szName, int nValue)
{
    const EWideString str = FormatInteger(nValue);
    return str.GetLength() == 0 ? 1 : SetPathString(szPath, szName, str.GetText());
}

int EDescription::SetPathReal(const char16_t* szPath, const char16_t* szName, double dValue)
{
    const EWideString str(dValue, 0);
    return str.GetLength() == 0 ? 1 : SetPathString(szPath, szName, str.GetText());
}

int EDescription::SetPathBinary(const char16_t* szPath, const char16_t* szName, const void* pData,
                                uint32_t cbData)
{
    if (pData == nullptr && cbData != 0)
        return 1;
    const unsigned char* p = static_cast<const unsigned char*>(pData);
    const uint64_t cch = (static_cast<uint64_t>(cbData) + 2) / 3 * 4;
    if (cch >= static_cast<uint64_t>(EWideString::kMaxLength) || cch + 1 > SIZE_MAX / sizeof(char16_t))
        return 1;
    char16_t* s = static_cast<char16_t*>(vokAllocate(static_cast<size_t>(cch + 1) * sizeof(char16_t)));
    if (s == nullptr)
        return 1;
    size_t n = 0;
    for (uint32_t i = 0; i < cbData; i += 3) {
        const uint32_t nLeft = cbData - i;
        const uint32_t v = static_cast<uint32_t>(p[i]) << 16 | (nLeft > 1 ? p[i + 1] << 8 : 0) |
                           (nLeft > 2 ? p[i + 2] : 0);
        s[n++] = kBase64[v >> 18 & 63];
        s[n++] = kBase64[v >> 12 & 63];
        s[n++] = nLeft > 1 ? kBase64[v >> 6 & 63] : '=';
        s[n++] = nLeft > 2 ? kBase64[v & 63] : '=';
    }
    s[n] = 0;
    const int nResult = SetPathString(szPath, szName, s);
    vokFree(s);
    return nResult;
}

int EDescription::CopyFrom(const EDescription* pSource)
{
    if (pSource == this)
        return 0;
    RemoveAllAttributes();
    DeleteAllChildren();
    if (pSource == nullptr)
        return 1;
    if (CopyAt(pSource, 0) == 0)
        return 0;
    RemoveAllAttributes();
    DeleteAllChildren();
    return 1;
}

int EDescription::CopyAt(const EDescription* pSource, int nDepth)
{
    if (nDepth > kMaxDepth + 1)
        return 1;
    if (!StoreText(pSource->GetText().GetText(), pSource->GetText().GetLength()))
        return 1;
    // Names never change: the copy shares the source's.
    if (pSource->m_pTag != nullptr)
        pSource->m_pTag->nRefs.fetch_add(1, std::memory_order_relaxed);
    ReleaseName(m_pTag);
    m_pTag = pSource->m_pTag;
    for (int n = 0; n < pSource->GetAttributeCount(); ++n) {
        const Attribute* pEntry = pSource->AttributeAt(n);
        if (SetAttributeText(pEntry->pName->str.GetText(), pEntry->strValue.GetText(),
                             pEntry->strValue.GetLength()) != 0)
            return 1;
    }
    for (int n = 0; n < pSource->GetChildCount(); ++n) {
        const EDescription* pFrom = pSource->GetChildAt(static_cast<unsigned>(n));
        // Comments are plain nodes, as the reader makes them; everything else
        // takes the class of the copy.
        const bool bComment = CompareWideText(pFrom->GetTagName().GetText(), u"!--") == 0;
        EDescription* pTo = bComment ? new EDescription : CreateInstance();
        if (pTo == nullptr || AppendChild(pTo) != 0) {
            delete pTo;
            return 1;
        }
        if (pTo->CopyAt(pFrom, nDepth + 1) != 0)
            return 1;
    }
    return 0;
}

int EDescription::MergeFrom(const EDescription* pSource)
{
    if (pSource == nullptr)
        return 1;
    if (pSource == this)
        return 0;
    return MergeAt(pSource, 0);
}

int EDescription::MergeAt(const EDescription* pSource, int nDepth)
{
    if (nDepth > kMaxDepth + 1)
        return 1;
    if (pSource->GetText().GetLength() > 0 && !StoreText(pSource->GetText().GetText(), pSource->GetText().GetLength()))
        return 1;
    for (int n = 0; n < pSource->GetAttributeCount(); ++n) {
        const Attribute* pEntry = pSource->AttributeAt(n);
        if (SetAttributeText(pEntry->pName->str.GetText(), pEntry->strValue.GetText(),
                             pEntry->strValue.GetLength()) != 0)
            return 1;
    }
    const int nOwn = GetChildCount();  // children appended below are not matched again
    for (int n = 0; n < pSource->GetChildCount(); ++n) {
        const EDescription* pFrom = pSource->GetChildAt(static_cast<unsigned>(n));
        const EWideString& strTag = pFrom->GetTagName();
        const bool bElement = strTag.GetLength() > 0 && CompareWideText(strTag.GetText(), u"!--") != 0;
        EDescription* pTo = nullptr;
        if (bElement) {
            int nNext = 0;
            EDescription* pFound = FindChild(0, strTag.GetText(), &nNext);
            if (pFound != nullptr && nNext - 1 < nOwn)
                pTo = pFound;
        }
        if (pTo != nullptr) {
            if (pTo->MergeAt(pFrom, nDepth + 1) != 0)
                return 1;
            continue;
        }
        pTo = bElement || strTag.GetLength() == 0 ? CreateInstance() : new EDescription;
        if (pTo == nullptr || AppendChild(pTo) != 0) {
            delete pTo;
            return 1;
        }
        if (pTo->CopyAt(pFrom, nDepth + 1) != 0)
            return 1;
    }
    return 0;
}

namespace {

int CompareByAttribute(const EDescription* a, const EDescription* b, const char16_t* szAttribute)
{
    if (szAttribute == nullptr)
        return CompareWideText(a->GetTagName().GetText(), b->GetTagName().GetText());
    const int nA = a->FindAttribute(szAttribute), nB = b->FindAttribute(szAttribute);
    return CompareValues(nA >= 0 ? &a->GetAttributeValueAt(nA) : nullptr,
                         nB >= 0 ? &b->GetAttributeValueAt(nB) : nullptr);
}

}  // namespace

int EDescription::SortChildren(const char16_t* szTag, const char16_t* szAttribute, CompareProc pfnCompare)
{
    if (pfnCompare == nullptr)
        pfnCompare = &CompareByAttribute;
    const int nCount = GetChildCount();
    int* pSlots = static_cast<int*>(vokAllocate(sizeof(int) * static_cast<size_t>(nCount) + 1));
    EDescription** ppNodes =
        static_cast<EDescription**>(vokAllocate(sizeof(EDescription*) * static_cast<size_t>(nCount) + 1));
    if (pSlots == nullptr || ppNodes == nullptr) {
        vokFree(pSlots);
        vokFree(ppNodes);
        return 1;
    }
    int nSorted = 0;
    for (int n = 0; n < nCount; ++n) {
        EDescription* p = GetChildAt(static_cast<unsigned>(n));
        if (szTag == nullptr || TagMatches(p, szTag)) {
            pSlots[nSorted] = n;
            ppNodes[nSorted++] = p;
        }
    }
    std::stable_sort(ppNodes, ppNodes + nSorted, [&](const EDescription* a, const EDescription* b) {
        return pfnCompare(a, b, szAttribute) < 0;
    });
    for (int n = 0; n < nSorted; ++n)
        m_vChildren.SetAt(pSlots[n], ppNodes[n]);
    vokFree(pSlots);
    vokFree(ppNodes);
    return 0;
}
